// Model-based test of table rows: random adds, changes and deletes on a table
// with a unique case-insensitive key, a key with duplicates and a memo, checked
// against an in-memory model after every batch; the file is closed and opened
// again between batches.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>

#include "storage/page_file_fixture.h"
#include "storage/table/record_keys.h"
#include "storage/table/tables.h"
#include "storage/tree/tree_file.h"
#include "tree_memory_pages.h"

namespace vm::storage {
namespace {

// The sanitizer build runs these many times slower: a quarter of the
// operations there, still across several batches, repacks and reopenings.
#if defined(VM_SANITIZER_BUILD)
constexpr int kOperations = 25000;
#else
constexpr int kOperations = 100000;
#endif
constexpr int kBatch = 5000;
constexpr size_t kNameWidth = 12;
constexpr uint16_t kMemoSize = 300;

using testing::TempDir;

struct ModelRow {
  std::string name;  // without padding
  int32_t group = 0;
  std::string memo;  // without trailing blanks
};

TableDef ModelDef() {
  TableDef def;
  def.record_length = kNameWidth + 4 + 8;
  def.fields = {MakeField("M:NAME", kTypeString, 0, kNameWidth),
                MakeField("M:GROUP", kTypeLong, kNameWidth, 4),
                MakeField("M:PAD", kTypeString, kNameWidth + 4, 8)};
  def.memos = {MemoDef{"", "M:NOTES", kMemoSize, 0}};
  def.keys = {MakeKey("M:NAMEKEY", kKeyNoCase, {{0, 0}}),
              MakeKey("M:GROUPKEY", kKeyDuplicates, {{1, 0}})};
  return def;
}

std::string RowImage(const ModelRow& m) {
  std::string row(kNameWidth + 12, ' ');
  row.replace(0, m.name.size(), m.name);
  std::memcpy(row.data() + kNameWidth, &m.group, 4);
  return row;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// Stands in for the file between batches: every page is packed into bytes
// and the next "open" decodes them into a fresh page store.
struct StoredFile {
  struct Page {
    uint8_t level;
    std::vector<int32_t> children;
    size_t count;
    std::string body;
  };
  std::map<int32_t, Page> pages;
  int32_t root = -1;
  uint8_t counter[4] = {0, 0, 0, 0};

  void Save(MemoryTreePages& mem, const MemoryNumbers& numbers) {
    pages.clear();
    for (auto& [n, p] : mem.pages()) {
      Page st{p->level, p->children, p->records.size(), {}};
      PackRecords(p->records, &st.body);
      pages[n] = std::move(st);
    }
    root = mem.root();
    std::memcpy(counter, numbers.counter, 4);
  }
  bool Load(MemoryTreePages* mem, MemoryNumbers* numbers) {
    for (auto& [n, st] : pages) {
      auto p = std::make_shared<TreePage>();
      p->level = st.level;
      p->children = st.children;
      if (!UnpackRecords(st.body, st.count, &p->records)) return false;
      mem->Adopt(n, p);
    }
    mem->set_root(root);
    std::memcpy(numbers->counter, counter, 4);
    return true;
  }
};

class ModelTest : public ::testing::Test {
 protected:
  // Closes the table and its file and opens both again; `create` makes them.
  void Reopen(bool create) {
    table_.reset();
    if (on_disk_) {
      if (disk_) {
        ASSERT_TRUE(disk_->Commit().ok());
        disk_.reset();
      }
      TreeFile::Options options;
      options.create = create;
      ASSERT_TRUE(
          TreeFile::Open(platform::Env::Default(), dir_.path() + "/MODEL.KFS", options, &disk_)
              .ok());
      ASSERT_TRUE(disk_->Begin(true).ok());
      tree_ = &disk_->tree();
      table_ = std::make_unique<StoredTable>(tree_, disk_.get());
    } else {
      if (pages_) file_.Save(*pages_, *numbers_);
      mem_tree_.reset();
      pages_ = std::make_unique<MemoryTreePages>();
      numbers_ = std::make_unique<MemoryNumbers>();
      ASSERT_TRUE(file_.Load(pages_.get(), numbers_.get()));
      mem_tree_ = std::make_unique<RecordTree>(pages_.get());
      tree_ = mem_tree_.get();
      table_ = std::make_unique<StoredTable>(tree_, numbers_.get());
    }
    const TableDef def = ModelDef();
    if (create) {
      ASSERT_TRUE(table_->Create("Model", def, Collation::BuiltIn(), false).ok());
    } else {
      ASSERT_TRUE(table_->Open("MODEL", &def).ok());
    }
  }

  bool NameTaken(const std::string& name, uint32_t except) const {
    for (const auto& [rn, m] : model_)
      if (rn != except && Upper(m.name) == Upper(name)) return true;
    return false;
  }

  std::vector<uint32_t> KeyOrder(uint8_t key) {
    std::vector<uint32_t> out;
    const std::string prefix = KeyPrefix(table_->number(), key);
    Record r;
    bool found = false;
    EXPECT_TRUE(tree_->Seek(prefix, &r, &found).ok());
    while (found && r.key.compare(0, prefix.size(), prefix) == 0) {
      out.push_back(EntryRecordNumber(r.key, r.data));
      std::string k = r.key;
      EXPECT_TRUE(tree_->Next(k, &r, &found).ok());
    }
    return out;
  }

  void CheckAgainstModel() {
    ASSERT_TRUE(tree_->Verify().ok());
    std::vector<std::pair<std::string, uint32_t>> by_name;
    std::vector<std::pair<int32_t, uint32_t>> by_group;
    for (const auto& [rn, m] : model_) {
      // Names are letters and digits: the collation orders their upper-case
      // forms as plain ASCII does, blanks first.
      by_name.emplace_back(Upper(m.name), rn);
      by_group.emplace_back(m.group, rn);
    }
    std::sort(by_name.begin(), by_name.end());
    std::sort(by_group.begin(), by_group.end());
    std::vector<uint32_t> want_name, want_group, want_file;
    for (auto& e : by_name) want_name.push_back(e.second);
    for (auto& e : by_group) want_group.push_back(e.second);
    for (auto& e : model_) want_file.push_back(e.first);
    ASSERT_EQ(KeyOrder(0), want_name);
    ASSERT_EQ(KeyOrder(1), want_group);
    // The same orders walked through the table, forwards and backwards.
    for (uint8_t key : {0, 1}) {
      const std::vector<uint32_t>& want = key == 0 ? want_name : want_group;
      std::vector<uint32_t> fwd, back;
      std::string entry;
      uint32_t number = 0;
      bool more = false;
      ASSERT_TRUE(table_->StepKey(key, "", true, &entry, &number, &more).ok());
      while (more) {
        fwd.push_back(number);
        std::string from = entry;
        ASSERT_TRUE(table_->StepKey(key, from, true, &entry, &number, &more).ok());
      }
      ASSERT_TRUE(table_->StepKey(key, "", false, &entry, &number, &more).ok());
      while (more) {
        back.push_back(number);
        std::string from = entry;
        ASSERT_TRUE(table_->StepKey(key, from, false, &entry, &number, &more).ok());
      }
      ASSERT_EQ(fwd, want);
      ASSERT_EQ(back, std::vector<uint32_t>(want.rbegin(), want.rend()));
    }

    std::vector<uint32_t> file_order;
    uint32_t rn = 0;
    bool found = true;
    while (true) {
      ASSERT_TRUE(table_->NextRow(rn, &rn, &found).ok());
      if (!found) break;
      file_order.push_back(rn);
    }
    ASSERT_EQ(file_order, want_file);
    std::vector<uint32_t> backwards;
    rn = 0xFFFFFFFFu;
    while (true) {
      ASSERT_TRUE(table_->PrevRow(rn, &rn, &found).ok());
      if (!found) break;
      backwards.push_back(rn);
    }
    ASSERT_EQ(backwards, std::vector<uint32_t>(want_file.rbegin(), want_file.rend()));

    for (const auto& [number, m] : model_) {
      std::string row, memo;
      ASSERT_TRUE(table_->ReadRow(number, &row, &found).ok());
      ASSERT_TRUE(found);
      ASSERT_EQ(row, RowImage(m));
      ASSERT_TRUE(table_->ReadMemo(number, 0, &memo).ok());
      ASSERT_EQ(memo, m.memo + std::string(kMemoSize - m.memo.size(), ' '));
    }
    TableStats st;
    ASSERT_TRUE(table_->ReadStats(kStatsTable, &st).ok());
    ASSERT_EQ(st.count, model_.size());
    ASSERT_TRUE(table_->ReadStats(0, &st).ok());
    ASSERT_EQ(st.count, model_.size());
  }

  ModelRow RandomRow() {
    static const char kChars[] = "aAbBcC0123";
    ModelRow m;
    size_t len = 1 + rng_() % 4;
    for (size_t i = 0; i < len; ++i) m.name.push_back(kChars[rng_() % 10]);
    m.group = static_cast<int32_t>(rng_() % 21) - 10;
    size_t memo_len = rng_() % 3 == 0 ? 0 : rng_() % kMemoSize;
    m.memo.assign(memo_len, static_cast<char>('a' + rng_() % 26));
    if (memo_len > 2) m.memo[memo_len / 2] = ' ';
    return m;
  }

  uint32_t RandomRowNumber() {
    auto it = model_.begin();
    std::advance(it, static_cast<long>(rng_() % model_.size()));
    return it->first;
  }

  StoredFile file_;
  void Run(int operations);

  bool on_disk_ = false;
  TempDir dir_;
  std::unique_ptr<TreeFile> disk_;
  std::unique_ptr<MemoryTreePages> pages_;
  std::unique_ptr<MemoryNumbers> numbers_;
  std::unique_ptr<RecordTree> mem_tree_;
  RecordTree* tree_ = nullptr;
  std::unique_ptr<StoredTable> table_;
  std::map<uint32_t, ModelRow> model_;
  std::mt19937 rng_{20261208};
};

void ModelTest::Run(int operations) {
  ASSERT_NO_FATAL_FAILURE(Reopen(true));
  int duplicates = 0;
  for (int done = 0; done < operations; done += kBatch) {
    for (int i = 0; i < kBatch; ++i) {
      const unsigned roll = rng_() % 100;
      const bool full = model_.size() > 1500;
      if (model_.empty() || roll < (full ? 30u : 45u)) {
        ModelRow m = RandomRow();
        std::vector<std::string> memos = {m.memo + "   "};
        uint32_t rn = 0;
        Status s = table_->Add(RowImage(m), &memos, false, &rn);
        if (NameTaken(m.name, 0)) {
          ASSERT_EQ(s.code(), kErrDuplicateKey);
          ++duplicates;
        } else {
          ASSERT_TRUE(s.ok()) << s.internal();
          model_[rn] = m;
        }
      } else if (roll < 80) {
        uint32_t rn = RandomRowNumber();
        ModelRow m = RandomRow();
        if (rng_() % 2) m.name = model_[rn].name;  // often only the group or memo changes
        std::vector<std::string> memos = {m.memo};
        Status s = table_->Change(rn, RowImage(m), &memos);
        if (NameTaken(m.name, rn)) {
          ASSERT_EQ(s.code(), kErrDuplicateKey);
          ++duplicates;
        } else {
          ASSERT_TRUE(s.ok()) << s.internal();
          model_[rn] = m;
        }
      } else {
        uint32_t rn = RandomRowNumber();
        ASSERT_TRUE(table_->Delete(rn).ok());
        model_.erase(rn);
      }
    }
    ASSERT_NO_FATAL_FAILURE(CheckAgainstModel()) << "after " << done + kBatch;
    ASSERT_NO_FATAL_FAILURE(Reopen(false));
    ASSERT_NO_FATAL_FAILURE(CheckAgainstModel()) << "reopened after " << done + kBatch;
  }
  EXPECT_GT(duplicates, operations / 100);
  EXPECT_GT(model_.size(), 100u);
}

// Every page packed and decoded again between batches.
TEST_F(ModelTest, RandomOperationsMatchTheModelAcrossRepacking) {
  Run(kOperations / 5);
}

// The real file: each batch is committed, the file closed and opened again.
TEST_F(ModelTest, RandomOperationsMatchTheModelAcrossReopeningTheFile) {
  on_disk_ = true;
  Run(kOperations);
  ASSERT_TRUE(disk_->Commit().ok());
}

}  // namespace
}  // namespace vm::storage
