// What every administration command gets: the working directory, the streams
// it reads and writes, the key table of the settings file and the clock; and
// the one-line refusals and exit statuses the commands share. Plain data,
// made by the entry point (or a test) for one command on the calling thread.
#pragma once

#include <iostream>
#include <string>
#include <vector>

#include "app/settings_file.h"
#include "platform/clock.h"

namespace vm::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUnhealthy = 1;  // status: the service needs a look
inline constexpr int kExitRefused = 2;    // usage, a refused value, an unusable directory

struct Context {
  std::string data_dir;  // "" = the current directory
  std::istream* in = &std::cin;
  std::ostream* out = &std::cout;
  std::ostream* err = &std::cerr;
  const std::vector<app::SettingKey>* keys = &app::ProgramSettingKeys();
  const platform::Clock* clock = &platform::SystemClock();

  // The directory as messages name it.
  std::string shown_dir() const { return data_dir.empty() ? "." : data_dir; }
};

// Writes "voicemail-mailer: TEXT" as one line on the error stream and
// returns kExitRefused.
int Refuse(const Context& context, const std::string& text);
// A usage error of `command`: one line that points to its --help.
int UsageError(const Context& context, const std::string& command, const std::string& text);
// kExitRefused with a line when the working directory does not exist.
int CheckDirectory(const Context& context);

}  // namespace vm::cli
