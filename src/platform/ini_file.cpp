#include "platform/ini_file.h"

#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>

#include "platform/ascii_text.h"
#include "platform/config_dir.h"
#include "platform/replace_file.h"

namespace vm::platform {
namespace {

// Blanks around a line's parts; a CR left by a CR LF line end goes too.
std::string_view TrimPart(std::string_view s) {
  return TrimRight(TrimLeft(s, " \t"), " \t\r");
}

}  // namespace

IniFile IniFile::Parse(std::string_view text) {
  IniFile ini;
  Section* current = nullptr;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view line = TrimPart(text.substr(0, end));
    text = (end == std::string_view::npos) ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      size_t close = line.find(']');
      std::string_view name =
          TrimPart(line.substr(1, close == std::string_view::npos ? line.size() - 1 : close - 1));
      ini.AddSection(name);
      current = ini.Find(name);
      continue;
    }
    size_t eq = line.find('=');
    if (current == nullptr || eq == std::string_view::npos) continue;
    std::string_view key = TrimPart(line.substr(0, eq));
    std::string_view value = TrimPart(line.substr(eq + 1));
    bool replaced = false;
    for (Entry& e : current->entries) {
      if (EqualsIgnoreCase(e.key, key)) {
        e.value = std::string(value);
        replaced = true;
        break;
      }
    }
    if (!replaced) current->entries.push_back(Entry{std::string(key), std::string(value)});
  }
  return ini;
}

Result<IniFile> IniFile::Load(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT || !std::filesystem::exists(path)) return IniFile();
    return StatusFromErrno(errno, "open " + path.string());
  }
  std::ostringstream text;
  text << in.rdbuf();
  return Parse(text.str());
}

std::string IniFile::Serialize() const {
  std::string out;
  for (const Section& s : sections_) {
    out += '[';
    out += s.name;
    out += "]\n";
    for (const Entry& e : s.entries) {
      out += e.key;
      out += '=';
      out += e.value;
      out += '\n';
    }
  }
  return out;
}

Status IniFile::Save(const std::filesystem::path& path) const {
  if (path.has_parent_path()) {
    Status made = MakePrivateDirectories(path.parent_path());
    if (!made.ok()) return made;
  }
  if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0) {
    return StatusFromErrno(EACCES, "write " + path.string());
  }
  return ReplaceFile(path, Serialize(), 0600);
}

IniFile::Section* IniFile::Find(std::string_view section) {
  for (Section& s : sections_) {
    if (EqualsIgnoreCase(s.name, section)) return &s;
  }
  return nullptr;
}

const IniFile::Section* IniFile::Find(std::string_view section) const {
  for (const Section& s : sections_) {
    if (EqualsIgnoreCase(s.name, section)) return &s;
  }
  return nullptr;
}

std::optional<std::string> IniFile::Get(std::string_view section, std::string_view key) const {
  const Section* s = Find(section);
  if (s == nullptr) return std::nullopt;
  for (const Entry& e : s->entries) {
    if (EqualsIgnoreCase(e.key, key)) return e.value;
  }
  return std::nullopt;
}

void IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
  AddSection(section);
  Section* s = Find(section);
  for (Entry& e : s->entries) {
    if (EqualsIgnoreCase(e.key, key)) {
      e.value = std::string(value);
      return;
    }
  }
  s->entries.push_back(Entry{std::string(key), std::string(value)});
}

bool IniFile::HasSection(std::string_view section) const {
  return Find(section) != nullptr;
}

void IniFile::AddSection(std::string_view section) {
  if (Find(section) == nullptr) sections_.push_back(Section{std::string(section), {}});
}

bool IniFile::Remove(std::string_view section, std::string_view key) {
  Section* s = Find(section);
  if (s == nullptr) return false;
  for (auto it = s->entries.begin(); it != s->entries.end(); ++it) {
    if (EqualsIgnoreCase(it->key, key)) {
      s->entries.erase(it);
      return true;
    }
  }
  return false;
}

}  // namespace vm::platform
