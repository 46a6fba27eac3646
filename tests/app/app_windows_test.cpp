// The windows of the frame's menu, driven without a renderer: the log browse
// (columns, pictures, record order, nothing to change) and the settings form
// (change mode on the one record, OK writes it back, Cancel asks nothing).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include "app/frame.h"
#include "app/gateway_relations.h"
#include "app/log_viewer.h"
#include "app/mailbox_windows.h"
#include "app/settings_form.h"
#include "app/value_rules.h"
#include "app_test_support.h"
#include "framework/file_errors.h"
#include "runtime/date_time.h"
#include "runtime/event.h"

namespace vm::app::testing {
namespace {

class Silent final : public framework::FileErrors {
 public:
  framework::Level Throw(int id, const framework::MessageValues& values) override {
    ids.push_back(id);
    fields.push_back(values.field);
    return framework::kLevelBenign;
  }
  std::vector<int> ids;
  std::vector<std::string> fields;
};

class AppWindowsTest : public GatewayTest {
 protected:
  void Accept(runtime::Window& w, const std::string& use) {
    w.model()->UserAccepted(w.control(use).number());
  }
  // Counts Control records and returns the first one.
  int Settings(ControlRow* first) {
    GatewayFiles files(data_dir());
    OpenTable open(files, Table::kControl);
    auto& con = files.control();
    int n = 0;
    for (bool ok = con.Set() == 0 && con.Next() == 0; ok; ok = con.Next() == 0) {
      if (n++ == 0) *first = ReadControl(con.buffer());
    }
    return n;
  }
  Silent errors_;
};

TEST_F(AppWindowsTest, LogShowsQueuedRowsInRecordOrderWithTheirPictures) {
  ProcessedRow waiting;
  waiting.filename = "b.wav";
  waiting.date = runtime::DayFromDate(2026, 7, 5);
  waiting.time = runtime::TimeFrom(9, 5);
  waiting.error = "0";
  waiting.mailbox = 7;
  waiting.email_address = "seven@example.com";
  ProcessedRow failed = waiting;
  failed.filename = "a.wav";
  failed.date = runtime::DayFromDate(2026, 12, 25);
  failed.time = runtime::TimeFrom(23, 59);
  failed.processed = 1;
  failed.error = "Connection refused";
  failed.error_code = -2;
  failed.mailbox = 0;
  failed.email_address = "x@example.com";
  AddRow(waiting);
  AddRow(failed);
  GatewayRelations relations(data_dir(), &errors_);
  runtime::Window window("Browse Records");
  LogBrowser browser(&window, &relations);
  ASSERT_EQ(browser.list().Open(), 0);

  std::vector<std::string> headers;
  for (const auto& c : browser.list().columns()) headers.push_back(c.header);
  EXPECT_EQ(headers,
            (std::vector<std::string>{"Date", "Time", "MailBox", "Email", "Error Code", "Error"}));
  ASSERT_EQ(browser.list().rows().size(), 2u);
  // Queued first comes first, whatever the file names' order.
  std::vector<std::string> first = browser.list().DisplayRow(0);
  EXPECT_EQ(first[0], " 5/07/26");
  EXPECT_EQ(first[1], " 9:05");
  EXPECT_EQ(first[2], "  7");
  EXPECT_EQ(first[3], "seven@example.com");
  EXPECT_EQ(first[4], "      0");
  EXPECT_EQ(first[5], "0");
  std::vector<std::string> second = browser.list().DisplayRow(1);
  EXPECT_EQ(second[0], "25/12/26");
  EXPECT_EQ(second[1], "23:59");
  EXPECT_EQ(second[2], "   ");  // mailbox 0 shows blank
  EXPECT_EQ(second[4], "     -2");

  // The log is read only: Delete is there and does nothing.
  EXPECT_FALSE(window.control("?INSERT").visible());
  EXPECT_FALSE(window.control("?CHANGE").visible());
  EXPECT_TRUE(window.control("?DELETE").visible());
  EXPECT_FALSE(window.control("?SELECT").visible());
  browser.list().HandleEvent(
      runtime::EventFromNumber(runtime::kEventAccepted, window.control("?DELETE").number()));
  browser.list().Reload();
  EXPECT_EQ(browser.list().rows().size(), 2u);
  EXPECT_EQ(Log().size(), 2u);
}

TEST_F(AppWindowsTest, ResendPutsTheSelectedRowBackAndAsksFirstForASentOne) {
  AddMailbox(7, "now@example.com", "copy@example.com", "YES", "YES");
  ProcessedRow failed;
  failed.filename = "a.wav";
  failed.date = runtime::DayFromDate(2026, 7, 5);
  failed.time = runtime::TimeFrom(9, 5);
  failed.mailbox = 7;
  failed.email_address = "then@example.com";
  failed.processed = 1;
  failed.error_code = 550;
  failed.error = "550 no such user";
  ProcessedRow sent = failed;
  sent.filename = "b.wav";
  sent.error_code = 0;
  sent.error = "Nil";
  AddRow(failed);
  AddRow(sent);
  GatewayRelations relations(data_dir(), &errors_);
  runtime::Window window("Browse Records");
  LogBrowser browser(&window, &relations, data_dir());
  ASSERT_EQ(browser.list().Open(), 0);
  const auto press = [&] {
    browser.HandleEvent(
        runtime::EventFromNumber(runtime::kEventAccepted, window.control("?RESEND").number()));
  };
  ASSERT_TRUE(window.control("?RESEND").visible());

  browser.list().SetCurrent(0);
  press();
  EXPECT_TRUE(presenter_->requests().empty()) << "a failed row is resent without a question";
  auto log = Log();
  EXPECT_EQ(log[0].processed, 0);
  EXPECT_EQ(log[0].error, "0");
  EXPECT_EQ(log[0].email_address, "now@example.com");
  EXPECT_EQ(log[0].cc_email_address, "copy@example.com");
  EXPECT_EQ(browser.list().DisplayRow(0)[5], "0") << "the list shows the row as it is now";

  // A sent row: the question comes first; No leaves it, Yes resends it.
  browser.list().SetCurrent(1);
  presenter_->QueueAnswer(runtime::kButtonNo);
  press();
  ASSERT_EQ(presenter_->requests().size(), 1u);
  EXPECT_NE(presenter_->requests()[0].text.find("was sent"), std::string::npos);
  EXPECT_EQ(Log()[1].processed, 1);
  presenter_->QueueAnswer(runtime::kButtonYes);
  press();
  EXPECT_EQ(presenter_->requests().size(), 2u);
  log = Log();
  EXPECT_EQ(log[1].processed, 0);
  EXPECT_EQ(log[1].email_address, "now@example.com");
}

TEST_F(AppWindowsTest, SettingsFormChangesTheOneRecordAndCancelAsksNothing) {
  WriteSettings(25);
  GatewayRelations relations(data_dir(), &errors_);
  {
    runtime::Window window("Control File");
    SettingsForm settings(&window, &relations);
    ASSERT_EQ(settings.Open(), framework::FormResult::kNone);
    EXPECT_EQ(settings.form().mode(), framework::FormMode::kChange);
    EXPECT_EQ(window.control("?CON:SMTP_SERVER").value(), "127.0.0.1");
    EXPECT_EQ(window.control("?ACTIONMESSAGE").value(), "Record will be Changed");
    window.model()->UserEdited(window.control("?CON:SMTP_SERVER").number(), "mail.example.com");
    window.model()->UserEdited(window.control("?CON:SUBJECT").number(), "Hi <EXT>");
    EXPECT_EQ(settings.form().Ok(), framework::FormResult::kCompleted);
  }
  ControlRow row;
  EXPECT_EQ(Settings(&row), 1);  // written in place, never a second record
  EXPECT_EQ(row.smtp_server, "mail.example.com");
  EXPECT_EQ(row.subject, "Hi <EXT>");

  {
    runtime::Window window("Control File");
    SettingsForm settings(&window, &relations);
    ASSERT_EQ(settings.Open(), framework::FormResult::kNone);
    window.model()->UserEdited(window.control("?CON:SMTP_SERVER").number(), "dropped");
    EXPECT_EQ(settings.form().Cancel(), framework::FormResult::kCancelled);
  }
  EXPECT_TRUE(presenter_->requests().empty());
  EXPECT_EQ(Settings(&row), 1);
  EXPECT_EQ(row.smtp_server, "mail.example.com");
  EXPECT_TRUE(errors_.ids.empty());
}

TEST_F(AppWindowsTest, SettingsFormWithoutARecordAddsOne) {
  GatewayRelations relations(data_dir(), &errors_);
  runtime::Window window("Control File");
  SettingsForm settings(&window, &relations);
  ASSERT_EQ(settings.Open(), framework::FormResult::kNone);
  window.model()->UserEdited(window.control("?CON:PORT").number(), "26");
  EXPECT_EQ(settings.form().Ok(), framework::FormResult::kCompleted);
  ControlRow row;
  ASSERT_EQ(Settings(&row), 1);
  EXPECT_EQ(row.port, 26);
}

TEST_F(AppWindowsTest, FormsRefuseWhatTheCommandsRefuseAndStoreNothing) {
  WriteSettings(25);
  GatewayRelations relations(data_dir(), &errors_);
  ControlRow before;
  ASSERT_EQ(Settings(&before), 1);
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"CON:PORT", "0"},
      {"CON:PORT", "40000"},
      {"CON:FROM", "not an address"},
      {"CON:SMTP_SERVER", "mail server"},
      {"CON:IDLETIME", "1234"},
      {"CON:ATTACHMENT_BODY", std::string(1000, 'x')}};
  for (const auto& [field, value] : refused) {
    errors_.ids.clear();
    errors_.fields.clear();
    runtime::Window window("Control File");
    SettingsForm settings(&window, &relations);
    ASSERT_EQ(settings.Open(), framework::FormResult::kNone);
    window.model()->UserEdited(window.control("?" + field).number(), value);
    EXPECT_EQ(settings.form().Ok(), framework::FormResult::kNone) << field;
    EXPECT_EQ(errors_.ids, std::vector<int>{kMsgValueRefused}) << field;
    EXPECT_EQ(errors_.fields, std::vector<std::string>{field});
    EXPECT_EQ(settings.form().Cancel(), framework::FormResult::kCancelled);
    ControlRow after;
    ASSERT_EQ(Settings(&after), 1);
    EXPECT_EQ(after.port, before.port) << field;
    EXPECT_EQ(after.from, before.from) << field;
    EXPECT_EQ(after.attachment_body, before.attachment_body) << field;
  }
  {  // values at their limits are stored as typed
    errors_.ids.clear();
    runtime::Window window("Control File");
    SettingsForm settings(&window, &relations);
    ASSERT_EQ(settings.Open(), framework::FormResult::kNone);
    window.model()->UserEdited(window.control("?CON:PORT").number(), "32767");
    window.model()->UserEdited(window.control("?CON:ATTACHMENT_BODY").number(),
                               std::string(997, 'x') + "\xC3\xA4");
    EXPECT_EQ(settings.form().Ok(), framework::FormResult::kCompleted);
    EXPECT_TRUE(errors_.ids.empty());
  }
  ControlRow after;
  ASSERT_EQ(Settings(&after), 1);
  EXPECT_EQ(after.port, 32767);
  EXPECT_EQ(after.attachment_body.size(), 999u);

  AddMailbox(7, "seven@example.com", "", "YES", "NO");
  framework::TableUse use(&relations.relation(Table::kMailboxes));
  framework::FileManager& fm = relations.file(Table::kMailboxes);
  for (const auto& [field, value] : std::vector<std::pair<std::string, std::string>>{
           {"MAI:MAILBOX_NO", "0"}, {"MAI:CC_EMAIL_ADDRESS", "boss at example.com"}}) {
    errors_.ids.clear();
    ASSERT_EQ(fm.SetOrder(), 0);
    ASSERT_EQ(fm.Watch(), 0);
    ASSERT_EQ(fm.Next(), 0);
    runtime::Window window("Update Mailbox");
    MailboxForm form(&window, &relations, framework::FormMode::kChange);
    ASSERT_EQ(form.form().Open(), framework::FormResult::kNone);
    window.model()->UserEdited(window.control("?" + field).number(), value);
    EXPECT_EQ(form.form().Ok(), framework::FormResult::kNone) << field;
    EXPECT_EQ(errors_.ids, std::vector<int>{kMsgValueRefused}) << field;
    form.form().Cancel();
  }
}

std::vector<MailboxRow> Mailboxes(const std::string& dir) {
  GatewayFiles files(dir);
  OpenTable open(files, Table::kMailboxes);
  auto& mai = files.mailboxes();
  std::vector<MailboxRow> out;
  for (bool ok = mai.Set() == 0 && mai.Next() == 0; ok; ok = mai.Next() == 0)
    out.push_back(ReadMailbox(mai.buffer()));
  return out;
}

TEST_F(AppWindowsTest, RefreshAddsMarkedNumberedDirectoriesAndKeepsExistingRecords) {
  WriteSettings(25);  // the root is tree()
  AddMailbox(103, "keep@example.com", "cc@example.com", "NO", "YES");
  for (const char* d : {"101", "102", "103", "0104", "abc", "99999"})
    std::filesystem::create_directories(std::filesystem::path(tree()) / d);
  for (const char* d : {"101", "103", "0104", "abc", "99999"})
    std::ofstream(std::filesystem::path(tree()) / d / "transfer.ini") << "";
  std::ofstream(std::filesystem::path(tree()) / "105") << "a file, not a mailbox";

  GatewayRelations relations(data_dir(), &errors_);
  runtime::Window window("MailBoxes");
  MailboxList list(&window, &relations, nullptr);
  ASSERT_EQ(list.Open(), 0);
  EXPECT_EQ(window.control("?BUTTON6").number(), 7);
  EXPECT_EQ(window.control("?BUTTON6").get().text, "Refresh Mailboxes");
  ASSERT_EQ(list.list().rows().size(), 1u);
  list.HandleEvent(runtime::EventFromNumber(runtime::kEventAccepted, 7));
  ASSERT_EQ(list.list().rows().size(), 3u);  // the list was read again

  std::map<int, MailboxRow> by_no;
  for (const MailboxRow& r : Mailboxes(data_dir())) by_no[r.mailbox_no] = r;
  ASSERT_EQ(by_no.size(), 3u);
  EXPECT_EQ(by_no[103].email_address, "keep@example.com");
  EXPECT_EQ(by_no[103].enable_email, "NO");
  EXPECT_EQ(by_no[101].email_address, "");
  EXPECT_EQ(by_no[101].enable_email, "YES");
  EXPECT_EQ(by_no[101].send_voice_file, "NO");
  EXPECT_EQ(by_no.count(104), 1u);  // 0104 is mailbox 104

  // A second refresh adds nothing and changes nothing.
  EXPECT_EQ(RefreshMailboxes(&relations, tree()), 0);
  EXPECT_EQ(Mailboxes(data_dir()).size(), 3u);
  EXPECT_EQ(RefreshMailboxes(&relations, ""), 0);  // a blank root lists nothing
}

TEST_F(AppWindowsTest, MailboxListColumnsAndFormRules) {
  AddMailbox(7, "seven@example.com", "", "YES", "NO");
  GatewayRelations relations(data_dir(), &errors_);
  std::vector<std::string> headers;
  for (const auto& c : MailboxColumns()) headers.push_back(c.header);
  EXPECT_EQ(headers, (std::vector<std::string>{"Mail Box No", "Email Address", "Enable Email",
                                               "Send Voice File"}));
  framework::TableUse use(&relations.relation(Table::kMailboxes));
  framework::FileManager& fm = relations.file(Table::kMailboxes);
  {  // insert is refused with message 20 and the form closes at once
    runtime::Window window("Update Mailbox");
    MailboxForm form(&window, &relations, framework::FormMode::kInsert);
    EXPECT_EQ(form.form().Open(), framework::FormResult::kCancelled);
    ASSERT_EQ(errors_.ids, (std::vector<int>{20}));
  }
  errors_.ids.clear();
  ASSERT_EQ(fm.SetOrder(), 0);
  ASSERT_EQ(fm.Watch(), 0);
  ASSERT_EQ(fm.Next(), 0);
  {  // a lower-case yes fails the field check; the form stays open
    runtime::Window window("Update Mailbox");
    MailboxForm form(&window, &relations, framework::FormMode::kChange);
    ASSERT_EQ(form.form().Open(), framework::FormResult::kNone);
    window.model()->UserEdited(window.control("?MAI:ENABLE_EMAIL").number(), "yes");
    EXPECT_EQ(form.form().Ok(), framework::FormResult::kNone);
    EXPECT_EQ(errors_.ids, (std::vector<int>{15}));
    window.model()->UserEdited(window.control("?MAI:ENABLE_EMAIL").number(), "NO");
    window.model()->UserEdited(window.control("?MAI:EMAIL_ADDRESS").number(), "new@example.com");
    EXPECT_EQ(form.form().Ok(), framework::FormResult::kCompleted);
  }
  ASSERT_EQ(Mailboxes(data_dir()).size(), 1u);
  EXPECT_EQ(Mailboxes(data_dir())[0].enable_email, "NO");
  EXPECT_EQ(Mailboxes(data_dir())[0].email_address, "new@example.com");
  errors_.ids.clear();
  ASSERT_EQ(fm.SetOrder(), 0);
  ASSERT_EQ(fm.Watch(), 0);
  ASSERT_EQ(fm.Next(), 0);
  {  // delete asks message 9 first
    runtime::Window window("Update Mailbox");
    MailboxForm form(&window, &relations, framework::FormMode::kDelete);
    ASSERT_EQ(form.form().Open(), framework::FormResult::kNone);
    EXPECT_EQ(form.form().Ok(), framework::FormResult::kCompleted);
    EXPECT_EQ(errors_.ids, (std::vector<int>{9}));
  }
  EXPECT_TRUE(Mailboxes(data_dir()).empty());
}

TEST_F(AppWindowsTest, FrameMenuStartsEachWindowOnAThreadOfItsOwn) {
  GatewayRelations relations(data_dir(), &errors_);
  FrameOptions o;
  o.data_dir = data_dir();
  o.relations = &relations;
  o.timer = 0;
  o.scan = FastOptions();
  std::mutex mu;
  std::shared_ptr<runtime::WindowModel> frame;
  std::vector<std::pair<std::string, std::thread::id>> shown;
  std::vector<std::shared_ptr<runtime::WindowModel>> windows;
  o.on_open = [&](runtime::Window& w) {
    std::lock_guard<std::mutex> lock(mu);
    frame = w.model();
  };
  o.windows.on_open = [&](runtime::Window& w) {
    std::lock_guard<std::mutex> lock(mu);
    shown.emplace_back(w.model()->Snapshot().caption, std::this_thread::get_id());
    windows.push_back(w.model());
  };
  std::thread main_thread([&] { Main(o); });
  const std::thread::id frame_thread = main_thread.get_id();
  auto wait_for = [&](size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> lock(mu);
        if (frame != nullptr && shown.size() >= n) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };
  ASSERT_TRUE(wait_for(0)) << "the frame did not open";
  EXPECT_NE(frame->NumberOf("?PRINTSETUP"), 0);
  for (const char* item : {"?FILECONTROL", "?FILEMAILBOXES", "?FILEVIEWLOG"}) {
    ASSERT_NE(frame->NumberOf(item), 0) << item;
    frame->UserChoseMenuItem(frame->NumberOf(item));
  }
  const bool all = wait_for(3);
  {
    std::lock_guard<std::mutex> lock(mu);
    for (auto& w : windows) w->UserRequestedClose();
  }
  frame->UserChoseMenuItem(frame->NumberOf("?EXIT"));
  main_thread.join();
  ASSERT_TRUE(all) << "not every window opened";
  std::vector<std::string> captions;
  for (const auto& [caption, id] : shown) {
    captions.push_back(caption);
    EXPECT_NE(id, frame_thread);
  }
  std::sort(captions.begin(), captions.end());
  EXPECT_EQ(captions, (std::vector<std::string>{"Browse Records", "Control File", "MailBoxes"}));
  EXPECT_NE(shown[0].second, shown[1].second);
  EXPECT_NE(shown[1].second, shown[2].second);
  for (Table t : {Table::kControl, Table::kMailboxes, Table::kProcessedFiles})
    EXPECT_EQ(relations.relation(t).open_count(), 0) << GatewayFiles::Name(t);
}

}  // namespace
}  // namespace vm::app::testing
