// The fields of the settings record as the command line names them
// ("server", "port", ...), with the rule each value must meet, for the
// `settings` command and the "Control File" form alike. Pure functions over
// constant tables; safe from any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/records.h"
#include "app/value_rules.h"

namespace vm::app {

struct RecordSetting {
  const char* key;      // "idle-time"
  const char* field;    // the record's field, as the form names it: "CON:IDLETIME"
  bool multi_line;      // the two body templates
  const char* allowed;  // completes "must be ..."
};

// Every field of the record, in the order `settings show` prints them.
const std::vector<RecordSetting>& RecordSettings();
// The entry of `key`, or null when the record has no such field.
const RecordSetting* FindRecordSetting(std::string_view key);

// nullopt when `value` may be stored under `key` (REQUIRES: a known key).
std::optional<Refusal> CheckRecordSetting(const RecordSetting& setting, std::string_view value);
// The same rule by the form's field name; nullopt for fields without one.
std::optional<Refusal> CheckSettingsField(std::string_view field, std::string_view value);

// The value of `key` in `row` as text (the port in decimal).
std::string RecordSettingValue(const ControlRow& row, const RecordSetting& setting);
// Stores a value that passed CheckRecordSetting.
void SetRecordSetting(ControlRow* row, const RecordSetting& setting, std::string_view value);

}  // namespace vm::app
