// The CSV dialect of `kfs dump --csv` and `kfs import`: fields separated by
// commas, records by line ends (LF or CR LF); a field in double quotes may
// hold commas, line ends and doubled quotes (""). Blank lines are skipped.
// Pure functions and a reader over text in memory; any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vm::storage::kfs {

// Appends `text` in quotes (quotes inside doubled).
void AppendQuoted(std::string_view text, std::string* out);
// Appends the fields separated by commas, each quoted when `quoted[i]` or
// when it holds a comma, quote or line end, then a line end.
void AppendCsvLine(const std::vector<std::string>& fields, const std::vector<bool>& quoted,
                   std::string* out);

class CsvReader {
 public:
  explicit CsvReader(std::string text) : text_(std::move(text)) {}

  // Reads the next record into *fields. False at the end of the text, or on
  // a malformed record (then *error says what is wrong, "" at the end).
  bool Next(std::vector<std::string>* fields, std::string* error);
  // The line on which the record last read begins (1-based).
  int line() const { return record_line_; }

 private:
  bool Field(std::string* field, std::string* error);

  std::string text_;
  size_t pos_ = 0;
  int line_ = 1;
  int record_line_ = 0;
};

}  // namespace vm::storage::kfs
