// The two descriptions a table file carries about itself: the 512-byte file
// header and the table definition stream. Decoding must fail cleanly or give
// a value that encodes back to the same bytes (header) or to a stream that
// decodes to the same description (definition). The first byte picks which.
#include <string>

#include "fuzz_input.h"
#include "storage/file/file_header.h"
#include "storage/table/definition.h"

namespace vm::storage {
namespace {

using fuzz::Check;
using fuzz::FuzzInput;

void Header(FuzzInput& in) {
  const uint32_t file_size = in.U16() << 8;
  const std::string bytes(in.Rest());
  FileHeader h;
  if (!FileHeader::Decode(bytes, &h)) {
    Check(bytes.size() < kHeaderSize || bytes.compare(14, 4, "kEeL") != 0,
          "a header with the magic decodes");
    return;
  }
  const std::string again = h.Encode();
  Check(again.size() == kHeaderSize, "a header encodes to 512 bytes");
  Check(again.compare(6, kHeaderSize - 6, bytes, 6, kHeaderSize - 6) == 0,
        "header bytes round trip");
  FileHeader back;
  Check(FileHeader::Decode(again, &back) && back.Encode() == again, "header value round trip");
  // A header found consistent must not contradict itself.
  if (h.Consistent(file_size)) {
    Check(h.DataEnd() <= file_size, "data ends inside the file");
    Check(h.committed_end <= h.journal_end, "journal bounds in order");
    for (int k = 1; k < kRegionCount; ++k) {
      Check(h.start[k] >= h.end[k - 1] || k == 1, "regions follow each other");
      if (h.end[k] == h.start[k]) continue;
      int cls = 0;
      Check(h.ClassOf(static_cast<int32_t>(h.start[k]), &cls).ok(),
            "first page of a region has a class");
      Check(h.ClassOf(static_cast<int32_t>(h.end[k] - 1), &cls).ok() && cls == k,
            "last page of region k is class k");
      Check(PageOffset(static_cast<int32_t>(h.end[k])) <= h.DataEnd(),
            "regions end below the data end");
    }
  } else {
    int cls = 0;
    (void)h.ClassOf(static_cast<int32_t>(in.U16()), &cls);
    (void)h.DataEnd();
  }
}

void Definition(FuzzInput& in) {
  const std::string_view stream = in.Rest();
  TableDef def;
  if (!DecodeDefinition(stream, &def)) return;
  Check(CheckTableDef(def).empty(), "a decoded definition describes a sound table");
  const std::string again = EncodeDefinition(def);
  TableDef back;
  Check(DecodeDefinition(again, &back), "an encoded definition decodes");
  Check(back == def, "definition round trip");
  Check(CompareDefinition(def, back).empty(), "a definition agrees with itself");
  Check(EncodeDefinition(back) == again, "encoding is stable");
}

}  // namespace
}  // namespace vm::storage

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vm::fuzz::FuzzInput in(data, size);
  if (in.Byte() & 1) {
    vm::storage::Definition(in);
  } else {
    vm::storage::Header(in);
  }
  return 0;
}
