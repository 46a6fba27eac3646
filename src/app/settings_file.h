// The settings kept beside the three tables, never inside their records, so a
// directory written by an earlier version opens unchanged: the file
// "voicemail-mailer.conf" of key=value lines in the working directory, and
// "credentials" (mode 0600) for the secret ones. One table of keys says what
// each setting is (SettingKey); a pass reads a SettingsFile at its start and
// asks it for typed values. A SettingsFile is a plain value (owner thread
// only); the files are replaced whole, so a reader never sees half of one.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/value_rules.h"
#include "app/writer_lock.h"
#include "platform/file.h"
#include "platform/status.h"

namespace vm::app {

inline constexpr const char* kSettingsFileName = "voicemail-mailer.conf";
inline constexpr const char* kCredentialsFileName = "credentials";
// Seconds a recording must stand unchanged after its last write before it is
// mailed (the pass's age rule; the tree watcher's delay after a close).
inline constexpr const char* kKeySettle = "settle";

struct SettingKey {
  std::string name;           // "helo-name", as `settings set` takes it
  std::string default_value;  // the value while none is stored
  // Whether a value may be stored (the default need not pass: "" for "none").
  std::function<bool(std::string_view value)> check;
  std::string allowed;  // completes "must be ...", for refusals
  // Kept in "credentials", never printed (shown as "(set)" or "(not set)"),
  // and given only on standard input (`settings set NAME=-`).
  bool secret = false;
};

// The program's keys in the order `settings show` prints them.
const std::vector<SettingKey>& ProgramSettingKeys();
// The key named `name` in `keys`, or null.
const SettingKey* FindSettingKey(const std::vector<SettingKey>& keys, std::string_view name);
// nullopt when `value` may be stored under `key`: one line of valid UTF-8
// (the files hold one line a key) that the key's check admits.
std::optional<Refusal> CheckSettingValue(const SettingKey& key, std::string_view value);

class SettingsFile {
 public:
  // Reads both files of `dir` ("" = the current directory); a missing file
  // holds nothing. Fails when a file cannot be read, or when "credentials"
  // can be read by group or others (with a line naming the file and the fix).
  // `keys` must outlive the object.
  static platform::Result<SettingsFile> Read(
      const std::string& dir, const std::vector<SettingKey>& keys = ProgramSettingKeys());

  // Typed values. REQUIRES: `name` is a key of the table. A key not stored,
  // or stored with a value its check refuses, gives its default.
  const std::string& Text(std::string_view name) const;
  // REQUIRES: the key's check admits only decimal digits.
  int64_t Number(std::string_view name) const;
  // True for "yes" (the words of a yes/no key).
  bool Flag(std::string_view name) const;
  // Whether a value that passes its check is stored for `name`.
  bool IsSet(std::string_view name) const;
  // Lines of the files that were left out: values their key's check refuses
  // (hand edits), secrets outside "credentials", lines that are not
  // key=value. Each says file, line and why.
  const std::vector<std::string>& problems() const { return problems_; }

  // Stores `value` for `name` (REQUIRES: it passed CheckSettingValue);
  // nothing reaches the files before Write.
  void Set(std::string_view name, std::string value);
  // Replaces the file(s) whose contents Set changed, mode 0600. Lines of keys
  // this version does not know are kept as they were.
  platform::Status Write() const;

 private:
  struct Line {
    std::string name;
    std::string value;
  };
  SettingsFile(std::string dir, const std::vector<SettingKey>* keys)
      : dir_(std::move(dir)), keys_(keys) {}
  platform::Status Load(bool secret);
  const Line* Find(std::string_view name) const;
  std::string Serialize(bool secret) const;

  std::string dir_;
  const std::vector<SettingKey>* keys_;
  std::vector<Line> lines_[2];  // [0]: voicemail-mailer.conf, [1]: credentials
  std::string loaded_[2];       // the files' contents as read
  std::vector<std::string> problems_;
};

// Keeps other writers of the settings files off while a command reads,
// changes and writes them (their byte of "voicemail-mailer.lock", see
// writer_lock.h). Readers never take it.
class SettingsWriteLock {
 public:
  // Waits at most `limit`; nullptr with *error when the lock cannot be had.
  static std::unique_ptr<WriterLock> Acquire(const std::string& dir,
                                             std::chrono::milliseconds limit, std::string* error,
                                             platform::Env* env = platform::Env::Default()) {
    return WriterLock::Acquire(dir, kSettingsWriterByte, "the settings", limit, error, env);
  }
};

}  // namespace vm::app
