#include "kfs_csv.h"

namespace vm::storage::kfs {

void AppendQuoted(std::string_view text, std::string* out) {
  out->push_back('"');
  for (char c : text) {
    if (c == '"') out->push_back('"');
    out->push_back(c);
  }
  out->push_back('"');
}

void AppendCsvLine(const std::vector<std::string>& fields, const std::vector<bool>& quoted,
                   std::string* out) {
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i != 0) out->push_back(',');
    const bool needs = fields[i].find_first_of(",\"\r\n") != std::string::npos;
    if (needs || (i < quoted.size() && quoted[i])) {
      AppendQuoted(fields[i], out);
    } else {
      out->append(fields[i]);
    }
  }
  out->push_back('\n');
}

namespace {

bool AtLineEnd(std::string_view text, size_t pos) {
  return pos >= text.size() || text[pos] == '\n' ||
         (text[pos] == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n');
}

}  // namespace

// One field starting at pos_; leaves pos_ on the comma or line end after it.
bool CsvReader::Field(std::string* field, std::string* error) {
  field->clear();
  if (pos_ < text_.size() && text_[pos_] == '"') {
    ++pos_;
    for (;;) {
      if (pos_ >= text_.size()) {
        *error = "quoted field not closed";
        return false;
      }
      const char c = text_[pos_++];
      if (c == '"') {
        if (pos_ < text_.size() && text_[pos_] == '"') {
          field->push_back('"');
          ++pos_;
          continue;
        }
        break;
      }
      if (c == '\n') ++line_;
      field->push_back(c);
    }
    if (pos_ < text_.size() && text_[pos_] != ',' && !AtLineEnd(text_, pos_)) {
      *error = "unexpected text after a closing quote";
      return false;
    }
    return true;
  }
  while (pos_ < text_.size() && text_[pos_] != ',' && !AtLineEnd(text_, pos_)) {
    if (text_[pos_] == '"') {
      *error = "quote inside an unquoted field (quote the whole field and double the quote)";
      return false;
    }
    field->push_back(text_[pos_++]);
  }
  return true;
}

bool CsvReader::Next(std::vector<std::string>* fields, std::string* error) {
  fields->clear();
  error->clear();
  // Skip blank lines.
  while (pos_ < text_.size() && AtLineEnd(text_, pos_)) {
    pos_ += text_[pos_] == '\r' ? 2 : 1;
    ++line_;
  }
  if (pos_ >= text_.size()) return false;
  record_line_ = line_;
  for (;;) {
    std::string field;
    if (!Field(&field, error)) return false;
    fields->push_back(std::move(field));
    if (pos_ < text_.size() && text_[pos_] == ',') {
      ++pos_;
      continue;
    }
    if (pos_ < text_.size()) {
      pos_ += text_[pos_] == '\r' ? 2 : 1;
      ++line_;
    }
    return true;
  }
}

}  // namespace vm::storage::kfs
