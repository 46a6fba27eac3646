// How the gateway reaches its mail server beyond the settings record: the
// security of the connection, the certificate checks, the EHLO/HELO name,
// the login and the largest attachment the provider takes, read from the settings file
// (settings_file.h) at the start of each pass and handed to every mail object of that pass. Plain
// values and pure functions; safe from any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "app/attachment_limit.h"
#include "app/settings_file.h"
#include "mail/net_email_send.h"
#include "net/tls_context.h"

namespace vm::app {

// The keys of the settings file these come from.
inline constexpr const char* kKeySecurity = "security";
inline constexpr const char* kKeyUser = "user";
inline constexpr const char* kKeyPassword = "password";
inline constexpr const char* kKeyCaFile = "ca-file";
inline constexpr const char* kKeyVerify = "verify";
inline constexpr const char* kKeyHeloName = "helo-name";

// Longest login name and password the mail object sends.
inline constexpr size_t kLoginWidth = mail::kServerWidth;

struct MailSettings {
  mail::Security security = mail::Security::kNone;
  net::TlsOptions tls;  // CA file and whether the certificate is checked
  std::string helo_name = mail::kDefaultHeloName;
  // A login is sent only when `user` is not empty.
  std::string user;
  std::string password;
  // A recording larger than this many megabytes is mailed without itself.
  int64_t max_attachment_mb = kDefaultMaxAttachmentMb;

  bool login() const { return !user.empty(); }
};

// The words of `security=` and their meaning; false for another word.
bool ParseSecurity(std::string_view word, mail::Security* security);
std::string_view SecurityWord(mail::Security security);

// The checks of the keys' values (SettingKey::check).
bool IsSecurityWord(std::string_view value);
bool IsYesNo(std::string_view value);
// An absolute path naming a regular file this process can read (read at
// each check: a file that has gone since it was set no longer passes).
bool IsReadableFile(std::string_view value);
// A name for EHLO/HELO: a host name of ASCII letters, digits, '-' and '.'.
bool IsHeloName(std::string_view value);
// A login name or password: at most kLoginWidth bytes.
bool IsLoginText(std::string_view value);

// The mail settings a settings file holds (its defaults where it holds none).
MailSettings MailSettingsOf(const SettingsFile& file);

// Sets `mailer` up with `settings` (security, TLS options, EHLO/HELO name
// and, when a user is set, the login). With the defaults the mail object
// sends exactly what it sends without this call.
void ApplyMailSettings(const MailSettings& settings, mail::NetEmailSend* mailer);

// The lines a pass writes before its sends: one for a certificate check
// switched off, one for each line of the settings files left out.
std::vector<std::string> MailSettingsWarnings(const SettingsFile& file);

}  // namespace vm::app
