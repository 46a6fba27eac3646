// Which folders of the voice-mail root hold a mailbox: a folder named by the
// mailbox number in decimal digits (1 to 32767), leading zeros allowed
// ("0104" is mailbox 104). "Refresh Mailboxes" makes records from these
// folders and a pass scans each mailbox in the folders that name it, so a
// mailbox made from "0104" is scanned there. Safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace vm::app {

// The mailbox number a folder name stands for; false when it names none
// (other characters, more than five digits, 0, above 32767).
bool MailboxNumberOf(std::string_view name, int16_t* number);

// The folders of one voice-mail root by the mailbox they name, each list
// with the plain decimal name first and the others in listing order. Links
// are not folders here. A missing or unreadable root names none.
class MailboxFolders {
 public:
  explicit MailboxFolders(const std::string& root);
  // The folder names of mailbox `number` (empty when none).
  const std::vector<std::string>& Of(int16_t number) const;

 private:
  std::map<int16_t, std::vector<std::string>> folders_;
};

}  // namespace vm::app
