// The INI manager: keeps window placement (position, size, maximised) in
// "email.INI" in the working directory. Read once when opened, looked up when
// a window opens, written back at shutdown. The file belongs to the user as
// much as to us: whatever it holds, a lookup gives a usable placement.
// One object per program; every method is safe from any thread.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/ini_file.h"
#include "platform/status.h"

namespace vm::framework {

struct WindowPlacement {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool maximized = false;

  bool operator==(const WindowPlacement&) const = default;
};

// The area windows may take (the desktop's work area).
struct ScreenArea {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

class IniManager {
 public:
  static constexpr std::string_view kFileName = "email.INI";
  // Stored sizes and positions beyond this many pixels are not believed.
  static constexpr int kMaxExtent = 30000;
  // The smallest size a window is given back.
  static constexpr int kMinSize = 40;

  IniManager() = default;
  IniManager(const IniManager&) = delete;
  IniManager& operator=(const IniManager&) = delete;

  // Reads `path` (default: kFileName in the working directory). A missing
  // file is an empty one; an unreadable one is too, and the returned status
  // says why (the program goes on with defaults either way).
  platform::Status Open(std::filesystem::path path = std::filesystem::path(kFileName));

  // The placement window `window` was saved with, each value checked on its
  // own: a missing, unreadable or unbelievable value takes the one of
  // `defaults`. With a non-empty `screen`, the size is cut to it and the
  // window moved so that all of it lies on it.
  WindowPlacement Fetch(std::string_view window, const WindowPlacement& defaults,
                        const std::optional<ScreenArea>& screen = std::nullopt) const;
  // True when the file holds a placement section for `window`.
  bool HasPlacement(std::string_view window) const;
  // Remembers the placement of `window` for the next Save.
  void Update(std::string_view window, const WindowPlacement& placement);

  // Writes the document back to the path it was opened on (atomically: a
  // reader never sees half a file). A failure is returned, never thrown.
  platform::Status Save() const;
  // Forgets the document (the program's close step); Save after it writes nothing.
  void Close();

  // The section that holds `window`'s placement: "Window " + its name with
  // bytes that would break the file ("[", "]", "=", line breaks) as "_".
  static std::string SectionOf(std::string_view window);

 private:
  mutable std::mutex mu_;
  std::filesystem::path path_;
  platform::IniFile doc_;
  bool open_ = false;
};

}  // namespace vm::framework
