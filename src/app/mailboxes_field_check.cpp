#include "app/mailboxes_field_check.h"

#include <string>

#include "app/gateway_tables.h"
#include "runtime/fixed_text.h"

namespace vm::app {
namespace {

constexpr std::string_view kYesNoList = "]YES[]NO[";
constexpr std::string_view kYesNoText = "'YES','NO'";

struct CheckedField {
  size_t offset;
  size_t size;
  const char* name;  // as messages show it
};

constexpr CheckedField kCheckedFields[] = {
    {storage::mailboxes::kEnableEmail, storage::mailboxes::kEnableEmailSize, "MAI:Enable_Email"},
    {storage::mailboxes::kSendVoiceFile, storage::mailboxes::kSendVoiceFileSize,
     "MAI:Send_Voice_File"},
};

}  // namespace

bool InChoiceList(std::string_view value, std::string_view list) {
  const std::string_view clipped = runtime::Clip(value);
  // A value holding a bracket could match across two words ("YES[]NO").
  if (clipped.find_first_of("[]") != std::string_view::npos) return false;
  const std::string probe = "]" + std::string(clipped) + "[";
  return list.find(probe) != std::string_view::npos;
}

int CheckMailboxFields(framework::FileManager& mailboxes, bool show) {
  const std::vector<char>& record = mailboxes.buffer();
  for (const CheckedField& f : kCheckedFields) {
    if (record.size() < f.offset + f.size) return framework::kLevelNotify;
    const std::string_view value(record.data() + f.offset, f.size);
    if (InChoiceList(value, kYesNoList)) continue;
    if (show)
      mailboxes.ThrowField(framework::msg::kFieldNotInList, f.name, std::string(kYesNoText));
    return framework::kLevelNotify;
  }
  return 0;
}

void InstallMailboxesFieldCheck(framework::FileManager& mailboxes) {
  mailboxes.AddFieldCheck(CheckMailboxFields);
}

}  // namespace vm::app
