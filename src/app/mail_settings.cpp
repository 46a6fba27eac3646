#include "app/mail_settings.h"

#include <filesystem>
#include <fstream>

#include "app/value_rules.h"

namespace vm::app {
namespace {

struct SecurityName {
  std::string_view word;
  mail::Security security;
};

constexpr SecurityName kSecurityNames[] = {
    {"none", mail::Security::kNone},
    {"starttls", mail::Security::kStartTls},
    {"tls", mail::Security::kTls},
};

}  // namespace

bool ParseSecurity(std::string_view word, mail::Security* security) {
  for (const SecurityName& n : kSecurityNames) {
    if (n.word == word) {
      *security = n.security;
      return true;
    }
  }
  return false;
}

std::string_view SecurityWord(mail::Security security) {
  for (const SecurityName& n : kSecurityNames) {
    if (n.security == security) return n.word;
  }
  return "none";
}

bool IsSecurityWord(std::string_view value) {
  mail::Security unused;
  return ParseSecurity(value, &unused);
}

bool IsYesNo(std::string_view value) {
  return value == "yes" || value == "no";
}

bool IsReadableFile(std::string_view value) {
  const std::filesystem::path path{std::string(value)};
  if (value.empty() || !path.is_absolute()) return false;
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) return false;
  std::ifstream in(path, std::ios::binary);
  return in.good();
}

bool IsHeloName(std::string_view value) {
  for (char c : value) {
    if (static_cast<unsigned char>(c) >= 0x80 || c == '_') return false;
  }
  return IsHostName(value);
}

bool IsLoginText(std::string_view value) {
  return value.size() <= kLoginWidth;
}

MailSettings MailSettingsOf(const SettingsFile& file) {
  MailSettings s;
  ParseSecurity(file.Text(kKeySecurity), &s.security);
  s.tls.ca_file = file.Text(kKeyCaFile);
  s.tls.verify = file.Flag(kKeyVerify);
  s.helo_name = file.Text(kKeyHeloName);
  s.user = file.Text(kKeyUser);
  s.password = file.Text(kKeyPassword);
  s.max_attachment_mb = file.Number(kKeyMaxAttachment);
  return s;
}

void ApplyMailSettings(const MailSettings& settings, mail::NetEmailSend* mailer) {
  mailer->SetSecurity(settings.security, settings.tls);
  mailer->SetHeloName(settings.helo_name);
  // Without a user no login is tried, whatever password is stored.
  mailer->AUTHUSER = settings.login() ? settings.user : std::string();
  mailer->AUTHPASSWORD = settings.login() ? settings.password : std::string();
}

std::vector<std::string> MailSettingsWarnings(const SettingsFile& file) {
  std::vector<std::string> lines;
  if (!file.Flag(kKeyVerify)) {
    lines.push_back(
        "warning: verify=no: the mail server's certificate is not checked, so a machine "
        "between this one and the server can read the mail and the password; set "
        "verify=yes (and ca-file=PATH for a private CA)");
  }
  for (const std::string& p : file.problems()) lines.push_back("ignored " + p);
  return lines;
}

}  // namespace vm::app
