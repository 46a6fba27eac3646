#include "mail/mail_lists.h"

#include <algorithm>

#include "mail/mime_codec.h"
#include "platform/ascii_text.h"
#include "platform/hex_text.h"

namespace vm::mail {

namespace {

bool IsSeparator(char c) {
  return c == ',' || c == ';';
}

bool NeedsEncoding(unsigned char c) {
  return c < 0x20 || c >= 0x7F || c == '"' || c == '\\';
}

void PutPercent(unsigned char c, std::string* out) {
  out->push_back('%');
  platform::AppendHexByte(c, platform::HexCase::kUpper, out);
}

}  // namespace

namespace {

// End of the address-list entry starting at `pos`: the next "," or ";" that
// is neither inside a double-quoted string (where "\\" escapes the next
// byte) nor inside "<...>".
size_t EntryEnd(std::string_view list, size_t pos) {
  bool quoted = false;
  bool angle = false;
  for (size_t i = pos; i < list.size(); ++i) {
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
    } else if (!angle && IsSeparator(c)) {
      return i;
    }
  }
  return list.size();
}

// Position of the first "<" of the entry that is outside a quoted string.
size_t AngleOutsideQuotes(std::string_view entry) {
  bool quoted = false;
  for (size_t i = 0; i < entry.size(); ++i) {
    const char c = entry[i];
    if (quoted) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        quoted = false;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == '<') {
      return i;
    }
  }
  return std::string_view::npos;
}

// The display name without its quotes: quote characters removed, and inside
// a quoted string a backslash taken as an escape of the next byte.
std::string Unquote(std::string_view text) {
  std::string out;
  bool quoted = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted && c == '\\' && i + 1 < text.size()) {
      out.push_back(text[++i]);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

bool TakeEmailAddress(std::string_view list, uint32_t index, std::string* name,
                      std::string* address) {
  name->clear();
  address->clear();
  if (index == 0) return false;
  size_t pos = 0;
  for (uint32_t skipped = 1; skipped < index; ++skipped) {
    const size_t sep = EntryEnd(list, pos);
    if (sep >= list.size()) return false;
    pos = sep + 1;
  }
  const size_t end = EntryEnd(list, pos);
  const std::string_view entry = list.substr(pos, end - pos);
  const size_t lt = AngleOutsideQuotes(entry);
  const size_t gt = lt == std::string_view::npos ? std::string_view::npos : entry.find('>', lt + 1);
  if (gt != std::string_view::npos) {
    *address = std::string(platform::Trim(entry.substr(lt + 1, gt - lt - 1)));
    *name = Unquote(platform::Trim(entry.substr(0, lt)));
  } else {
    const std::string_view whole = platform::Trim(entry);
    if (whole.empty()) return false;
    *address = std::string(whole);
    *name = Unquote(whole);
  }
  if (name->size() > kAddressPartWidth) name->resize(kAddressPartWidth);
  if (address->size() > kAddressPartWidth) address->resize(kAddressPartWidth);
  return true;
}

std::string ExpandDirectoryForm(std::string_view list) {
  const size_t bar = list.find('|');
  if (bar == std::string_view::npos) return std::string(list);
  std::string dir(platform::Trim(list.substr(0, bar)));
  if (dir.empty() || (dir.back() != '/' && dir.back() != '\\')) dir.push_back('/');
  std::string out;
  size_t pos = bar + 1;
  while (pos <= list.size()) {
    size_t next = list.find('|', pos);
    if (next == std::string_view::npos) next = list.size();
    const std::string_view name = platform::Trim(list.substr(pos, next - pos));
    if (!name.empty()) {
      if (!out.empty()) out.append(", ");
      out.append("\"").append(dir).append(name).append("\"");
    }
    pos = next + 1;
  }
  return out;
}

bool SplitAttachmentList(std::string_view list, std::vector<std::string>* paths) {
  paths->clear();
  const size_t bar = list.find('|');
  if (bar != std::string_view::npos) {
    std::string dir(platform::Trim(list.substr(0, bar)));
    if (dir.empty() || (dir.back() != '/' && dir.back() != '\\')) dir.push_back('/');
    size_t pos = bar + 1;
    while (pos <= list.size()) {
      size_t next = list.find('|', pos);
      if (next == std::string_view::npos) next = list.size();
      const std::string_view name = platform::Trim(list.substr(pos, next - pos));
      if (!name.empty()) paths->push_back(dir + std::string(name));
      pos = next + 1;
    }
    return true;
  }
  if (list.find('"') != std::string_view::npos) {
    size_t pos = 0;
    for (;;) {
      while (pos < list.size() && (list[pos] == ' ' || list[pos] == ',')) ++pos;
      if (pos >= list.size()) return true;
      if (list[pos] != '"') break;
      const size_t close = list.find('"', pos + 1);
      if (close == std::string_view::npos) break;
      const std::string_view entry = platform::Trim(list.substr(pos + 1, close - pos - 1));
      if (!entry.empty()) paths->emplace_back(entry);
      pos = close + 1;
      while (pos < list.size() && list[pos] == ' ') ++pos;
      if (pos < list.size() && list[pos] != ',') break;
    }
    paths->clear();
    return false;
  }
  size_t pos = 0;
  while (pos <= list.size()) {
    size_t next = list.find(',', pos);
    if (next == std::string_view::npos) next = list.size();
    const std::string_view entry = platform::Trim(list.substr(pos, next - pos));
    if (!entry.empty()) paths->emplace_back(entry);
    pos = next + 1;
  }
  return true;
}

std::vector<std::string> AttachmentEntries(std::string_view list) {
  std::vector<std::string> paths;
  SplitAttachmentList(list, &paths);
  return paths;
}

std::string_view ShortName(std::string_view path) {
  const size_t cut = path.find_last_of("/\\");
  return cut == std::string_view::npos ? path : path.substr(cut + 1);
}

std::string_view LiteralShortName(std::string_view path) {
  const size_t cut = path.rfind('/');
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
    const bool match = platform::EqualsIgnoreCase(line.substr(0, field.size()), field);
    pos = eol + 2;
    if (!match) continue;
    std::string value(platform::Trim(line.substr(field.size())));
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

bool HasLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

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

bool PlainFileName(std::string_view name) {
  return std::none_of(name.begin(), name.end(),
                      [](char c) { return NeedsEncoding(static_cast<unsigned char>(c)); });
}

std::string FileNameParameter(std::string_view key, std::string_view name) {
  std::string out(key);
  if (PlainFileName(name)) {
    out.append("=\"").append(name).append("\"");
    return out;
  }
  // Percent-encoded pieces of at most this many characters, so that every
  // header line stays short; neither a "%XX" nor a UTF-8 character is cut
  // (readers decode each piece on its own).
  constexpr size_t kPiece = 60;
  const bool utf8 = IsUtf8(name);
  std::vector<std::string> pieces(1, std::string(utf8 ? "utf-8" : "windows-1252") + "''");
  std::string bit;
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    const bool attr_char = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_' || c == '!' ||
                           c == '~' || c == '&' || c == '+' || c == '$' || c == '#' || c == '^' ||
                           c == '`' || c == '|';
    if (attr_char) {
      bit.push_back(name[i]);
    } else {
      PutPercent(c, &bit);
    }
    const bool inside_char =
        utf8 && i + 1 < name.size() && (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80;
    if (inside_char) continue;
    if (pieces.back().size() + bit.size() > kPiece) pieces.emplace_back();
    pieces.back().append(bit);
    bit.clear();
  }
  if (pieces.size() == 1) return out.append("*=").append(pieces[0]);
  out.clear();
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out.append(";\r\n ");
    out.append(key).append("*").append(std::to_string(i)).append("*=").append(pieces[i]);
  }
  return out;
}

std::string FallbackFileNameParameter(std::string_view key, std::string_view name) {
  const bool utf8 = IsUtf8(name);
  std::string out(key);
  out.append("=\"");
  for (size_t i = 0; i < name.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (!NeedsEncoding(c)) {
      out.push_back(name[i]);
      continue;
    }
    out.push_back('_');
    // One stand-in for a whole UTF-8 character.
    if (utf8 && c >= 0xC0) {
      while (i + 1 < name.size() && (static_cast<unsigned char>(name[i + 1]) & 0xC0) == 0x80) ++i;
    }
  }
  out.append("\"");
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
