#include "app/settings_file.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/attachment_limit.h"
#include "app/mail_settings.h"
#include "app/retry_policy.h"
#include "platform/replace_file.h"

namespace vm::app {
namespace {

namespace fs = std::filesystem;

constexpr const char* kHeader[2] = {
    "# Settings of voicemail-mailer, kept beside its tables.\n"
    "# Change them with: voicemail-mailer settings set KEY=VALUE\n",
    "# Secret settings of voicemail-mailer (mode 0600).\n"
    "# Change them with: voicemail-mailer settings set KEY=- (the value on standard input)\n"};

fs::path PathIn(const std::string& dir, const char* name) {
  return fs::path(dir.empty() ? "." : dir) / name;
}

const char* FileName(bool secret) {
  return secret ? kCredentialsFileName : kSettingsFileName;
}

// The whole file; "" for a missing one.
platform::Result<std::string> ReadWhole(const fs::path& path) {
  std::error_code ec;
  const bool exists = fs::exists(path, ec);
  if (!exists && !ec) return std::string();
  std::ifstream in(path, std::ios::binary);
  if (ec || !in) {
    return platform::Status::Error(platform::Code::kAccessDenied, "cannot read " + path.string());
  }
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A secret is refused in a file others may read, as ssh refuses a private
// key: the password would be theirs too.
platform::Status CheckPrivate(const fs::path& path) {
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (ec || !fs::exists(st)) return platform::Status::Ok();
  const fs::perms open_to_others =
      st.permissions() & (fs::perms::group_all | fs::perms::others_all);
  if (open_to_others == fs::perms::none) return platform::Status::Ok();
  return platform::Status::Error(platform::Code::kAccessDenied,
                                 path.string() +
                                     " can be read by other users; make it private: "
                                     "chmod 600 " +
                                     path.string());
}

// 1 to 3600 in plain decimal digits.
bool IsSettleSeconds(std::string_view v) {
  if (v.empty() || v.size() > 4 || v[0] == '0') return false;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
  }
  return std::stoi(std::string(v)) <= 3600;
}

}  // namespace

const std::vector<SettingKey>& ProgramSettingKeys() {
  // Each setting of the file is one entry here; see src/app/README.md.
  static const std::vector<SettingKey> keys = {
      {kKeySecurity, "none", IsSecurityWord,
       "none (plain SMTP), starttls (STARTTLS required, port 587) or tls (TLS from the first "
       "byte, port 465)",
       false},
      {kKeyUser, "", IsLoginText,
       "the login name at the mail server, at most 255 bytes; empty: no login", false},
      {kKeyPassword, "", IsLoginText, "the login's password, at most 255 bytes", true},
      {kKeyCaFile, "", [](std::string_view v) { return v.empty() || IsReadableFile(v); },
       "the absolute path of a readable file of PEM certificates trusted besides the "
       "system's; empty: the system's only",
       false},
      {kKeyVerify, "yes", IsYesNo,
       "yes or no: whether the server's certificate and name are checked", false},
      {kKeyHeloName, mail::kDefaultHeloName, IsHeloName,
       "a host name (ASCII letters, digits, '-' and '.') given in EHLO and HELO", false},
      {kKeyMaxAttachment, std::to_string(kDefaultMaxAttachmentMb), IsAttachmentLimit,
       "a number of megabytes from 1 to " + std::to_string(kHighestMaxAttachmentMb) +
           ": a larger recording is mailed without the attachment",
       false},
      {kKeyRetryFor, kDefaultRetryFor, IsRetryHours,
       "whole hours from 0 to 720 that a send failing for a passing reason is tried again; 0: "
       "never",
       false},
      {kKeySettle, "45", IsSettleSeconds,
       "a whole number of seconds from 1 to 3600 that a recording must stand unchanged after "
       "its last write before it is mailed",
       false},
  };
  return keys;
}

const SettingKey* FindSettingKey(const std::vector<SettingKey>& keys, std::string_view name) {
  for (const SettingKey& k : keys) {
    if (k.name == name) return &k;
  }
  return nullptr;
}

std::optional<Refusal> CheckSettingValue(const SettingKey& key, std::string_view value) {
  // Each value is one line of its file.
  if (auto r = CheckText(value, 4096, true, key.allowed)) return r;
  if (key.check && !key.check(value)) return Refusal{"is not allowed", key.allowed};
  return std::nullopt;
}

platform::Result<SettingsFile> SettingsFile::Read(const std::string& dir,
                                                  const std::vector<SettingKey>& keys) {
  SettingsFile file(dir, &keys);
  for (bool secret : {false, true}) {
    platform::Status s = file.Load(secret);
    if (!s.ok()) return s;
  }
  return file;
}

platform::Status SettingsFile::Load(bool secret) {
  const fs::path path = PathIn(dir_, FileName(secret));
  if (secret) {
    platform::Status s = CheckPrivate(path);
    if (!s.ok()) return s;
  }
  platform::Result<std::string> text = ReadWhole(path);
  if (!text.ok()) return text.status();
  loaded_[secret] = *text;
  std::istringstream in(*text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    const std::string where = std::string(FileName(secret)) + " line " + std::to_string(number);
    const size_t eq = line.find('=');
    if (eq == std::string::npos || eq == 0) {
      problems_.push_back(where + ": not KEY=VALUE");
      continue;
    }
    Line entry{line.substr(0, eq), line.substr(eq + 1)};
    const SettingKey* key = FindSettingKey(*keys_, entry.name);
    if (key != nullptr && key->secret != secret) {
      problems_.push_back(where + ": " + entry.name +
                          (secret ? " does not belong in " : " belongs in ") +
                          kCredentialsFileName);
      continue;
    }
    if (key != nullptr) {
      if (auto refusal = CheckSettingValue(*key, entry.value)) {
        problems_.push_back(where + ": " + entry.name + " " + refusal->reason + "; must be " +
                            refusal->allowed);
        continue;
      }
    }
    lines_[secret].push_back(std::move(entry));
  }
  return platform::Status::Ok();
}

const SettingsFile::Line* SettingsFile::Find(std::string_view name) const {
  for (const auto& lines : lines_) {
    // The last line of a name counts, as a hand edit that adds one expects.
    for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
      if (it->name == name) return &*it;
    }
  }
  return nullptr;
}

const std::string& SettingsFile::Text(std::string_view name) const {
  if (const Line* line = Find(name)) return line->value;
  return FindSettingKey(*keys_, name)->default_value;
}

int64_t SettingsFile::Number(std::string_view name) const {
  return NumberOf(Text(name));
}

bool SettingsFile::Flag(std::string_view name) const {
  return Text(name) == "yes";
}

bool SettingsFile::IsSet(std::string_view name) const {
  return Find(name) != nullptr;
}

void SettingsFile::Set(std::string_view name, std::string value) {
  const SettingKey* key = FindSettingKey(*keys_, name);
  std::vector<Line>& lines = lines_[key != nullptr && key->secret];
  std::erase_if(lines, [name](const Line& l) { return l.name == name; });
  lines.push_back(Line{std::string(name), std::move(value)});
}

// Known keys in the table's order, then the others as they were read.
std::string SettingsFile::Serialize(bool secret) const {
  std::string out = kHeader[secret];
  const std::vector<Line>& lines = lines_[secret];
  for (const SettingKey& key : *keys_) {
    for (const Line& l : lines) {
      if (l.name == key.name) out += l.name + "=" + l.value + "\n";
    }
  }
  for (const Line& l : lines) {
    if (FindSettingKey(*keys_, l.name) == nullptr) out += l.name + "=" + l.value + "\n";
  }
  return out;
}

platform::Status SettingsFile::Write() const {
  for (bool secret : {false, true}) {
    const std::string text = Serialize(secret);
    const bool empty = lines_[secret].empty();
    // An untouched file is left alone; one never written stays absent.
    if (text == loaded_[secret] || (empty && loaded_[secret].empty())) continue;
    platform::Status s = platform::ReplaceFile(PathIn(dir_, FileName(secret)), text, 0600);
    if (!s.ok()) return s;
  }
  return platform::Status::Ok();
}

}  // namespace vm::app
