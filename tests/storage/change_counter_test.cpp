// The header's change counter wraps: a reader's cache must notice a commit
// that carries the counter past 0x7FFFFFFF and past 0xFFFFFFFF, and the step
// past 0xFFFFFFFF must not land on 0, which means "nothing committed yet".
#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "page_file_fixture.h"
#include "storage/file/file_header.h"
#include "storage/tree/tree_file.h"

namespace vm::storage {
namespace {

using namespace vm::storage::testing;

// Rewrites the change counter of the (unenciphered) header on disk.
void SetCounter(const std::string& path, uint32_t counter) {
  std::FILE* fp = std::fopen(path.c_str(), "r+b");
  ASSERT_NE(fp, nullptr);
  std::string bytes(kHeaderSize, '\0');
  ASSERT_EQ(std::fread(bytes.data(), 1, bytes.size(), fp), bytes.size());
  FileHeader h;
  ASSERT_TRUE(FileHeader::Decode(bytes, &h));
  h.change_counter = counter;
  const std::string image = h.Encode();
  std::fseek(fp, 0, SEEK_SET);
  ASSERT_EQ(std::fwrite(image.data(), 1, image.size(), fp), image.size());
  std::fclose(fp);
}

std::string ValueOf(TreeFile* f, const std::string& key) {
  EXPECT_TRUE(f->Begin(false).ok());
  std::string data;
  bool found = false;
  EXPECT_TRUE(f->tree().Get(key, &data, &found).ok());
  f->EndRead();
  return found ? data : "<none>";
}

TEST(ChangeCounter, ReadersSeeCommitsAcrossEveryWrap) {
  for (uint32_t start : {0x7FFFFFFFu, 0xFFFFFFFEu}) {
    SCOPED_TRACE(start);
    TempFile tmp;
    {
      auto f = OpenFile(tmp.path());
      ASSERT_TRUE(Apply(f.get(), {{"k", "0"}}, {}).ok());
    }
    SetCounter(tmp.path(), start);
    auto reader = OpenFile(tmp.path());
    auto writer = OpenFile(tmp.path());
    EXPECT_EQ(ValueOf(reader.get(), "k"), "0");  // cached from here on
    for (int i = 1; i <= 3; ++i) {
      ASSERT_TRUE(Apply(writer.get(), {{"k", std::to_string(i)}}, {}).ok());
      EXPECT_EQ(ValueOf(reader.get(), "k"), std::to_string(i)) << "stale cache after commit " << i;
      ASSERT_TRUE(writer->Begin(false).ok());
      EXPECT_NE(writer->header().change_counter, 0u);
      writer->EndRead();
    }
    ASSERT_TRUE(writer->Begin(false).ok());
    // Each commit moves the counter twice (the new header, then its
    // finalizing); passing over 0 when it wraps.
    uint32_t expected = start;
    for (int i = 0; i < 6; ++i) expected = NextChange(expected);
    EXPECT_EQ(expected, start == 0xFFFFFFFEu ? 5u : 0x80000005u);
    EXPECT_EQ(writer->header().change_counter, expected);
    writer->EndRead();
  }
}

}  // namespace
}  // namespace vm::storage
