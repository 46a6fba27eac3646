#include "runtime/directory.h"

#include <limits>

#include "platform/ascii_text.h"
#include "platform/dir_list.h"
#include "runtime/date_time.h"

namespace vm::runtime {
namespace {

// Bytes of the UTF-8 character that starts at name[i].
size_t CharLength(std::string_view name, size_t i) {
  size_t n = 1;
  while (i + n < name.size() && (static_cast<unsigned char>(name[i + n]) & 0xC0) == 0x80) ++n;
  return n;
}

}  // namespace

bool MatchesPattern(std::string_view name, std::string_view pattern) {
  if (pattern == "*.*") return true;
  // Iterative wildcard match with one back-track point for the last '*'.
  size_t n = 0, p = 0;
  size_t star_p = std::string_view::npos, star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = p++;
      star_n = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      n += CharLength(name, n);
      ++p;
    } else if (p < pattern.size() &&
               platform::AsciiLower(pattern[p]) == platform::AsciiLower(name[n])) {
      ++n;
      ++p;
    } else if (star_p != std::string_view::npos) {
      p = star_p + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<FileEntry> ListDirectory(std::string_view pattern, ListKind kind,
                                     std::vector<PassedOver>* passed_over) {
  const size_t slash = pattern.rfind('/');
  const std::string dir = slash == std::string_view::npos ? std::string(".")
                          : slash == 0                    ? std::string("/")
                                                          : std::string(pattern.substr(0, slash));
  const std::string_view mask =
      slash == std::string_view::npos ? pattern : pattern.substr(slash + 1);
  std::vector<FileEntry> out;
  auto listed = platform::ListDirectory(dir);
  if (!listed.ok()) return out;
  for (const platform::DirEntry& e : *listed) {
    const bool wanted = e.is_regular || (e.is_directory && kind == ListKind::kFilesAndDirectories);
    if (!MatchesPattern(e.name, mask)) continue;
    if (!wanted) {
      // Directories are no files; only odd names are worth a word.
      if (passed_over != nullptr && !e.is_directory)
        passed_over->push_back({e.name, e.is_link ? "a symbolic link" : "not a regular file"});
      continue;
    }
    FileEntry f;
    f.name = e.name;
    f.short_name = e.name;
    const DayAndTime when = LocalDayAndTime(e.mtime_seconds, e.mtime_nanoseconds);
    f.date = when.day;
    f.time = when.time;
    f.size =
        static_cast<uint32_t>(std::min<uint64_t>(e.size, std::numeric_limits<uint32_t>::max()));
    f.device = e.device;
    f.inode = e.inode;
    if (e.is_directory) f.attrib |= kAttrDirectory;
    if (e.is_regular) f.attrib |= kAttrArchive;
    if (!e.owner_writable) f.attrib |= kAttrReadOnly;
    if (e.name.size() > 1 && e.name[0] == '.' && e.name != "..") f.attrib |= kAttrHidden;
    out.push_back(std::move(f));
  }
  return out;
}

}  // namespace vm::runtime
