// Storage errors inside a pass: the stop message (Abort/Ignore) and what the
// next pass makes of a row that could not be added or whose outcome could
// not be written.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

#include "app/gateway_files.h"
#include "app/records.h"
#include "app/scanner.h"
#include "app/stop_message.h"
#include "app_test_support.h"
#include "framework/error_manager.h"
#include "platform/file.h"

namespace vm::app::testing {
namespace {

// Fails every write to the log file while `fail` is set.
class FailingWritesEnv : public platform::EnvWrapper {
 public:
  FailingWritesEnv() : EnvWrapper(platform::Env::Default()) {}
  platform::Result<std::unique_ptr<platform::File>> OpenFile(
      const std::string& path, platform::Access access, platform::Share share,
      platform::Disposition disposition) override {
    auto r = EnvWrapper::OpenFile(path, access, share, disposition);
    if (!r.ok() || path.find("PROCESSE") == std::string::npos) return r;
    return std::unique_ptr<platform::File>(new Failing(std::move(r.value()), &fail));
  }
  std::atomic<bool> fail{false};

 private:
  class Failing : public platform::FileWrapper {
   public:
    Failing(std::unique_ptr<platform::File> f, std::atomic<bool>* fail)
        : FileWrapper(std::move(f)), fail_(fail) {}
    platform::Status WriteAt(uint64_t offset, const void* buf, size_t n) override {
      if (*fail_) return platform::Status::Error(platform::Code::kIoError, "disk full", 28);
      return FileWrapper::WriteAt(offset, buf, n);
    }

   private:
    std::atomic<bool>* fail_;
  };
};

TEST(StopMessageTest, HeadlessAnswersIgnoreAndAbortEndsTheProgram) {
  auto sink = std::make_shared<platform::MemorySink>();
  platform::ScopedDiagSink scoped(sink);
  int aborted = 0;
  auto previous_abort = SetAbortHandler([&] { ++aborted; });
  auto previous = runtime::SetMessagePresenter(nullptr);
  StopMessage("Record Not Available");
  EXPECT_EQ(aborted, 0);
  ASSERT_FALSE(sink->Lines().empty());
  EXPECT_NE(sink->Lines().back().find("Stop"), std::string::npos) << sink->Lines().back();
  EXPECT_NE(sink->Lines().back().find("Record Not Available"), std::string::npos);

  auto scripted = std::make_shared<runtime::ScriptedPresenter>();
  scripted->QueueAnswer(runtime::kButtonAbort);
  runtime::SetMessagePresenter(scripted);
  StopMessage("File System Error");
  EXPECT_EQ(aborted, 1);
  ASSERT_EQ(scripted->requests().size(), 1u);
  EXPECT_EQ(scripted->requests()[0].caption, "Stop");
  EXPECT_EQ(scripted->requests()[0].buttons, runtime::kButtonAbort | runtime::kButtonIgnore);
  runtime::SetMessagePresenter(previous);
  SetAbortHandler(previous_abort);
}

class StorageErrorTest : public GatewayTest {
 protected:
  void SetUp() override {
    GatewayTest::SetUp();
    server_ = StartSinkWithSettings();
    ASSERT_NE(server_->port(), 0) << "aiosmtpd did not start";
    AddMailbox(101, "alice@example.com", "", "YES", "NO");
    MakeRecording(101, "a.wav", "x");
  }
  ScanReport PassWith(FailingWritesEnv* env, ScanOptions o) {
    GatewayFiles files(data_dir(), env);
    return send_mail(files, o);
  }
  std::unique_ptr<SmtpSink> server_;
};

TEST_F(StorageErrorTest, RowThatCouldNotBeAddedIsQueuedByTheNextPass) {
  FailingWritesEnv env;
  ScanOptions o = FastOptions();
  o.on_status = [&](const std::string& s) {
    if (s == "Scanning for new messages") env.fail = true;
  };
  const ScanReport first = PassWith(&env, o);
  EXPECT_TRUE(first.tables_opened);
  EXPECT_GT(first.storage_errors, 0);
  EXPECT_EQ(first.queued, 0);
  EXPECT_EQ(first.sent, 0);
  ASSERT_FALSE(presenter_->requests().empty());
  EXPECT_EQ(presenter_->requests()[0].caption, "Stop");

  env.fail = false;
  const ScanReport second = PassWith(&env, FastOptions());
  EXPECT_EQ(second.queued, 1);
  EXPECT_EQ(second.sent, 1);
  ASSERT_EQ(Log().size(), 1u);
  EXPECT_EQ(Log()[0].error, "Nil");
}

TEST_F(StorageErrorTest, RowWhoseOutcomeCouldNotBeWrittenIsSentAgain) {
  AddMailbox(102, "bob@example.com", "", "YES", "YES");
  MakeRecording(102, "b.wav", "y");
  FailingWritesEnv env;
  ScanOptions o = FastOptions();
  // The log's writes fail from the moment the first outcome stands: the
  // second message is sent, but its row cannot be written.
  o.on_sent = [&env] { env.fail = true; };
  const ScanReport first = PassWith(&env, o);
  EXPECT_EQ(first.queued, 2);
  EXPECT_EQ(first.sent, 2);
  EXPECT_GT(first.storage_errors, 0);
  env.fail = false;
  ASSERT_EQ(Log().size(), 2u);
  EXPECT_EQ(Log()[0].processed, 1);
  EXPECT_EQ(Log()[1].filename, "b.wav");
  EXPECT_EQ(Log()[1].processed, 0);

  const ScanReport second = PassWith(&env, FastOptions());
  EXPECT_EQ(second.queued, 0);
  EXPECT_EQ(second.sent, 1);
  EXPECT_EQ(Log()[1].processed, 1);
  EXPECT_EQ(server_->Messages(3).size(), 3u);
}

TEST_F(StorageErrorTest, LogThatCannotBeOpenedIsTheErrorManagersFileAccessError) {
  // Not a table file at all.
  std::ofstream(data_dir() + "/PROCESSE.KFS", std::ios::binary | std::ios::trunc)
      << std::string(4096, 'G');
  framework::ErrorManager errors;
  int exit_status = -1;
  errors.SetExitHandler([&](int status) { exit_status = status; });
  ScanOptions o = FastOptions();
  o.dispatch.errors = &errors;
  const ScanReport r = Pass(o);
  EXPECT_FALSE(r.tables_opened);
  EXPECT_EQ(r.sent, 0);
  EXPECT_EQ(exit_status, framework::ErrorManager::kFatalExitStatus);
  ASSERT_EQ(presenter_->requests().size(), 1u);
  EXPECT_EQ(presenter_->requests()[0].caption, "File Access Error");
  EXPECT_EQ(
      presenter_->requests()[0].text.rfind("File ProcessedFiles could not be opened.  Error: ", 0),
      0u)
      << presenter_->requests()[0].text;
}

}  // namespace
}  // namespace vm::app::testing
