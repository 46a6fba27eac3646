// The "Mail Security" window on screen, from the frame's menu and from the
// settings form's button: values typed into the real widgets, a refused one,
// the masked password, a test mail through a STARTTLS server that requires a
// login (certificates made for the run) with its dialogue in the window, and
// what reaches the settings files. The password must show nowhere.
#include <filesystem>

#include <gtest/gtest.h>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>

#include "app/settings_file.h"
#include "app_desk.h"
#include "gui_test_support.h"
#include "peers/peer_support.h"

namespace vm::gui::testing {
namespace {

namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

constexpr char kPassword[] = "Gui-Pw 4q!zR";

void Type(QLineEdit* e, const QString& text) {
  e->selectAll();
  QTest::keyClicks(e, text);
}

void Choose(QComboBox* box, const QString& text) {
  const int index = box->findText(text);
  box->setCurrentIndex(index);
  emit box->activated(index);
}

class SecurityWindowGuiTest : public AppDeskTest {
 protected:
  static void SetUpTestSuite() {
    certs_dir_ =
        new fs::path(fs::temp_directory_path() / ("vm_gui_certs_" + std::to_string(::getpid())));
    certs_ = new peers::TestCertificates(peers::MakeCertificates(*certs_dir_));
  }
  static void TearDownTestSuite() {
    std::error_code ec;
    fs::remove_all(*certs_dir_, ec);
    delete certs_;
    delete certs_dir_;
  }

  // Every text the window shows and every value its model holds.
  static std::string AllText(WindowView* view) {
    std::string all;
    for (const runtime::Control& c : view->model()->Snapshot().controls) {
      all += c.text + "\n" + c.value + "\n";
      QWidget* w = view->WidgetOf(c.number);
      if (auto* e = qobject_cast<QLineEdit*>(w)) all += e->text().toStdString() + "\n";
      if (auto* l = qobject_cast<QLabel*>(w)) all += l->text().toStdString() + "\n";
      if (auto* t = qobject_cast<QPlainTextEdit*>(w)) all += t->toPlainText().toStdString() + "\n";
    }
    return all;
  }

  std::string File(const char* name) {
    return app::testing::ReadFileBytes(fs::path(data_dir()) / name);
  }

  static fs::path* certs_dir_;
  static peers::TestCertificates* certs_;
};

fs::path* SecurityWindowGuiTest::certs_dir_ = nullptr;
peers::TestCertificates* SecurityWindowGuiTest::certs_ = nullptr;

TEST_F(SecurityWindowGuiTest, TypedValuesAMaskedPasswordAndATestMailThroughStartTls) {
  ASSERT_FALSE(certs_->ca.empty()) << certs_->log;
  fs::create_directories(root() / "received");
  peers::PythonServer server(
      "smtp_tls_server.py", root() / "received",
      {"--mode", "starttls", "--cert", certs_->server_cert, "--key", certs_->server_key, "--user",
       "alice", "--password", kPassword, "--low-port"});
  ASSERT_NE(server.port(), 0);
  WriteSettings(server.port());
  StartFrame();
  WindowView* w = OpenFromMenu("Security...", "Mail Security");
  ASSERT_NE(w, nullptr) << "the window did not show";
  EXPECT_EQ(
      Prompts(w),
      (Strings{"Security:", "User:", "Password:", "CA File:", "Verify Certificate:", "HELO Name:",
               "Max Attachment (MB):", "Retry For (hours):", "Settle Seconds:", "Send To:"}));
  EXPECT_EQ(Buttons(w), (Strings{"Send Test Mail", "OK", "Cancel"}));
  auto* security = Widget<QComboBox>(w, "?SECURITY");
  auto* verify = Widget<QComboBox>(w, "?VERIFY");
  auto* user = Widget<QLineEdit>(w, "?USER");
  auto* password = Widget<QLineEdit>(w, "?PASSWORD");
  auto* state = Widget<QLabel>(w, "?PASSWORDSTATE");
  auto* ca = Widget<QLineEdit>(w, "?CAFILE");
  auto* helo = Widget<QLineEdit>(w, "?HELONAME");
  auto* max_attachment = Widget<QLineEdit>(w, "?MAXATTACHMENT");
  auto* retry_for = Widget<QLineEdit>(w, "?RETRYFOR");
  auto* settle = Widget<QLineEdit>(w, "?SETTLE");
  auto* to = Widget<QLineEdit>(w, "?TESTADDRESS");
  auto* transcript = Widget<QPlainTextEdit>(w, "?TRANSCRIPT");
  ASSERT_TRUE(security && verify && user && password && state && ca && helo && max_attachment &&
              retry_for && settle && to && transcript);
  EXPECT_EQ(retry_for->text(), "24");
  EXPECT_EQ(settle->text(), "45");
  EXPECT_EQ(security->currentText(), "none");
  EXPECT_EQ(verify->currentText(), "yes");
  EXPECT_EQ(helo->text(), "NetSendMail");
  EXPECT_EQ(max_attachment->text(), "20");
  EXPECT_EQ(state->text(), "(not set)");
  EXPECT_EQ(password->echoMode(), QLineEdit::Password);
  EXPECT_TRUE(transcript->isReadOnly());

  // A refused value: the value message, the window stays, nothing written.
  Choose(security, "starttls");
  Type(user, "alice");
  Type(settle, "2");
  Type(ca, "ca.pem");
  Widget<QPushButton>(w, "?OK")->click();
  QMessageBox* box = WaitForMessageBox();
  ASSERT_NE(box, nullptr) << "no message for a relative CA file";
  EXPECT_EQ(box->windowTitle(), "Value Error");
  EXPECT_NE(box->text().toStdString().find("The value of CA File must be the absolute path"),
            std::string::npos)
      << box->text().toStdString();
  box->button(QMessageBox::Ok)->click();
  EXPECT_TRUE(IsOpen("Mail Security"));
  EXPECT_FALSE(fs::exists(fs::path(data_dir()) / app::kSettingsFileName));

  // The test mail with the values as typed, the password typed but not stored.
  Type(ca, QString::fromStdString(certs_->ca));
  QTest::keyClicks(password, kPassword);
  Type(to, "bob@example.com");
  Widget<QPushButton>(w, "?SENDTEST")->click();
  ASSERT_TRUE(PumpUntil([&] { return transcript->toPlainText().contains("Accepted: "); }, 60000))
      << transcript->toPlainText().toStdString();
  const std::string dialogue = transcript->toPlainText().toStdString();
  EXPECT_NE(dialogue.find("C: STARTTLS\nS: 220 "), std::string::npos) << dialogue;
  EXPECT_NE(dialogue.find("C: AUTH PLAIN ****\nS: 235 "), std::string::npos) << dialogue;
  EXPECT_TRUE(Widget<QPushButton>(w, "?SENDTEST")->isEnabled());
  EXPECT_EQ(password->text(), "") << "the typed password is shown back";
  EXPECT_EQ(state->text(), "(new: stored with OK)");
  EXPECT_EQ(AllText(w).find(kPassword), std::string::npos) << "the window holds the password";
  EXPECT_EQ(app::testing::ReadFileBytes(root() / "received" / "001.txt"),
            "from vm@example.com\nrcpt bob@example.com\nauth alice\n");
  EXPECT_FALSE(fs::exists(fs::path(data_dir()) / app::kCredentialsFileName));

  Type(max_attachment, "25");
  Type(retry_for, "6");
  Widget<QPushButton>(w, "?OK")->click();
  ASSERT_TRUE(PumpUntil([&] { return !IsOpen("Mail Security"); })) << "OK did not close it";
  const std::string conf = File(app::kSettingsFileName);
  for (const char* line : {"security=starttls\n", "user=alice\n", "max-attachment=25\n",
                           "retry-for=6\n", "settle=2\n"})
    EXPECT_NE(conf.find(line), std::string::npos) << conf;
  EXPECT_NE(conf.find("ca-file=" + certs_->ca + "\n"), std::string::npos) << conf;
  EXPECT_EQ(conf.find("helo-name"), std::string::npos) << "an untouched value was written";
  EXPECT_EQ(conf.find(kPassword), std::string::npos);
  EXPECT_NE(File(app::kCredentialsFileName).find(std::string("password=") + kPassword + "\n"),
            std::string::npos);
  EXPECT_EQ(
      fs::status(fs::path(data_dir()) / app::kCredentialsFileName).permissions() & fs::perms::all,
      fs::perms::owner_read | fs::perms::owner_write);

  // From the settings form's button: the stored values, the password only
  // as "(set)"; Cancel goes back to the form.
  WindowView* form = OpenFromMenu("Control", "Control File");
  ASSERT_NE(form, nullptr);
  Widget<QPushButton>(form, "?SECURITY")->click();
  w = WaitForWindow("Mail Security");
  ASSERT_NE(w, nullptr) << "Security... did not open the window";
  EXPECT_EQ(Widget<QComboBox>(w, "?SECURITY")->currentText(), "starttls");
  EXPECT_EQ(Widget<QLabel>(w, "?PASSWORDSTATE")->text(), "(set)");
  EXPECT_EQ(Widget<QLineEdit>(w, "?PASSWORD")->text(), "");
  EXPECT_EQ(AllText(w).find(kPassword), std::string::npos);
  Widget<QPushButton>(w, "?CANCEL")->click();
  ASSERT_TRUE(PumpUntil([&] { return !IsOpen("Mail Security"); }));
  EXPECT_TRUE(IsOpen("Control File"));
  ASSERT_TRUE(CloseWindow(form));
}

}  // namespace
}  // namespace vm::gui::testing
