// Directory listing: the files (and optionally directories) whose names match
// a pattern such as "/root/101/msg/*.wav", in the order the file system
// returns them, each with its local last-write day and time. Safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vm::runtime {

// Attribute bits of FIL:ATTRIB.
constexpr uint8_t kAttrReadOnly = 0x01;  // the owner may not write
constexpr uint8_t kAttrHidden = 0x02;    // name starts with "." (not "." or "..")
constexpr uint8_t kAttrDirectory = 0x10;
constexpr uint8_t kAttrArchive = 0x20;  // every ordinary file

struct FileEntry {
  std::string name;        // FIL:NAME
  std::string short_name;  // FIL:SHORTNAME: the name itself (no separate short names here)
  int32_t date = 0;        // FIL:DATE, local day number of the last write
  int32_t time = 0;        // FIL:TIME, local time of day of the last write
  uint32_t size = 0;       // FIL:SIZE, clamped to 4294967295 for larger files
  uint8_t attrib = 0;      // FIL:ATTRIB
  uint64_t device = 0;     // with inode, which file the name named when listed
  uint64_t inode = 0;
};

enum class ListKind { kFilesOnly, kFilesAndDirectories };

// A name that matched the pattern but was not listed, and why ("a symbolic
// link", "not a regular file").
struct PassedOver {
  std::string name;
  const char* why = "";
};

// Lists the entries of the pattern's directory (the part up to the last "/";
// none means the current directory) whose names match its last part. Only
// ordinary files (and directories, when asked) are listed: a symbolic link is
// never followed, so it is listed as neither, whatever it points to. The
// matching names passed over go to `passed_over` when given. A missing or
// unreadable directory gives an empty list.
std::vector<FileEntry> ListDirectory(std::string_view pattern, ListKind kind,
                                     std::vector<PassedOver>* passed_over = nullptr);

// Name matching: '*' any run of bytes, '?' exactly one character (a whole
// UTF-8 sequence), ASCII letters compared without regard to case. "*.*"
// matches every name, with or without a dot.
bool MatchesPattern(std::string_view name, std::string_view pattern);

}  // namespace vm::runtime
