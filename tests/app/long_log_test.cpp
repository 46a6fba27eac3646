// A pass over a long log reads only the rows that wait, not the whole log:
// counted in bytes read from the log file, not in time.
#include <gtest/gtest.h>

#include <atomic>

#include "app/gateway_files.h"
#include "app/records.h"
#include "app/scanner.h"
#include "app_test_support.h"
#include "platform/file.h"

namespace vm::app::testing {
namespace {

// Counts the bytes read from files whose path holds "PROCESSE".
class CountingEnv : public platform::EnvWrapper {
 public:
  CountingEnv() : EnvWrapper(platform::Env::Default()) {}
  platform::Result<std::unique_ptr<platform::File>> OpenFile(const std::string& path, platform::Access access,
                                                             platform::Share share,
                                                             platform::Disposition disposition) override {
    auto r = EnvWrapper::OpenFile(path, access, share, disposition);
    if (!r.ok() || path.find("PROCESSE") == std::string::npos) return r;
    return std::unique_ptr<platform::File>(new Counting(std::move(r.value()), &bytes));
  }
  std::atomic<uint64_t> bytes{0};

 private:
  class Counting : public platform::FileWrapper {
   public:
    Counting(std::unique_ptr<platform::File> f, std::atomic<uint64_t>* bytes)
        : FileWrapper(std::move(f)), bytes_(bytes) {}
    platform::Status ReadAt(uint64_t offset, void* buf, size_t n, size_t* got) override {
      platform::Status s = FileWrapper::ReadAt(offset, buf, n, got);
      *bytes_ += *got;
      return s;
    }

   private:
    std::atomic<uint64_t>* bytes_;
  };
};

class LongLogTest : public GatewayTest {};

TEST_F(LongLogTest, PassReadsTheWaitingRowsNotTheLog) {
  WriteSettings(ClosedPort());
  constexpr int kRows = 20000;
  {
    GatewayFiles files(data_dir());
    OpenTable open(files, Table::kProcessedFiles);
    ASSERT_EQ(open.code(), 0);
    ASSERT_EQ(files.processed().Logout(), 0);
    for (int i = 0; i < kRows + 3; ++i) {
      ProcessedRow r;
      r.filename = "msg" + std::to_string(i) + ".wav";
      r.processed = i < kRows ? 1 : 0;
      r.error = i < kRows ? "Nil" : "0";
      r.mailbox = 101;
      r.email_address = "alice@example.com";
      r.send_attachment = "NO";
      WriteProcessed(r, &files.processed().buffer());
      ASSERT_EQ(files.processed().Add(), 0);
    }
    ASSERT_EQ(storage::DeclaredTable::CommitTransaction(), 0);
  }

  CountingEnv pass_env;
  ScanReport report;
  {
    GatewayFiles files(data_dir(), &pass_env);
    report = send_mail(files, FastOptions());
  }
  EXPECT_EQ(report.failed, 3) << "the three waiting rows were not all sent";

  CountingEnv full_env;
  {
    GatewayFiles files(data_dir(), &full_env);
    OpenTable open(files, Table::kProcessedFiles);
    ASSERT_EQ(open.code(), 0);
    int waiting = 0;
    files.processed().Set();
    while (files.processed().Next() == 0) waiting += ReadProcessed(files.processed().buffer()).processed != 1;
    EXPECT_EQ(waiting, 0);
  }
  EXPECT_LT(pass_env.bytes.load() * 20, full_env.bytes.load())
      << "the pass read " << pass_env.bytes << " bytes of the log, a full read " << full_env.bytes;
}

}  // namespace
}  // namespace vm::app::testing
