#include "app/settings_rules.h"

#include "app/gateway_tables.h"
#include "app/records.h"

namespace vm::app {
namespace {

namespace con = storage::control;

constexpr const char* kServerAllowed = "a host name or IPv4 address of at most 40 bytes, or empty";
constexpr const char* kPortAllowed = "a number from 1 to 32767";
constexpr const char* kFromAllowed =
    "one address (user@host or Name <user@host>) of at most 50 bytes, or empty";
constexpr const char* kLineAllowed = "one line of at most 255 bytes";
constexpr const char* kIdleAllowed = "a number of at most three digits, or empty";
constexpr const char* kBodyAllowed = "a text of at most 999 bytes";

std::optional<Refusal> CheckServer(std::string_view v) {
  if (auto r = CheckText(v, con::kSmtpServerSize, true, kServerAllowed)) return r;
  if (!v.empty() && !IsHostName(v)) return Refusal{"is not a host name", kServerAllowed};
  return std::nullopt;
}

std::optional<Refusal> CheckFrom(std::string_view v) {
  if (auto r = CheckText(v, con::kFromSize, true, kFromAllowed)) return r;
  if (!v.empty() && !IsAddressList(v, true)) return Refusal{"is not an address", kFromAllowed};
  return std::nullopt;
}

std::optional<Refusal> CheckIdleTime(std::string_view v) {
  if (v.empty()) return std::nullopt;
  if (v.size() > 3) return Refusal{"has more than three digits", kIdleAllowed};
  return CheckNumber(v, 0, 999, kIdleAllowed);
}

}  // namespace

const std::vector<RecordSetting>& RecordSettings() {
  static const std::vector<RecordSetting> settings = {
      {"server", "CON:SMTP_SERVER", false, kServerAllowed},
      {"port", "CON:PORT", false, kPortAllowed},
      {"from", "CON:FROM", false, kFromAllowed},
      {"subject", "CON:SUBJECT", false, kLineAllowed},
      {"root", "CON:APPLICATE_PATH", false, kLineAllowed},
      {"idle-time", "CON:IDLETIME", false, kIdleAllowed},
      {"attach-body", "CON:ATTACHMENT_BODY", true, kBodyAllowed},
      {"plain-body", "CON:NONATTACHMENTBODY", true, kBodyAllowed},
  };
  return settings;
}

const RecordSetting* FindRecordSetting(std::string_view key) {
  for (const RecordSetting& s : RecordSettings()) {
    if (key == s.key) return &s;
  }
  return nullptr;
}

std::optional<Refusal> CheckRecordSetting(const RecordSetting& s, std::string_view v) {
  const std::string_view key = s.key;
  if (key == "server") return CheckServer(v);
  if (key == "port") return CheckNumber(v, 1, 32767, kPortAllowed);
  if (key == "from") return CheckFrom(v);
  if (key == "subject") return CheckText(v, con::kSubjectSize, true, kLineAllowed);
  if (key == "root") return CheckText(v, con::kApplicatePathSize, true, kLineAllowed);
  if (key == "idle-time") return CheckIdleTime(v);
  // The bodies are NUL-terminated: one byte of the field holds the NUL.
  return CheckText(v, kBodyCapacity, false, kBodyAllowed);
}

std::optional<Refusal> CheckSettingsField(std::string_view field, std::string_view value) {
  for (const RecordSetting& s : RecordSettings()) {
    if (field == s.field) return CheckRecordSetting(s, value);
  }
  return std::nullopt;
}

std::string RecordSettingValue(const ControlRow& row, const RecordSetting& s) {
  const std::string_view key = s.key;
  if (key == "server") return row.smtp_server;
  if (key == "port") return std::to_string(row.port);
  if (key == "from") return row.from;
  if (key == "subject") return row.subject;
  if (key == "root") return row.applicate_path;
  if (key == "idle-time") return row.idle_time;
  if (key == "attach-body") return row.attachment_body;
  return row.nonattachment_body;
}

void SetRecordSetting(ControlRow* row, const RecordSetting& s, std::string_view value) {
  const std::string_view key = s.key;
  const std::string v(value);
  if (key == "server") {
    row->smtp_server = v;
  } else if (key == "port") {
    row->port = static_cast<int16_t>(NumberOf(v));
  } else if (key == "from") {
    row->from = v;
  } else if (key == "subject") {
    row->subject = v;
  } else if (key == "root") {
    row->applicate_path = v;
  } else if (key == "idle-time") {
    row->idle_time = v;
  } else if (key == "attach-body") {
    row->attachment_body = v;
  } else {
    row->nonattachment_body = v;
  }
}

}  // namespace vm::app
