#include "framework/message_table.h"

#include <utility>

#include "framework/text_cut.h"
#include "platform/byte_coding.h"

namespace vm::framework {
namespace {

struct StoredRow {
  uint16_t id;
  uint8_t severity;
  const char* title;
  const char* message;
};

// The framework's messages in their stored order.
constexpr StoredRow kStoredRows[] = {
    {27, 5, "Invalid Key", "%File key file is invalid. Key must be rebuilt."},
    {26, 3, "Key was not built", "Error: (%ErrorText) repairing key for %File."},
    {10, 3, "File Creation Error", "Error: (%ErrorText) creating %File."},
    {24, 5, "Procedure not defined", "The Procedure %Message has not been defined."},
    {17, 5, "Range Error", "The value of %Field must be lower than %Message."},
    {18, 5, "Range Error", "The value of %Field must be higher than %Message."},
    {16, 5, "Range Error", "The value of %Field must be in range %Message."},
    {14, 5, "Field contents error", "The value of %Field must be found in the %Message file."},
    {31, 5, "Referential Integrity Update Error",
     "This record is referenced from the file %File. Linking field(s) have been restricted from "
     "change and have "
     "been reset to original values."},
    {30, 5, "Referential Integrity Delete Error",
     "This record is referenced from the file %File. This record cannot be deleted while these "
     "references exist."},
    {4, 5, "Record Insert Error",
     "An error was experienced during the creation of a record.|File: %File|Error: %ErrorText."},
    {6, 5, "Record Was Not Updated", "This record was changed by another station."},
    {7, 5, "Record Was Not Updated",
     "This record was changed by another station. Those changes will now be displayed. Use the "
     "Ditto Button or "
     "Ctrl+' to recall your changes."},
    {34, 1, "Record Update Error",
     "An error was experienced changing this record. Do you want to try to save again?"},
    {33, 1, "Record Delete Error",
     "An error was experienced deleting this record. Do you want to try to delete it again?"},
    {20, 5, "Invalid Request", "This form cannot be used to insert a record"},
    {38, 5, "Invalid Request", "This form cannot be used to update a record"},
    {12, 5, "Invalid Request", "This form cannot be used to delete a record"},
    {8, 1, "Changes will be lost!", "Are you sure you want to cancel?"},
    {13, 5, "Duplicate Key Error",
     "Adding this record creates a duplicate entry for the key: %Message"},
    {32, 1, "Auto Increment Error",
     "Attempts to automatically number this record have failed.|File: %File|Error: %ErrorText.|Try "
     "Again?"},
    {19, 5, "File Load Error", "%File File Load Error.  Error: %ErrorText."},
    {36, 1, "Beginning of File Error",
     "The beginning of the file %File was encountered. Do you want to start again from the end of "
     "the file?"},
    {37, 1, "End of File Error",
     "The end of the file %File was encountered. Do you want to start again from the beginning?"},
    {23, 3, "File Access Error", "File %File could not be opened.  Error: %ErrorText."},
    {25, 5, "Record was not updated",
     "An error (%ErrorText) was experienced when making changes to the %File file."},
    {11, 5, "Record was not deleted",
     "An error (%ErrorText) was experienced when deleting a record from the %File file."},
    {9, 1, "Confirm Delete", "Are you sure you want to delete the highlighted record?"},
    {35, 1, "Save Record", "Do you want to save the changes to this record?"},
    {21, 5, "Transaction cancelled",
     "Error: (%ErrorText) attempting to frame the transaction on %File."},
    {1, 5, "Record Retrieval Error",
     "Error: (%ErrorText) attempting to access a record from the %File file.  Returning to "
     "previous window."},
    {40, 5, "View Open Error",
     "Error: (%ErrorText) attempting to open the current VIEW. Filter and Range Limits ignored."},
    {3, 1, "Record Added",
     "This record has been added to the file. Do you want to add another record?"},
    {28, 5, "Record not read",
     "A record held by another station was encountered reading from the %File file."},
    {5, 5, "Add New Record?", "Record match not found, do you wish to add a new one?"},
    {15, 5, "Value Error", "The value of %Field must be in the list : %Message."},
    {22, 5, "No Records", "There are no records available to process."},
    {2, 5, "Access Denied", "Could not get write access to %File so trying read-only."},
    {39, 2, "File Usage Error", "Attempt to use file (%File) before it was opened"},
    {41, 5, "Unsupported QBE Column",
     "The saved QBE column, %Field is not supported. It will be dropped from the query."},
    {42, 5, "SMTP Error", "The following SMTP Error occurred: %Message "},
    {43, 5, "NNTP Error", "%Message "},
    {44, 5, "Winsock Error", "%Message "},
};

void PutString(std::vector<uint8_t>* out, std::string_view text) {
  const std::string s = CutUtf8(text, 255);
  out->push_back(static_cast<uint8_t>(s.size()));
  out->insert(out->end(), s.begin(), s.end());
}

platform::Status Damaged(std::string what) {
  return platform::Status::Error(platform::Code::kInvalidArgument,
                                 "message block: " + std::move(what));
}

// Bounds-checked reader over the block.
class Reader {
 public:
  explicit Reader(const std::vector<uint8_t>& b) : b_(b) {}
  bool U8(uint8_t* v) {
    if (pos_ + 1 > b_.size()) return false;
    *v = b_[pos_++];
    return true;
  }
  bool U16(uint16_t* v) {
    if (pos_ + 2 > b_.size()) return false;
    *v = platform::DecodeFixed16(b_.data() + pos_);
    pos_ += 2;
    return true;
  }
  bool Str(std::string* s) {
    uint8_t n = 0;
    if (!U8(&n) || pos_ + n > b_.size()) return false;
    s->assign(reinterpret_cast<const char*>(b_.data() + pos_), n);
    pos_ += n;
    return true;
  }
  bool at_end() const { return pos_ == b_.size(); }

 private:
  const std::vector<uint8_t>& b_;
  size_t pos_ = 0;
};

}  // namespace

const std::vector<uint8_t>& StandardMessageBlock() {
  static const std::vector<uint8_t> block = [] {
    std::vector<MessageRow> rows;
    for (const StoredRow& r : kStoredRows)
      rows.push_back({r.id, r.message, r.title, r.severity, ""});
    return PackMessageBlock(rows);
  }();
  return block;
}

std::vector<uint8_t> PackMessageBlock(const std::vector<MessageRow>& rows) {
  std::vector<uint8_t> out;
  const uint16_t count = static_cast<uint16_t>(rows.size());
  platform::PutFixed16(&out, count);
  for (const MessageRow& r : rows) {
    platform::PutFixed16(&out, r.id);
    out.push_back(r.fatality);
    PutString(&out, r.title);
    PutString(&out, r.message);
  }
  return out;
}

platform::Result<std::vector<MessageRow>> ParseMessageBlock(const std::vector<uint8_t>& block) {
  Reader in(block);
  uint16_t count = 0;
  if (!in.U16(&count)) return Damaged("no row count");
  std::vector<MessageRow> rows;
  rows.reserve(count);
  for (uint16_t i = 0; i < count; ++i) {
    MessageRow r;
    if (!in.U16(&r.id) || !in.U8(&r.fatality) || !in.Str(&r.title) || !in.Str(&r.message)) {
      return Damaged("ends inside row " + std::to_string(i + 1) + " of " + std::to_string(count));
    }
    rows.push_back(std::move(r));
  }
  if (!in.at_end()) return Damaged("bytes after the last row");
  return rows;
}

void MessageTable::Add(const std::vector<MessageRow>& rows) {
  for (const MessageRow& r : rows) rows_[r.id] = r;
}

platform::Status MessageTable::AddBlock(const std::vector<uint8_t>& block) {
  auto rows = ParseMessageBlock(block);
  if (!rows.ok()) return rows.status();
  Add(*rows);
  return platform::Status::Ok();
}

std::optional<MessageRow> MessageTable::Find(uint16_t id) const {
  const auto it = rows_.find(id);
  if (it == rows_.end()) return std::nullopt;
  return it->second;
}

}  // namespace vm::framework
