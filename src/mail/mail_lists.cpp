#include "mail/mail_lists.h"

#include <algorithm>

namespace vm::mail {

namespace {

std::string_view TrimSpaces(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

bool IsSeparator(char c) { return c == ',' || c == ';'; }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool NeedsEncoding(unsigned char c) { return c < 0x20 || c == 0x7F || c == '"' || c == '\\'; }

void PutPercent(unsigned char c, std::string* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out->push_back('%');
  out->push_back(kHex[c >> 4]);
  out->push_back(kHex[c & 0x0F]);
}

}  // namespace

bool TakeEmailAddress(std::string_view list, uint32_t index, std::string* name, std::string* address) {
  name->clear();
  address->clear();
  if (index == 0) return false;
  size_t pos = 0;
  for (uint32_t skipped = 1; skipped < index; ++skipped) {
    size_t sep = pos;
    while (sep < list.size() && !IsSeparator(list[sep])) ++sep;
    if (sep >= list.size()) return false;
    pos = sep + 1;
  }
  size_t end = pos;
  while (end < list.size() && !IsSeparator(list[end])) ++end;
  const std::string_view entry = list.substr(pos, end - pos);
  const size_t lt = entry.find('<');
  const size_t gt = lt == std::string_view::npos ? std::string_view::npos : entry.find('>', lt + 1);
  if (gt != std::string_view::npos) {
    *address = std::string(TrimSpaces(entry.substr(lt + 1, gt - lt - 1)));
    *name = std::string(TrimSpaces(entry.substr(0, lt)));
  } else {
    const std::string_view whole = TrimSpaces(entry);
    if (whole.empty()) return false;
    *address = std::string(whole);
    *name = std::string(whole);
  }
  name->erase(std::remove(name->begin(), name->end(), '"'), name->end());
  if (name->size() > kAddressPartWidth) name->resize(kAddressPartWidth);
  if (address->size() > kAddressPartWidth) address->resize(kAddressPartWidth);
  return true;
}

std::string ExpandDirectoryForm(std::string_view list) {
  const size_t bar = list.find('|');
  if (bar == std::string_view::npos) return std::string(list);
  std::string dir(TrimSpaces(list.substr(0, bar)));
  if (dir.empty() || (dir.back() != '/' && dir.back() != '\\')) dir.push_back('/');
  std::string out;
  size_t pos = bar + 1;
  while (pos <= list.size()) {
    size_t next = list.find('|', pos);
    if (next == std::string_view::npos) next = list.size();
    const std::string_view name = TrimSpaces(list.substr(pos, next - pos));
    if (!name.empty()) {
      if (!out.empty()) out.append(", ");
      out.append("\"").append(dir).append(name).append("\"");
    }
    pos = next + 1;
  }
  return out;
}

std::vector<std::string> AttachmentEntries(std::string_view list) {
  std::vector<std::string> raw;
  if (list.find('"') != std::string_view::npos) {
    size_t pos = 0;
    for (;;) {
      const size_t open = list.find('"', pos);
      if (open == std::string_view::npos) break;
      const size_t close = list.find('"', open + 1);
      if (close == std::string_view::npos) {
        raw.emplace_back(list.substr(open + 1));
        break;
      }
      raw.emplace_back(list.substr(open + 1, close - open - 1));
      pos = close + 1;
    }
  } else {
    size_t pos = 0;
    while (pos <= list.size()) {
      size_t next = list.find(',', pos);
      if (next == std::string_view::npos) next = list.size();
      raw.emplace_back(list.substr(pos, next - pos));
      pos = next + 1;
    }
  }
  std::vector<std::string> entries;
  for (const std::string& r : raw) {
    std::string_view e = TrimSpaces(r);
    if (!e.empty() && e.front() == '"') e.remove_prefix(1);
    if (!e.empty() && e.back() == '"') e.remove_suffix(1);
    if (!e.empty()) entries.emplace_back(e);
  }
  return entries;
}

std::string_view ShortName(std::string_view path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string HeaderFieldValue(std::string_view message, std::string_view field) {
  size_t header_end = message.find("\r\n\r\n");
  if (header_end == std::string_view::npos) return {};
  const std::string_view header = message.substr(0, header_end + 2);
  size_t pos = 0;
  while (pos < header.size()) {
    size_t eol = header.find("\r\n", pos);
    if (eol == std::string_view::npos) eol = header.size();
    const std::string_view line = header.substr(pos, eol - pos);
    const bool match = line.size() >= field.size() &&
                       std::equal(field.begin(), field.end(), line.begin(),
                                  [](char a, char b) { return Lower(a) == Lower(b); });
    pos = eol + 2;
    if (!match) continue;
    std::string value(TrimSpaces(line.substr(field.size())));
    while (pos < header.size() && (header[pos] == ' ' || header[pos] == '\t')) {
      size_t next = header.find("\r\n", pos);
      if (next == std::string_view::npos) next = header.size();
      value.append(header.substr(pos, next - pos));
      pos = next + 2;
    }
    return value;
  }
  return {};
}

bool HasLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

std::string OneLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      while (i + 1 < text.size() && (text[i + 1] == '\r' || text[i + 1] == '\n')) ++i;
      out.push_back(' ');
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::string SafeExtraHeader(std::string_view text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(pos, end - pos);
    if (line.find_first_not_of(" \t") != std::string_view::npos) out.append(line).append("\r\n");
    pos = end;
    if (pos < text.size() && text[pos] == '\r') ++pos;
    if (pos < text.size() && text[pos] == '\n') ++pos;
  }
  return out;
}

std::string FileNameParameter(std::string_view key, std::string_view name) {
  const bool plain = std::none_of(name.begin(), name.end(),
                                  [](char c) { return NeedsEncoding(static_cast<unsigned char>(c)); });
  std::string out(key);
  if (plain) {
    out.append("=\"").append(name).append("\"");
    return out;
  }
  out.append("*=utf-8''");
  for (char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    const bool attr_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '-' || c == '_' || c == '!' || c == '~' || c == '&' || c == '+' ||
                           c == '$' || c == '#' || c == '^' || c == '`' || c == '|';
    if (attr_char) {
      out.push_back(ch);
    } else {
      PutPercent(c, &out);
    }
  }
  return out;
}

std::string ContentIdText(std::string_view name) {
  std::string out;
  for (char ch : name) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (NeedsEncoding(c) || c == '<' || c == '>') {
      PutPercent(c, &out);
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

}  // namespace vm::mail
