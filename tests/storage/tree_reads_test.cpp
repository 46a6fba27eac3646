// Reads of the record tree right between changes: the tree answers reads on
// the leaf it last reached, so every read here follows a change (an insert
// that splits, a delete that frees, a page renumbered) of that very leaf or
// its neighbours; and rows stepped to together with their content.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "storage/table/record_keys.h"
#include "storage/table/tables.h"
#include "storage/tree/tree.h"
#include "tree_memory_pages.h"

namespace vm::storage {
namespace {

// What Get, Seek, Next and Prev must give for `key` according to `model`.
void ExpectReadsMatch(RecordTree& tree, const std::map<std::string, std::string>& model,
                      const std::string& key) {
  std::string data;
  bool found = false;
  ASSERT_TRUE(tree.Get(key, &data, &found).ok());
  auto it = model.find(key);
  ASSERT_EQ(found, it != model.end()) << key;
  if (found) {
    ASSERT_EQ(data, it->second) << key;
  }

  Record r;
  auto lower = model.lower_bound(key);
  ASSERT_TRUE(tree.Seek(key, &r, &found).ok());
  ASSERT_EQ(found, lower != model.end()) << key;
  if (found) {
    ASSERT_EQ(r.key, lower->first) << key;
  }

  auto upper = model.upper_bound(key);
  ASSERT_TRUE(tree.Next(key, &r, &found).ok());
  ASSERT_EQ(found, upper != model.end()) << key;
  if (found) {
    ASSERT_EQ(r.key, upper->first) << key;
    ASSERT_EQ(r.data, upper->second) << key;
  }

  ASSERT_TRUE(tree.Prev(key, &r, &found).ok());
  ASSERT_EQ(found, lower != model.begin()) << key;
  if (found) {
    ASSERT_EQ(r.key, std::prev(lower)->first) << key;
  }
}

TEST(TreeReadsTest, EveryReadAfterAChangeMatchesAModel) {
  MemoryTreePages pages;  // unpacked: loading a number gives the same page object
  RecordTree tree(&pages);
  std::map<std::string, std::string> model = {{"", ""}};
  ASSERT_TRUE(tree.EnsureRoot().ok());
  std::mt19937 rng(11);
  auto nearby = [&] { return "k" + std::to_string(rng() % 400); };
  int32_t moved_to = 100000;
  for (int i = 0; i < 6000; ++i) {
    const std::string k = nearby();
    const int op = static_cast<int>(rng() % 10);
    bool found = false;
    if (op < 5) {
      std::string v(rng() % (rng() % 6 == 0 ? 2500 : 80), static_cast<char>('a' + i % 26));
      ASSERT_TRUE(tree.Put(k, v).ok());
      model[k] = v;
    } else if (op < 9) {
      ASSERT_TRUE(tree.Delete(k, &found).ok());
      ASSERT_EQ(found, model.erase(k) == 1);
    } else {
      // Renumber a random page as the file layer does when it squeezes.
      auto it = pages.pages().begin();
      std::advance(it, static_cast<long>(rng() % pages.pages().size()));
      const int32_t from = it->first;
      const TreePage copy = *it->second;
      pages.Move(from, moved_to);
      ASSERT_TRUE(tree.PageMoved(from, moved_to++, copy).ok());
    }
    ExpectReadsMatch(tree, model, k);
    ExpectReadsMatch(tree, model, nearby());
    if (HasFatalFailure()) return;
  }
  EXPECT_TRUE(tree.Verify().ok());
  EXPECT_GE(pages.page(pages.root())->level, 1);
}

TEST(TreeReadsTest, StepRowGivesWhatNextRowAndReadRowGive) {
  MemoryTreePages pages;
  RecordTree tree(&pages);
  MemoryNumbers numbers;
  TableDef def;
  def.record_length = 600;
  def.fields = {MakeField("T:NAME", kTypeString, 0, 8)};
  StoredTable t(&tree, &numbers);
  ASSERT_TRUE(t.Create("T", def, Collation::BuiltIn(), true).ok());  // OEM: text is converted
  std::vector<uint32_t> rows;
  for (int i = 0; i < 80; ++i) {
    std::string row(600, static_cast<char>(i));
    row.replace(0, 8, "\xE9t\xE9-" + std::to_string(1000 + i));
    uint32_t rn = 0;
    ASSERT_TRUE(t.Add(row, nullptr, false, &rn).ok());
    rows.push_back(rn);
  }
  for (size_t i = 0; i < rows.size(); i += 3) ASSERT_TRUE(t.Delete(rows[i]).ok());
  for (bool forward : {true, false}) {
    uint32_t at = forward ? 0 : 0xFFFFFFFFu;
    int seen = 0;
    while (true) {
      uint32_t want = 0, got = 0;
      bool want_found = false, found = false;
      ASSERT_TRUE(
          (forward ? t.NextRow(at, &want, &want_found) : t.PrevRow(at, &want, &want_found)).ok());
      std::string row;
      ASSERT_TRUE(t.StepRow(at, forward, &got, &row, &found).ok());
      ASSERT_EQ(found, want_found);
      if (!found) break;
      ASSERT_EQ(got, want);
      std::string read;
      ASSERT_TRUE(t.ReadRow(got, &read, &found).ok());
      ASSERT_TRUE(found);
      ASSERT_EQ(row, read);
      EXPECT_EQ(row.substr(0, 4), "\xE9t\xE9-");
      at = got;
      ++seen;
    }
    EXPECT_EQ(seen, 53);
  }
}

}  // namespace
}  // namespace vm::storage
