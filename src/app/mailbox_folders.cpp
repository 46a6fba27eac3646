#include "app/mailbox_folders.h"

#include "runtime/directory.h"
#include "runtime/text_number.h"

namespace vm::app {

bool MailboxNumberOf(std::string_view name, int16_t* number) {
  if (name.empty() || name.size() > 5) return false;
  for (char c : name) {
    if (c < '0' || c > '9') return false;
  }
  const int64_t n = runtime::TextToNumber(name);
  if (n < 1 || n > 32767) return false;
  *number = static_cast<int16_t>(n);
  return true;
}

MailboxFolders::MailboxFolders(const std::string& root) {
  for (const runtime::FileEntry& e :
       runtime::ListDirectory(root + "/*", runtime::ListKind::kFilesAndDirectories)) {
    int16_t number = 0;
    if ((e.attrib & runtime::kAttrDirectory) == 0 || !MailboxNumberOf(e.name, &number)) continue;
    std::vector<std::string>& names = folders_[number];
    if (e.name == std::to_string(number)) {
      names.insert(names.begin(), e.name);
    } else {
      names.push_back(e.name);
    }
  }
}

const std::vector<std::string>& MailboxFolders::Of(int16_t number) const {
  static const std::vector<std::string> kNone;
  const auto it = folders_.find(number);
  return it == folders_.end() ? kNone : it->second;
}

}  // namespace vm::app
