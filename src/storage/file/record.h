// Records of the file's one ordered tree: key bytes and data bytes, ordered by
// unsigned comparison of the keys (a key that is a prefix of another sorts
// first). Plain value types; safe to copy between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vm::storage {

// A record whose key plus data reaches this many bytes cannot be stored.
inline constexpr size_t kRecordSizeLimit = 15094;

// Split thresholds of a page's expanded size.
inline constexpr size_t kPageSplitSize = 15094;
inline constexpr size_t kPageSplitSizeMany = 4096;
inline constexpr size_t kPageSplitRecords = 20;

// The longest key a record may have whatever its bytes. Separators are whole
// first keys, and an internal page splits only into halves of two or more
// (NeedsSplit), so any three separators with their child numbers must make a
// page within the split size.
inline constexpr size_t kMaxKeyLength = (kPageSplitSize - 13) / 3 - (5 + 4);  // 5018
static_assert(13 + 3 * (kMaxKeyLength + 5 + 4) <= kPageSplitSize);

// Earlier versions also took a longer key when its packed form compressed to
// at most this many bytes (text padded with blanks), so that three such
// separators fit on one page compressed. Tables defined then keep taking
// such keys; a new table cannot declare one (CheckNewTableDef).
inline constexpr size_t kMaxCompressedSeparator = 5000;

struct Record {
  std::string key;
  std::string data;
  size_t size() const { return key.size() + data.size(); }
};

// Internal consistency numbers raised by the record layer.
inline constexpr int kErrDuplicateRecord = 706;    // key already in the page
inline constexpr int kErrRecordTooLong = 824;      // record of 15094 bytes or more, or a key
                                                   // longer than kMaxKeyLength that does not
                                                   // compress
inline constexpr int kErrNumberReadOnly = 1163;    // number requested in reading mode
inline constexpr int kErrNumbersExhausted = 1173;  // number counter reached 0xFE......
inline constexpr int kErrInsertReadOnly = 1194;    // insert through a reading handle
inline constexpr int kErrSplitTooFew = 1364;       // split of a page with < 2 records
inline constexpr int kErrBadRecords = 1602;        // records do not end where the page says
inline constexpr int kErrParentMissing = 1891;     // parent of a moved page not found
inline constexpr int kErrParentNoPointer = 1894;   // parent does not name the moved page

// One page of the tree, decoded. A leaf (level 0) holds records; an internal
// page holds separators (records with keys only), each with the number of the
// child page whose first key it is.
struct TreePage {
  uint8_t level = 0;
  std::vector<Record> records;
  std::vector<int32_t> children;  // internal pages only, one per record

  bool leaf() const { return level == 0; }
  // Worst-case packed size: header, (record length + 5) per record, and the
  // child array of an internal page.
  size_t ExpandedSize() const;
  bool NeedsSplit() const;
};

}  // namespace vm::storage
