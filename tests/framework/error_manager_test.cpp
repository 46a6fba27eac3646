// The error manager: throw and take-error dispatch with the answers of each
// severity, the fatal end (in-process through the exit seam, and for real in
// a child process), unknown ids, the history, procedure names per thread, and
// the error log with injected failures.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "framework/error_manager.h"
#include "runtime/picture.h"

namespace vm::framework {
namespace {

using runtime::kButtonHelp;
using runtime::kButtonNo;
using runtime::kButtonOk;
using runtime::kButtonYes;
using runtime::MessageIcon;

// Installs a scripted presenter for one test.
class ScriptedMessages {
 public:
  ScriptedMessages() : presenter_(std::make_shared<runtime::ScriptedPresenter>()) {
    previous_ = runtime::SetMessagePresenter(presenter_);
  }
  ~ScriptedMessages() { runtime::SetMessagePresenter(previous_); }
  runtime::ScriptedPresenter& operator*() { return *presenter_; }
  runtime::ScriptedPresenter* operator->() { return presenter_.get(); }

 private:
  std::shared_ptr<runtime::ScriptedPresenter> presenter_;
  std::shared_ptr<runtime::MessagePresenter> previous_;
};

// A manager whose fatal end is counted instead of ending the test.
class TestManager : public ErrorManager {
 public:
  explicit TestManager(platform::Env* env = platform::Env::Default(),
                       const platform::Clock* clock = &platform::SystemClock())
      : ErrorManager(env, clock) {
    SetExitHandler([this](int status) {
      ++exits;
      exit_status = status;
    });
  }
  int exits = 0;
  int exit_status = 0;
};

const RuntimeError kDenied{5, "Access Denied", "13", "Permission denied"};

TEST(ErrorManager, TakeUserAnswersBenignForYesAndCancelForNo) {
  ScriptedMessages box;
  TestManager em;
  box->QueueAnswer(kButtonYes);
  box->QueueAnswer(kButtonNo);
  box->QueueAnswer(runtime::kButtonCancel);  // anything but Yes
  EXPECT_EQ(em.Throw(msg::kConfirmDelete), kLevelBenign);
  EXPECT_EQ(em.Throw(msg::kConfirmDelete), kLevelCancel);
  EXPECT_EQ(em.ThrowFile(msg::kEndOfFile, "Mailboxes"), kLevelCancel);
  const auto reqs = box->requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].caption, "Confirm Delete");
  EXPECT_EQ(reqs[0].text, "Are you sure you want to delete the highlighted record?");
  EXPECT_EQ(reqs[0].icon, MessageIcon::kExclamation);
  EXPECT_EQ(reqs[0].buttons, kButtonYes | kButtonNo);
  EXPECT_EQ(reqs[0].default_button, kButtonYes);
  EXPECT_EQ(reqs[2].text,
            "The end of the file Mailboxes was encountered. Do you want to start again from the "
            "beginning?");
  EXPECT_EQ(em.exits, 0);
}

TEST(ErrorManager, NotifyShowsOkAndCapturesTheErrorAtThrowTime) {
  ScriptedMessages box;
  TestManager em;
  EXPECT_EQ(em.ThrowFile(msg::kUpdateError, "ProcessedFiles", kDenied), kLevelNotify);
  em.SetField("MAI:Send_Voice_File");
  EXPECT_EQ(em.ThrowMessage(msg::kFieldNotInList, "'YES','NO'"), kLevelNotify);
  // A throw without error state shows code 0, not the previous error.
  EXPECT_EQ(em.ThrowFile(msg::kDeleteError, "Control"), kLevelNotify);
  const auto reqs = box->requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(reqs[0].caption, "Record was not updated");
  EXPECT_EQ(reqs[0].text,
            "An error (Access Denied (5)) was experienced when making changes to the "
            "ProcessedFiles file.");
  EXPECT_EQ(reqs[0].icon, MessageIcon::kInformation);
  EXPECT_EQ(reqs[0].buttons, kButtonOk);
  EXPECT_EQ(reqs[1].text, "The value of MAI:Send_Voice_File must be in the list : 'YES','NO'.");
  EXPECT_EQ(reqs[2].text,
            "An error ( (0)) was experienced when deleting a record from the Control file.");
}

TEST(ErrorManager, FatalProgramAndOtherSeveritiesEndTheProgram) {
  ScriptedMessages box;
  TestManager em;
  EXPECT_EQ(em.ThrowFile(msg::kOpenFailed, "Control", {90, "File System Error", "2", "Bad page"}),
            kLevelFatal);
  EXPECT_EQ(em.exits, 1);
  EXPECT_EQ(em.exit_status, ErrorManager::kFatalExitStatus);
  EXPECT_EQ(em.ThrowFile(msg::kUseClosedFile, "Mailboxes"), kLevelFatal);  // program severity
  em.AddErrors(
      std::vector<MessageRow>{{200, "odd %File", "Odd", 9, ""}, {201, "quiet", "Quiet", 0, ""}});
  EXPECT_EQ(em.Throw(200), kLevelFatal);  // unknown severity
  EXPECT_EQ(em.exits, 3);
  EXPECT_EQ(em.Throw(201), kLevelBenign);  // benign shows nothing
  const auto reqs = box->requests();
  ASSERT_EQ(reqs.size(), 3u);
  EXPECT_EQ(
      reqs[0].text,
      "File Control could not be opened.  Error: Bad page (2).  Press OK to end this application");
  EXPECT_EQ(reqs[0].icon, MessageIcon::kInformation);
  EXPECT_EQ(reqs[0].buttons, kButtonOk);
  EXPECT_EQ(
      reqs[1].text,
      "Attempt to use file (Mailboxes) before it was opened  Press OK to end this application");
  EXPECT_EQ(reqs[2].text, "odd Mailboxes  Press OK to end this application");
}

// Writes every message's text to a pipe, so the parent sees what the child showed.
class PipePresenter final : public runtime::MessagePresenter {
 public:
  explicit PipePresenter(int fd) : fd_(fd) {}
  uint32_t Present(const runtime::MessageRequest& r) override {
    const std::string line = r.caption + ": " + r.text + "\n";
    EXPECT_EQ(write(fd_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    return r.EffectiveDefault();
  }

 private:
  int fd_;
};

TEST(ErrorManager, TakeFatalEndsARealProcessAfterItsMessage) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(fds[0]);
    runtime::SetMessagePresenter(std::make_shared<PipePresenter>(fds[1]));
    ErrorManager em;
    em.ThrowFile(msg::kCreateError, "PROCESSE.KFS", kDenied);
    const char after[] = "still running\n";
    (void)!write(fds[1], after, sizeof after - 1);
    _exit(0);
  }
  close(fds[1]);
  std::string seen;
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) seen.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), ErrorManager::kFatalExitStatus);
  EXPECT_EQ(seen,
            "File Creation Error: Error: (Access Denied (5)) creating PROCESSE.KFS.  Press OK to "
            "end this "
            "application\n");
}

TEST(ErrorManager, UnknownIdGivesASensibleNotice) {
  ScriptedMessages box;
  TestManager em;
  EXPECT_EQ(em.Throw(29), kLevelNotify);
  EXPECT_EQ(em.Throw(65535), kLevelNotify);
  const auto reqs = box->requests();
  ASSERT_EQ(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].caption, "Unknown Error");
  EXPECT_EQ(reqs[0].text, "Error number 29 has no message.");
  EXPECT_EQ(reqs[1].text, "Error number 65535 has no message.");
  EXPECT_EQ(em.exits, 0);
  // A damaged block added later changes nothing.
  EXPECT_FALSE(em.AddErrors(std::vector<uint8_t>{5, 0, 1}).ok());
  EXPECT_TRUE(em.FindMessage(msg::kConfirmDelete).has_value());
}

TEST(ErrorManager, SilentShowsNothingAndAnswersTheDefault) {
  ScriptedMessages box;
  TestManager em;
  em.SetSilent(true);
  EXPECT_EQ(em.Throw(msg::kSaveRecord), kLevelBenign);  // default Yes
  EXPECT_EQ(em.Throw(msg::kNoRecords), kLevelNotify);
  EXPECT_TRUE(box->requests().empty());
}

TEST(ErrorHistory, ThresholdThreeKeepsTheNewestThree) {
  ScriptedMessages box;
  TestManager em;
  em.SetHistoryThreshold(3);
  em.SetHistoryViewLevel(kLevelFatal);  // notify messages still come as plain boxes
  for (int i = 1; i <= 5; ++i) em.ThrowMessage(msg::kSmtpError, "reply " + std::to_string(i));
  const auto h = em.History();
  ASSERT_EQ(h.size(), 3u);
  EXPECT_EQ(h[0].text, "The following SMTP Error occurred: reply 3 ");
  EXPECT_EQ(h[2].text, "The following SMTP Error occurred: reply 5 ");
  EXPECT_EQ(h[2].id, msg::kSmtpError);
  EXPECT_EQ(h[2].category, "General");
  EXPECT_EQ(box->requests().size(), 5u);
  // %Previous names the newest entry before this one.
  em.AddErrors(std::vector<MessageRow>{{300, "after: %Previous", "P", 5, "Mail"}});
  em.Throw(300);
  EXPECT_EQ(em.History().back().text, "after: The following SMTP Error occurred: reply 5 ");
  EXPECT_EQ(em.History().back().category, "Mail");
  // Lowering the threshold drops the oldest; 0 and below keep nothing.
  em.SetHistoryThreshold(1);
  ASSERT_EQ(em.History().size(), 1u);
  EXPECT_EQ(em.History()[0].id, 300);
  for (int32_t t : {0, -5}) {
    em.SetHistoryThreshold(t);
    em.Throw(msg::kNoRecords);
    EXPECT_TRUE(em.History().empty()) << t;
  }
  EXPECT_EQ(em.SubstitutedText(300), "after: %Previous");
}

// A headless service logs each message at a priority: an error when it ends
// the program (whatever icon the box shows), a warning otherwise, and the
// same when the history view carries the message.
TEST(ErrorManager, MessagesThatEndTheProgramAreLoggedAsErrors) {
  ScriptedMessages box;
  struct : TestManager {
    uint32_t HistoryMessage(const HistoryView& view) override {
      ++history_views;
      return TestManager::HistoryMessage(view);
    }
    int history_views = 0;
  } em;
  em.ThrowFile(msg::kOpenFailed, "Control", kDenied);  // fatal, shown with the information icon
  em.Throw(msg::kNoRecords);                           // notify
  box->QueueAnswer(kButtonNo);
  em.Throw(msg::kSaveRecord);  // the user decides
  em.SetHistoryThreshold(10);
  em.SetHistoryViewLevel(kLevelFatal);
  em.ThrowFile(msg::kOpenFailed, "Mailboxes", kDenied);  // through the history view
  EXPECT_EQ(em.history_views, 1);
  const auto reqs = box->requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[0].icon, MessageIcon::kInformation);
  EXPECT_EQ(reqs[0].LogPriority(), platform::DiagPriority::kError);
  EXPECT_EQ(reqs[1].LogPriority(), platform::DiagPriority::kWarning);
  EXPECT_EQ(reqs[2].LogPriority(), platform::DiagPriority::kWarning);
  EXPECT_EQ(reqs[3].LogPriority(), platform::DiagPriority::kError);
  EXPECT_EQ(em.exits, 2);
}

TEST(ErrorHistory, ViewLevelShowsTheHistoryAndResetsIt) {
  ScriptedMessages box;  // headless: the history window comes to the presenter
  TestManager em;
  em.SetHistoryThreshold(10);
  em.SetHistoryViewLevel(kLevelUser);
  em.SetHistoryResetOnView(true);
  em.Throw(msg::kNoRecords);
  EXPECT_EQ(em.History().size(), 1u);
  box->QueueAnswer(kButtonNo);
  EXPECT_EQ(em.Throw(msg::kSaveRecord), kLevelCancel);
  EXPECT_TRUE(em.History().empty());
  em.Throw(msg::kNoRecords);
  em.SetHistoryResetOnView(false);
  EXPECT_EQ(em.ViewHistory(), kButtonOk);
  const auto reqs = box->requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(reqs[1].caption, "Save Record");
  EXPECT_EQ(reqs[3].caption, "Errors History");
  EXPECT_EQ(reqs[3].buttons, kButtonOk | kButtonHelp);
  EXPECT_EQ(reqs[3].text, "There are no records available to process.");
  EXPECT_EQ(em.History().size(), 1u);
}

TEST(ProcedureNames, EachThreadSeesItsOwnNewestName) {
  ScriptedMessages box;
  TestManager em;
  em.AddErrors(std::vector<MessageRow>{{301, "in %Procedure", "Where", 5, ""}});
  EXPECT_EQ(em.SubstitutedText(301), "in %Procedure");
  em.SetProcedureName();  // pop without a push: nothing happens
  em.SetProcedureName("Main");
  std::atomic<int> wrong{0};
  auto worker = [&](const std::string& name) {
    for (int i = 0; i < 300; ++i) {
      em.SetProcedureName(name);
      em.SetProcedureName(name + "_inner");
      if (em.SubstitutedText(301) != "in " + name + "_inner") ++wrong;
      em.SetProcedureName();
      if (em.ProcedureName() != name) ++wrong;
      em.SetProcedureName();
    }
    if (em.ProcedureName().has_value()) ++wrong;
  };
  std::thread a(worker, "send_mail");
  std::thread b(worker, "mailboxes");
  a.join();
  b.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(em.SubstitutedText(301), "in Main");
  {
    ProcedureScope scope(em, "View_Log");
    EXPECT_EQ(em.SubstitutedText(301), "in View_Log");
  }
  EXPECT_EQ(em.ProcedureName(), "Main");
  em.SetProcedureName();
  EXPECT_FALSE(em.ProcedureName().has_value());
}

TEST(ErrorManager, ThrowsFromTwoThreadsNeverMixTheirValues) {
  ScriptedMessages box;
  TestManager em;
  em.AddErrors(std::vector<MessageRow>{{302, "%File/%Field/%Message/%ErrorCode", "Mix", 5, ""}});
  auto worker = [&](const std::string& tag, int32_t code) {
    for (int i = 0; i < 200; ++i) {
      em.ThrowValues(302, {tag, tag, tag, {code, "x", "0", ""}});
    }
  };
  std::thread a(worker, "a", 1);
  std::thread b(worker, "b", 2);
  a.join();
  b.join();
  const auto reqs = box->requests();
  ASSERT_EQ(reqs.size(), 400u);
  for (const auto& r : reqs) EXPECT_TRUE(r.text == "a/a/a/1" || r.text == "b/b/b/2") << r.text;
}

// ---- the error log

std::string TempDirPath() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "fwlogXXXXXX").string();
  EXPECT_NE(mkdtemp(tmpl.data()), nullptr);
  return tmpl;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

enum class FailAt { kNone, kOpen, kWrite, kClose };

class FailingFile final : public platform::FileWrapper {
 public:
  FailingFile(std::unique_ptr<platform::File> f, FailAt at) : FileWrapper(std::move(f)), at_(at) {}
  platform::Status WriteAt(uint64_t offset, const void* buf, size_t n) override {
    if (at_ == FailAt::kWrite)
      return platform::Status::Error(platform::Code::kIoError, "disk full", 28);
    return FileWrapper::WriteAt(offset, buf, n);
  }
  platform::Status Sync() override {
    if (at_ == FailAt::kClose)
      return platform::Status::Error(platform::Code::kIoError, "I/O error", 5);
    return FileWrapper::Sync();
  }

 private:
  FailAt at_;
};

class FailingEnv final : public platform::EnvWrapper {
 public:
  FailingEnv() : EnvWrapper(platform::Env::Default()) {}
  FailAt at = FailAt::kNone;
  platform::Result<std::unique_ptr<platform::File>> OpenFile(const std::string& path,
                                                             platform::Access access,
                                                             platform::Share share,
                                                             platform::Disposition d) override {
    if (at == FailAt::kOpen)
      return platform::Status::Error(platform::Code::kAccessDenied, "no write permission");
    auto f = EnvWrapper::OpenFile(path, access, share, d);
    if (!f.ok()) return f;
    return std::unique_ptr<platform::File>(std::make_unique<FailingFile>(std::move(*f), at));
  }
};

class ErrorLog : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_formats_ = runtime::CurrentLocaleFormats();
    runtime::SetLocaleFormats({"%d.%m.%Y", "%A %d %B %Y", "%H:%M", "%H:%M:%S"});
    dir_ = TempDirPath();
    clock_.Set({2026, 12, 8, 2, 16, 5, 9, 0}, 1796745909);
    em_.SetLogPath(dir_ + "/TarnError.Log");
    em_.SetLogErrors(true);
  }
  void TearDown() override {
    runtime::SetLocaleFormats(previous_formats_);
    std::filesystem::remove_all(dir_);
  }

  platform::LocaleFormats previous_formats_;
  std::string dir_;
  platform::ManualClock clock_;
  FailingEnv env_;
  ScriptedMessages box_;
  TestManager em_{&env_, &clock_};
};

TEST_F(ErrorLog, AppendsOneDatedLinePerError) {
  em_.ThrowFile(msg::kUpdateError, "Mailboxes", kDenied);
  clock_.AdvanceMilliseconds(61000);
  em_.Throw(msg::kNoRecords);
  EXPECT_EQ(ReadAll(dir_ + "/TarnError.Log"),
            "08.12.2026@16:05:09 --> An error (Access Denied (5)) was experienced when making "
            "changes to the "
            "Mailboxes file.\n"
            "08.12.2026@16:06:10 --> There are no records available to process.\n");
  em_.SetLogErrors(false);
  em_.Throw(msg::kNoRecords);
  const std::string after = ReadAll(dir_ + "/TarnError.Log");
  EXPECT_EQ(std::count(after.begin(), after.end(), '\n'), 2);
  // The log's own default place is the working directory.
  EXPECT_EQ(ErrorManager::kLogFileName, "TarnError.Log");
}

TEST_F(ErrorLog, FailuresAreAddedToTheMessageAndProcessingGoesOn) {
  const std::pair<FailAt, const char*> cases[] = {
      {FailAt::kOpen, "Unable to Open error log; Access Denied (5)"},
      {FailAt::kWrite, "Unable to update error log; File System Error (90)"},
      {FailAt::kClose, "Unable to close error log; File System Error (90)"},
  };
  for (const auto& [at, added] : cases) {
    env_.at = at;
    box_->QueueAnswer(kButtonYes);
    EXPECT_EQ(em_.Throw(msg::kSaveRecord), kLevelBenign);
    EXPECT_EQ(box_->requests().back().text,
              std::string("Do you want to save the changes to this record?|") + added);
  }
  env_.at = FailAt::kNone;
  em_.Throw(msg::kNoRecords);
  // Only the close failure's line (written, not flushed) and the last one reached the file.
  EXPECT_EQ(ReadAll(dir_ + "/TarnError.Log"),
            "08.12.2026@16:05:09 --> Do you want to save the changes to this record?\n"
            "08.12.2026@16:05:09 --> There are no records available to process.\n");
  EXPECT_EQ(em_.exits, 0);
}

}  // namespace
}  // namespace vm::framework
