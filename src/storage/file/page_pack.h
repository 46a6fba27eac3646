// Packing of a page's records into its body: each record shares up to 63
// leading bytes with the record before it, and its lengths are written only
// when they differ from the previous record's. Pure functions; thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "storage/file/record.h"

namespace vm::storage {

// Appends the packed form of `records` to *body.
void PackRecords(const std::vector<Record>& records, std::string* body);

// Decodes `count` records from `body`. Returns false (internal error 1602)
// when the body is damaged: it ends early, a shared count or length does not
// fit, keys do not rise strictly, or bytes are left over.
bool UnpackRecords(std::string_view body, size_t count, std::vector<Record>* records);

}  // namespace vm::storage
