// A small INI document: sections of key=value lines, names compared without
// regard to case, order of sections and keys kept as read. Used by the profile
// reader, the registry store and the program's own settings file.
// A plain value object: owner thread only.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/status.h"

namespace vm::platform {

class IniFile {
 public:
  struct Entry {
    std::string key;
    std::string value;
  };
  struct Section {
    std::string name;
    std::vector<Entry> entries;
  };

  // Parses text; lines starting with ';' or '#' are comments, blanks around
  // names and values are dropped, lines outside a section are ignored.
  static IniFile Parse(std::string_view text);
  // A missing file reads as an empty document; other failures are errors.
  static Result<IniFile> Load(const std::filesystem::path& path);

  std::string Serialize() const;
  // Writes to a temporary file beside `path` and renames it into place, so a
  // reader never sees half a file.
  Status Save(const std::filesystem::path& path) const;

  std::optional<std::string> Get(std::string_view section, std::string_view key) const;
  void Set(std::string_view section, std::string_view key, std::string_view value);
  bool HasSection(std::string_view section) const;
  void AddSection(std::string_view section);  // no-op when present
  bool Remove(std::string_view section, std::string_view key);
  const std::vector<Section>& sections() const { return sections_; }

 private:
  Section* Find(std::string_view section);
  const Section* Find(std::string_view section) const;

  std::vector<Section> sections_;
};

}  // namespace vm::platform
