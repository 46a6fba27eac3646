// One open table file as the tree sees it: the header, a cache of decoded
// pages valid while the file's change counter stays the same, the commit that
// reaches the file through the journal, recovery of a pending journal, the
// reader/update/commit locks by which processes share the file, and the
// owner-password cipher. The tree kept in the pages belongs to the layer
// above: it derives from PageFile (TreeFile, tree_file.h) and answers the
// hooks below. Not thread-safe: one thread at a time, which for table
// handles is whoever holds its SharedFile's mutex (shared_file.h); other
// processes coordinate through the file's byte-range locks.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/file.h"
#include "storage/file/cipher.h"
#include "storage/file/file_header.h"
#include "storage/file/number_source.h"
#include "storage/file/page_cache.h"
#include "storage/file/regions.h"
#include "storage/file/result_codes.h"
#include "storage/file/tree_pages.h"

namespace vm::storage {

// Internal numbers of file access.
inline constexpr int kErrShortPageRead = 2172;
inline constexpr int kErrReadLength = 2272;
inline constexpr int kErrReadFailed = 2277;
inline constexpr int kErrWriteLength = 2286;

// Lock bytes, all above any data.
inline constexpr uint64_t kLockBase = 0x80000000ull;
inline constexpr uint64_t kReaderSlots = 1023;
inline constexpr uint64_t kUpdateLock = 0x800003FFull;
// Writers pass this byte on their way to the update byte (see LockUpdate).
inline constexpr uint64_t kUpdateTurnstile = 0x80000400ull;
inline constexpr uint64_t kTableRecordLockBase = 0x80000401ull;

// Expanded bytes of unchanged decoded pages a file keeps between operations.
inline constexpr size_t kCleanCacheBytes = 96u << 20;

class PageFile : public TreePages, public NumberSource, private PageMover {
 public:
  struct Options {
    platform::Access access = platform::Access::kReadWrite;
    platform::Share share = platform::Share::kDenyNone;
    bool create = false;   // create the file when it is missing
    std::string password;  // non-empty: the file is enciphered
    // Decides whether a pending journal whose transaction record names
    // (`transaction`, `control_file`) still belongs to an open transaction;
    // *pending true rolls the journal back. Unset: the journal stands.
    std::function<Status(uint32_t transaction, const std::string& control_file, bool* pending)>
        transaction_check;
  };

  ~PageFile() override;
  PageFile(const PageFile&) = delete;
  PageFile& operator=(const PageFile&) = delete;

  // Starts an operation: takes the reader slot or the update lock (files
  // shared with others), reads the header, resolves a pending journal.
  Status Begin(bool changing);
  // Writes the changes of the operation durably; ends the operation.
  Status Commit();
  // The same in two steps, for a commit that spans files: CommitToJournal
  // writes the changes to the journal and names it in the header (from then
  // on readers roll it forward unless the transaction check says otherwise);
  // FinishCommit copies it home; AbandonCommit drops it instead (when that
  // fails, the journal may still be named and the caller must keep whatever
  // makes the transaction check roll it back). Each ends the operation when
  // it fails; FinishCommit and AbandonCommit always do.
  Status CommitToJournal();
  Status FinishCommit();
  Status AbandonCommit();
  // Drops every uncommitted change; ends the operation.
  void Rollback();
  // Ends an operation that changed nothing (releases its locks).
  void EndRead();
  // Sets the budget of the cache of unchanged pages (dropping the least
  // recently used ones beyond it at once); returns the budget it replaces.
  size_t SetCleanCacheBudget(size_t bytes) { return clean_.SetBudget(bytes); }

  const FileHeader& header() const { return header_; }
  bool dirty() const;
  const std::string& path() const { return path_; }
  platform::File* file() { return file_.get(); }

  // Cuts the file at the end of its data as it is on disk (when no journal
  // is pending), under the update lock: its own, or the caller's changing
  // operation's when it has changed nothing yet.
  Status TruncateToData();

  // The offset no byte of the file may reach past (the 32-bit limit of the
  // format unless a test sets a smaller one): a commit that would grow the
  // data or its journal beyond it fails with Status::FileFull() before
  // writing anything.
  void set_size_limit(uint64_t bytes) { size_limit_ = bytes; }

  // TreePages.
  int32_t root() override { return header_.root; }
  void set_root(int32_t page) override;
  Status Load(int32_t page, std::shared_ptr<TreePage>* out) override;
  Status Changed(int32_t page, const std::shared_ptr<TreePage>& p) override;
  Status Allocate(const std::shared_ptr<TreePage>& p, int32_t* page) override;
  Status Free(int32_t page) override;
  bool updating() override { return changing_; }

  // NumberSource: the header's last-issued number.
  Status TakeNumber(uint32_t* number) override;
  // Raises the last-issued number to `number` when it is lower (a changing
  // operation; committed with it).
  void RaiseLastNumber(uint32_t number);

 protected:
  // Opens the file `path` for a PageFile; errors 2, 5 and 36 as the storage
  // layer reports them.
  static Status OpenFile(platform::Env* env, const std::string& path, const Options& options,
                         std::unique_ptr<platform::File>* out);
  PageFile(platform::Env* env, std::string path, std::unique_ptr<platform::File> file,
           const Options& options);

  // The tree kept in the pages. PageMoved: a page moved from `from` to `to`
  // (the root number or the parent's child pointer must follow; `page` is
  // the moved page). FindRecord: the data of the record with `key`, read
  // while recovery decides on a pending journal (the file is then in
  // reading mode).
  virtual Status PageMoved(int32_t from, int32_t to, const TreePage& page) = 0;
  virtual Status FindRecord(std::string_view key, std::string* data, bool* found) = 0;

 private:
  struct JournalEntry {
    uint64_t home;
    std::string image;
  };

  Status ReadAt(uint64_t offset, size_t length, std::string* out, size_t* got);
  Status WriteAt(uint64_t offset, std::string_view data);
  Status ReadHeader(bool changing);
  Status WalkJournal(const FileHeader& disk, bool* broken);
  Status JournalStands(bool* stands);
  Status RollForward();
  Status Finalize();
  Status SizingPass();
  Status MovePage(int32_t from, int32_t to) override;
  Status Relocate(const std::shared_ptr<TreePage>& page, int32_t number, int new_class);
  Status JournalEnd(uint64_t data_end_before, uint64_t* end) const;
  Status WriteChanges(uint64_t data_end_before, std::vector<JournalEntry>* journal);
  Status LockReaderSlot();
  Status LockUpdate();
  void ReleaseLocks();
  void EndCommit();
  void DropCache();
  void MarkDirty(int32_t page, const std::shared_ptr<TreePage>& p);
  void Forget(int32_t page);

  platform::Env* env_;
  std::string path_;
  std::unique_ptr<platform::File> file_;
  Options options_;
  std::optional<CipherKey> key_;
  bool shared_;  // others may write: every operation takes its locks
  uint64_t size_limit_ = kMaxFileBytes;

  FileHeader header_;       // as this handle sees it, with uncommitted changes
  FileHeader disk_header_;  // as last read from or written to offset 0
  bool have_header_ = false;
  bool header_dirty_ = false;
  // Decoded pages: those changed by the open operation apart from those read
  // unchanged, so that ending an operation or a commit costs what it changed,
  // not what the cache holds.
  CleanPageCache clean_{kCleanCacheBytes};
  std::map<int32_t, std::shared_ptr<TreePage>> dirty_;
  std::vector<int32_t> freed_;
  // While the sizing pass runs: the number each changed page has now.
  std::unordered_map<const TreePage*, int32_t>* numbers_ = nullptr;
  int32_t next_temp_ = -2;                 // -1 means "no tree", so temporaries start below it
  std::map<uint64_t, uint64_t> redirect_;  // home offset -> journal position

  std::vector<JournalEntry> journal_;  // pages of a commit to copy home
  bool commit_locked_ = false;
  bool in_operation_ = false;
  bool changing_ = false;
  std::optional<uint64_t> reader_slot_;
  bool update_locked_ = false;
};

}  // namespace vm::storage
