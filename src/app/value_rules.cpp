#include "app/value_rules.h"

#include <vector>

#include "framework/error_manager.h"
#include "mail/mail_lists.h"
#include "mail/mime_codec.h"
#include "platform/ascii_text.h"

namespace vm::app {
namespace {

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

bool IsAlnum(char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A label of a host or mail domain: letters, digits, '-' (not first or
// last), '_' where `underscore` allows it, and the bytes of UTF-8 characters
// (international names as the operator types them).
bool IsLabel(std::string_view label, bool underscore) {
  if (label.empty() || label.size() > 63) return false;
  if (label.front() == '-' || label.back() == '-') return false;
  for (char c : label) {
    const bool high = static_cast<unsigned char>(c) >= 0x80;
    if (!IsAlnum(c) && c != '-' && !(underscore && c == '_') && !high) return false;
  }
  return true;
}

bool IsDottedLabels(std::string_view name, bool underscore) {
  if (name.empty() || name.size() > 253) return false;
  for (size_t start = 0;;) {
    const size_t dot = name.find('.', start);
    const size_t end = dot == std::string_view::npos ? name.size() : dot;
    if (!IsLabel(name.substr(start, end - start), underscore)) return false;
    if (dot == std::string_view::npos) return true;
    start = dot + 1;
  }
}

bool IsIpv4Literal(std::string_view text) {
  int parts = 0;
  for (size_t start = 0;;) {
    const size_t dot = text.find('.', start);
    const std::string_view part =
        text.substr(start, dot == std::string_view::npos ? std::string_view::npos : dot - start);
    if (part.empty() || part.size() > 3) return false;
    int value = 0;
    for (char c : part) {
      if (!IsDigit(c)) return false;
      value = value * 10 + (c - '0');
    }
    if (value > 255 || ++parts > 4) return false;
    if (dot == std::string_view::npos) return parts == 4;
    start = dot + 1;
  }
}

// The local part before the '@': the characters a dot-atom may hold, and
// the bytes of UTF-8 characters; dots neither first, last nor doubled.
bool IsLocalPart(std::string_view local) {
  static constexpr std::string_view kSpecials = "!#$%&'*+-/=?^_`{|}~.";
  if (local.empty() || local.size() > 64) return false;
  if (local.front() == '.' || local.back() == '.') return false;
  if (local.find("..") != std::string_view::npos) return false;
  for (char c : local) {
    const bool high = static_cast<unsigned char>(c) >= 0x80;
    if (!IsAlnum(c) && kSpecials.find(c) == std::string_view::npos && !high) return false;
  }
  return true;
}

// A display name: a quoted string, or plain text without the characters
// that would make the entry read as something else.
bool IsDisplayName(std::string_view name) {
  if (name.empty()) return true;
  if (name.front() == '"') {
    if (name.size() < 2 || name.back() != '"') return false;
    for (size_t i = 1; i + 1 < name.size(); ++i) {
      if (name[i] == '\\') {
        if (++i + 1 >= name.size()) return false;
      } else if (name[i] == '"') {
        return false;
      }
    }
    return true;
  }
  return name.find_first_of("\"<>@,;\\") == std::string_view::npos;
}

// The entries of an address field, split where the mail object splits them.
std::vector<std::string_view> SplitEntries(std::string_view list) {
  std::vector<std::string_view> entries;
  bool quoted = false;
  bool angle = false;
  size_t start = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    const char c = list[i];
    if (quoted) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == '<') {
      angle = true;
    } else if (c == '>') {
      angle = false;
    } else if (!angle && (c == ',' || c == ';')) {
      entries.push_back(list.substr(start, i - start));
      start = i + 1;
    }
  }
  entries.push_back(list.substr(start));
  return entries;
}

// The address of an entry: between its angle brackets, or the whole entry.
std::string_view AddressPart(std::string_view entry) {
  entry = platform::Trim(entry);
  const size_t lt = entry.rfind('<');
  if (entry.empty() || entry.back() != '>' || lt == std::string_view::npos) return entry;
  return platform::Trim(entry.substr(lt + 1, entry.size() - lt - 2));
}

}  // namespace

std::optional<Refusal> CheckText(std::string_view value, size_t max_bytes, bool one_line,
                                 std::string allowed) {
  if (!mail::IsUtf8(value)) return Refusal{"is not valid UTF-8", std::move(allowed)};
  for (char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (one_line && (c == '\r' || c == '\n'))
      return Refusal{"holds a line break", std::move(allowed)};
    if ((one_line && IsControl(u)) || u == 0)
      return Refusal{"holds a control character", std::move(allowed)};
  }
  if (value.size() > max_bytes)
    return Refusal{"is " + std::to_string(value.size()) + " bytes long", std::move(allowed)};
  return std::nullopt;
}

std::optional<Refusal> CheckNumber(std::string_view value, int64_t low, int64_t high,
                                   std::string allowed) {
  if (value.empty()) return Refusal{"is empty", std::move(allowed)};
  for (char c : value) {
    if (!IsDigit(c)) return Refusal{"is not a number", std::move(allowed)};
  }
  // Leading zeros aside, more digits than the limit has cannot be in range.
  const std::string_view digits =
      value.substr(std::min(value.find_first_not_of('0'), value.size()));
  if (digits.size() > 18 || NumberOf(value) < low || NumberOf(value) > high)
    return Refusal{"is out of range", std::move(allowed)};
  return std::nullopt;
}

int64_t NumberOf(std::string_view digits) {
  int64_t n = 0;
  for (char c : digits) {
    if (!IsDigit(c) || n > (INT64_MAX - 9) / 10) return n;
    n = n * 10 + (c - '0');
  }
  return n;
}

bool IsHostName(std::string_view value) {
  return IsDottedLabels(value, true);
}

bool IsMailAddress(std::string_view value) {
  const size_t at = value.rfind('@');
  if (at == std::string_view::npos || !mail::IsUtf8(value)) return false;
  const std::string_view local = value.substr(0, at);
  const std::string_view domain = value.substr(at + 1);
  if (!IsLocalPart(local)) return false;
  if (domain.size() > 2 && domain.front() == '[' && domain.back() == ']')
    return IsIpv4Literal(domain.substr(1, domain.size() - 2));
  return IsDottedLabels(domain, false);
}

bool IsAddressEntry(std::string_view entry) {
  entry = platform::Trim(entry);
  if (entry.empty() || entry.back() != '>') return IsMailAddress(entry);
  const size_t lt = entry.rfind('<');
  return lt != std::string_view::npos && IsDisplayName(platform::Trim(entry.substr(0, lt))) &&
         IsMailAddress(AddressPart(entry));
}

bool IsAddressList(std::string_view value, bool single) {
  const std::vector<std::string_view> entries = SplitEntries(value);
  if (single && entries.size() != 1) return false;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!IsAddressEntry(entries[i])) return false;
    // The mail object must read the same address out of the entry.
    std::string name, address;
    if (!mail::TakeEmailAddress(value, static_cast<uint32_t>(i + 1), &name, &address) ||
        address != AddressPart(entries[i]))
      return false;
  }
  return true;
}

void AddValueMessages(framework::ErrorManager* errors) {
  errors->AddErrors(std::vector<framework::MessageRow>{
      {kMsgValueRefused, "The value of %Field must be %Message.", "Value Error",
       static_cast<uint8_t>(framework::kLevelNotify), ""}});
}

framework::ValueCheck FormValueCheck(std::optional<Refusal> (*rule)(std::string_view field,
                                                                    std::string_view value)) {
  return [rule](const std::string& field,
                const std::string& value) -> std::optional<framework::FieldRefusal> {
    std::optional<Refusal> refusal = rule(field, value);
    if (!refusal) return std::nullopt;
    return framework::FieldRefusal{kMsgValueRefused, std::move(refusal->allowed)};
  };
}

}  // namespace vm::app
