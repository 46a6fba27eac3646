// Page images as they come off the disk: decoding must fail cleanly or give
// a page that encodes and decodes to itself; pages, bodies and record runs
// built from the input must survive an encode-decode round trip. The first
// byte picks the path.
#include <map>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "storage/file/page_codec.h"
#include "storage/file/page_pack.h"

namespace vm::storage {
namespace {

using fuzz::Check;
using fuzz::FuzzInput;

bool SamePage(const TreePage& a, const TreePage& b) {
  if (a.level != b.level || a.children != b.children || a.records.size() != b.records.size())
    return false;
  for (size_t i = 0; i < a.records.size(); ++i) {
    if (a.records[i].key != b.records[i].key || a.records[i].data != b.records[i].data)
      return false;
  }
  return true;
}

// A decoded page encodes to an image that decodes to the same page, in the
// region class its own size gives.
void ReencodeAndCompare(const TreePage& page, int32_t home) {
  std::string image;
  if (!EncodePage(home, page, &image).ok()) return;  // too large to store: refused, not damaged
  Check(image.size() % kUnit == 0 && image.size() <= kMaxPageBytes,
        "image padded to whole units within a class");
  Check(HomeOffsetOf(image) == 512 + kUnit * static_cast<uint32_t>(home), "home offset kept");
  const int cls = UnitsFor(StoredSizeOf(image));
  Check(static_cast<size_t>(cls) * kUnit == image.size(), "stored size gives the image's class");
  TreePage back;
  Check(DecodePage(image, cls, &back).ok(), "an encoded page decodes");
  Check(SamePage(page, back), "page round trip");
}

// Strictly rising records (keys unique, unsigned order) from the input.
std::vector<Record> RecordsFrom(FuzzInput& in, size_t max_bytes) {
  std::map<std::string, std::string> rows;
  size_t bytes = 0;
  while (!in.empty() && bytes < max_bytes) {
    std::string key(in.Short(64));
    std::string data(in.Short(255));
    // Repeat a byte now and then, so that the run-length path is taken.
    if (!data.empty() && (in.Byte() & 1)) data.append(in.Byte(), data.back());
    bytes += key.size() + data.size() + 5;
    rows[key] = data;
  }
  std::vector<Record> records;
  for (auto& [k, v] : rows) records.push_back({k, v});
  return records;
}

void DecodeImage(FuzzInput& in) {
  const int cls = in.Byte() % (kMaxClass + 1);
  const std::string_view image = in.Rest();
  TreePage page;
  if (!DecodePage(image, cls, &page).ok()) return;
  Check(cls == 0 || UnitsFor(StoredSizeOf(image)) == cls, "a decoded image fits its class");
  for (size_t i = 1; i < page.records.size(); ++i) {
    Check(page.records[i - 1].key < page.records[i].key, "decoded keys rise");
  }
  Check(page.leaf() || page.children.size() == page.records.size(), "one child per separator");
  ReencodeAndCompare(page, static_cast<int32_t>((HomeOffsetOf(image) >> 8) & 0x7FFFFF));
}

void RleRoundTrip(FuzzInput& in) {
  const std::string_view body = in.Rest();
  std::string packed;
  if (!RleEncode(body, &packed)) {
    Check(packed.empty(), "no runs: nothing written");
    return;
  }
  std::string back;
  Check(RleDecode(packed, body.size(), &back) == 0, "encoded body decodes");
  Check(back == body, "run-length round trip");
}

void RleDecodeRaw(FuzzInput& in) {
  const size_t length = in.U16();
  const std::string_view packed = in.Rest();
  std::string out = "prefix";
  const int rc = RleDecode(packed, length, &out);
  Check(rc == 0 || rc == kErrCopyOverrun || rc == kErrRepeatOverrun,
        "decode result is one of the three");
  if (rc == 0) Check(out.size() == 6 + length, "decoded exactly the unpacked length");
}

void UnpackRaw(FuzzInput& in) {
  const size_t count = in.U16() % 2048;
  std::vector<Record> records;
  if (!UnpackRecords(in.Rest(), count, &records)) return;
  Check(records.size() == count, "unpacked the count asked for");
  std::string body;
  PackRecords(records, &body);
  std::vector<Record> back;
  Check(UnpackRecords(body, count, &back), "repacked records unpack");
  for (size_t i = 0; i < count; ++i) {
    Check(back[i].key == records[i].key && back[i].data == records[i].data, "pack round trip");
  }
}

void BuiltPage(FuzzInput& in) {
  TreePage page;
  page.level = in.Byte() % 4;
  const int32_t home = in.U16();
  page.records = RecordsFrom(in, 3 * kMaxPageBytes / 2);
  if (!page.leaf()) {
    for (size_t i = 0; i < page.records.size(); ++i) {
      page.children.push_back(static_cast<int32_t>(in.U16() | in.Byte() << 16));
      page.records[i].data.clear();  // separators carry keys only
    }
  }
  std::string body;
  PackRecords(page.records, &body);
  std::vector<Record> back;
  Check(UnpackRecords(body, page.records.size(), &back), "packed records unpack");
  Check(back.size() == page.records.size(), "pack keeps the count");
  ReencodeAndCompare(page, home);
}

}  // namespace
}  // namespace vm::storage

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vm::fuzz::FuzzInput in(data, size);
  switch (in.Byte() % 5) {
    case 0:
      vm::storage::DecodeImage(in);
      break;
    case 1:
      vm::storage::RleRoundTrip(in);
      break;
    case 2:
      vm::storage::RleDecodeRaw(in);
      break;
    case 3:
      vm::storage::UnpackRaw(in);
      break;
    default:
      vm::storage::BuiltPage(in);
      break;
  }
  return 0;
}
