// vm-screenshots: its pieces (file names from captions, grabbing with a popup
// laid over, the drawn title bar, the album, the demo data) and the whole tool
// run into a temporary folder: one PNG per window, named after the window's
// caption, each a real picture (decodes, plausible size, more than a few
// colours) and no file besides them.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>

#include <sys/wait.h>

#include <gtest/gtest.h>
#include <QApplication>
#include <QImage>
#include <QMenu>
#include <QWidget>

#include "app/gateway_files.h"
#include "app/records.h"
#include "demo_tables.h"
#include "gui_test_support.h"
#include "net/net_runtime.h"
#include "platform/socket.h"
#include "shots.h"

namespace vm::screenshots {
namespace {

namespace fs = std::filesystem;
using gui::testing::PumpUntil;

// The windows the tool takes, by file name.
const std::set<std::string> kExpected = {
    "Send Mail - Quorvane.png",  // the frame with its File menu open
    "Control File.png",
    "Mail Security.png",  // with a test mail held by the silent server
    "MailBoxes.png",
    "Update Mailbox.png",
    "Browse Records.png",
    "Send Mail.png",  // the scan's status window
    "Progress.png",   // the dispatcher's window, which has no caption
    "Stop.png",
    "Errors History.png"};

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Distinct colours of `image`, counted up to `enough`.
int Colours(const QImage& image, int enough) {
  std::set<QRgb> seen;
  for (int y = 0; y < image.height(); y += 2) {
    for (int x = 0; x < image.width(); x += 2) {
      seen.insert(image.pixel(x, y));
      if (static_cast<int>(seen.size()) >= enough) return enough;
    }
  }
  return static_cast<int>(seen.size());
}

TEST(ScreenshotNames, CaptionsBecomeSafeFileNames) {
  EXPECT_EQ(FileNameFor("Send Mail - Quorvane", ""), "Send Mail - Quorvane.png");
  EXPECT_EQ(FileNameFor("E&xit", ""), "Exit.png");
  EXPECT_EQ(FileNameFor("a/b\\c:d*e?f\"g<h>i|j", ""), "a_b_c_d_e_f_g_h_i_j.png");
  // No way out of the folder, no hidden file, no control characters.
  EXPECT_EQ(FileNameFor("../etc", ""), "etc.png");
  EXPECT_EQ(FileNameFor("two\nlines", ""), "two_lines.png");
  EXPECT_EQ(FileNameFor(" Stop. ", ""), "Stop.png");
  // Nothing left: the descriptive name, else a generic one.
  EXPECT_EQ(FileNameFor("", "Progress"), "Progress.png");
  EXPECT_EQ(FileNameFor("&./", ""), "Window.png");
  EXPECT_EQ(FileNameFor("Caf\xc3\xa9", ""), "Caf\xc3\xa9.png") << "UTF-8 stays as it is";
}

QColor PixelAt(const QImage& image, int x, int y) {
  return QColor(image.pixel(x, y));
}

TEST(ScreenshotGrab, AnOpenMenuIsLaidOverTheWindowWhereItShows) {
  gui::testing::TestApp();
  QWidget window;
  window.setAutoFillBackground(true);
  QPalette red = window.palette();
  red.setColor(QPalette::Window, Qt::red);
  window.setPalette(red);
  window.setGeometry(40, 40, 300, 200);
  window.show();
  QMenu menu;
  menu.addAction("Control");
  menu.addAction("E&xit");
  menu.popup(window.mapToGlobal(QPoint(30, 50)));
  ASSERT_TRUE(PumpUntil([&] { return window.isVisible() && menu.isVisible(); }))
      << "window or menu never showed";

  const QImage plain = Grab(&window);
  ASSERT_EQ(plain.size(), QSize(300, 200));
  EXPECT_EQ(PixelAt(plain, 35, 55), QColor(Qt::red));

  const QImage with_menu = Grab(&window, &menu);
  ASSERT_EQ(with_menu.size(), QSize(300, 200));
  EXPECT_NE(PixelAt(with_menu, 35, 55), QColor(Qt::red)) << "the menu is not where it shows";
  EXPECT_EQ(PixelAt(with_menu, 25, 45), QColor(Qt::red)) << "the menu is drawn too far up or left";
  EXPECT_EQ(PixelAt(with_menu, 295, 195), QColor(Qt::red));
  menu.hide();
  EXPECT_EQ(PixelAt(Grab(&window, &menu), 35, 55), QColor(Qt::red)) << "a closed menu is drawn";
}

TEST(ScreenshotGrab, TitleBarGoesAboveTheBodyWithTheCaption) {
  gui::testing::TestApp();
  QWidget like;
  QImage body(240, 60, QImage::Format_ARGB32);
  body.fill(Qt::blue);
  const QImage with_bar = WithTitleBar(body, "Stop", &like, true);
  const QImage blank_bar = WithTitleBar(body, "", &like, true);
  ASSERT_EQ(with_bar.width(), 240);
  const int bar = with_bar.height() - 60;
  ASSERT_GT(bar, 10) << "no room for a caption";
  for (int y : {0, 59})
    for (int x : {0, 120, 239}) EXPECT_EQ(PixelAt(with_bar, x, bar + y), QColor(Qt::blue));
  // The caption's letters make the bar differ from the same bar without one.
  int differing = 0;
  for (int y = 0; y < bar; ++y)
    for (int x = 0; x < 240; ++x) differing += with_bar.pixel(x, y) != blank_bar.pixel(x, y);
  EXPECT_GT(differing, 20) << "the caption is not drawn";
}

TEST(ScreenshotAlbum, SavesPngFilesAndReportsWhatItCannotSave) {
  gui::testing::TestApp();
  std::random_device random;
  const fs::path dir = fs::temp_directory_path() / ("vm_album_" + std::to_string(random()));
  fs::create_directories(dir);
  Album album(dir.string());
  QImage image(50, 20, QImage::Format_ARGB32);
  image.fill(Qt::green);
  EXPECT_TRUE(album.Save(image, "MailBoxes"));
  EXPECT_TRUE(album.Save(image, "", "Progress"));
  EXPECT_FALSE(album.Save(QImage(), "Empty"));
  EXPECT_EQ(album.saved(), (std::vector<std::string>{"MailBoxes.png", "Progress.png"}));
  EXPECT_EQ(album.missed(), (std::vector<std::string>{"Empty.png"}));
  QImage back;
  ASSERT_TRUE(back.load(QString::fromStdString((dir / "MailBoxes.png").string())));
  EXPECT_EQ(back.size(), QSize(50, 20));
  EXPECT_EQ(PixelAt(back, 10, 10), QColor(Qt::green));

  Album nowhere((dir / "MailBoxes.png" / "sub").string());  // a file where a folder should be
  EXPECT_FALSE(nowhere.Save(image, "Stop"));
  EXPECT_EQ(nowhere.missed().size(), 1u);
  fs::remove_all(dir);
}

// The demo data holds what the pictures promise: three mailboxes, and a log
// with two sent rows, one failed by a real pass, two waiting on recordings
// old enough to be sent.
TEST(ScreenshotDemoData, TablesHoldSentFailedAndWaitingRows) {
  std::random_device random;
  const fs::path root = fs::temp_directory_path() / ("vm_demo_" + std::to_string(random()));
  net::NetRuntimeOptions net_options;
  net_options.program_name = "screenshots_test";
  net_options.registry_file = root / "registry.ini";
  net_options.connect_timeout_ms = 3000;
  fs::create_directories(root);
  net::NetRuntime::Start(std::move(net_options));
  int fd = -1;
  uint16_t closed = 0;
  ASSERT_EQ(platform::SocketListenLoopback(&fd, &closed, 1), 0);
  platform::SocketClose(fd);
  const DemoPaths paths{(root / "data").string(), (root / "voicemail").string()};
  const std::string error = MakeDemoData(paths, closed, 2525);
  net::NetRuntime::Shutdown();
  ASSERT_EQ(error, "");

  app::GatewayFiles files(paths.data_dir);
  {
    app::OpenTable open(files, app::Table::kControl);
    ASSERT_EQ(open.code(), 0);
    ASSERT_EQ(files.control().Set(), 0);
    ASSERT_EQ(files.control().Next(), 0);
    const app::ControlRow con = app::ReadControl(files.control().buffer());
    EXPECT_EQ(con.smtp_server, "127.0.0.1");
    EXPECT_EQ(con.port, 2525) << "the settings must name the silent server at the end";
    EXPECT_EQ(con.applicate_path, paths.tree);
  }
  {
    app::OpenTable open(files, app::Table::kMailboxes);
    ASSERT_EQ(open.code(), 0);
    std::vector<std::string> boxes;
    files.mailboxes().Set();
    while (files.mailboxes().Next() == 0) {
      const app::MailboxRow m = app::ReadMailbox(files.mailboxes().buffer());
      boxes.push_back(std::to_string(m.mailbox_no) + " " + m.enable_email);
      EXPECT_TRUE(fs::exists(fs::path(paths.tree) / std::to_string(m.mailbox_no) / "transfer.ini"));
    }
    EXPECT_EQ(boxes, (std::vector<std::string>{"101 YES", "102 YES", "103 NO"}));
  }
  app::OpenTable open(files, app::Table::kProcessedFiles);
  ASSERT_EQ(open.code(), 0);
  std::vector<app::ProcessedRow> log;
  files.processed().Set();
  while (files.processed().Next() == 0)
    log.push_back(app::ReadProcessed(files.processed().buffer()));
  ASSERT_EQ(log.size(), 5u);
  const auto old_enough = fs::file_time_type::clock::now() - std::chrono::seconds(45);
  for (size_t i = 0; i < log.size(); ++i) {
    SCOPED_TRACE(log[i].filename);
    EXPECT_EQ(log[i].processed, i < 3 ? 1 : 0);
    ASSERT_TRUE(fs::exists(log[i].full_path));
    EXPECT_LT(fs::last_write_time(log[i].full_path), old_enough);
  }
  EXPECT_EQ(log[0].error, "Nil");
  EXPECT_EQ(log[1].error, "Nil");
  EXPECT_EQ(log[2].filename, "msg0002.wav");
  EXPECT_NE(log[2].error.find("10061"), std::string::npos)
      << "not the refused connect: " << log[2].error;
  EXPECT_EQ(log[3].error, "0");
  EXPECT_EQ(log[4].error, "0");
  fs::remove_all(root);
}

class ScreenshotsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    dir_ = fs::temp_directory_path() / ("vm_screenshots_test_" + std::to_string(random()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  // Runs the tool (offscreen unless a platform is named); its exit status.
  int Run() {
    const char* bin = std::getenv("VM_BINARY_DIR");
    const std::string tool =
        std::string(bin != nullptr ? bin : ".") + "/tools/screenshots/vm-screenshots";
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const std::string env = platform == nullptr ? "QT_QPA_PLATFORM=offscreen " : "";
    const std::string cmd = env + "timeout 300 '" + tool + "' --out '" + (dir_ / "out").string() +
                            "' >'" + (dir_ / "log").string() + "' 2>&1";
    const int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  fs::path dir_;
};

TEST_F(ScreenshotsTest, OnePictureOfEveryWindowNamedAfterItsCaption) {
  const int status = Run();
  ASSERT_EQ(status, 0) << "vm-screenshots failed:\n" << ReadAll(dir_ / "log");

  std::set<std::string> files;
  for (const auto& e : fs::directory_iterator(dir_ / "out")) files.insert(e.path().filename());
  EXPECT_EQ(files, kExpected) << ReadAll(dir_ / "log");

  for (const std::string& name : kExpected) {
    SCOPED_TRACE(name);
    const fs::path path = dir_ / "out" / name;
    if (!fs::exists(path)) continue;  // reported above
    QImage image;
    ASSERT_TRUE(image.load(QString::fromStdString(path.string()), "PNG")) << "does not decode";
    EXPECT_GE(image.width(), 100);
    EXPECT_GE(image.height(), 40);
    EXPECT_LE(image.width(), 4000);
    EXPECT_LE(image.height(), 4000);
    // Text, frames and buttons on a background: never one flat colour.
    EXPECT_GE(Colours(image, 16), 16) << "looks blank";
    // The tool prints the path of every picture it saved.
    EXPECT_NE(ReadAll(dir_ / "log").find(path.string()), std::string::npos);
  }
  // The frame is shown with a menu open over it: larger than any child.
  const QImage frame((dir_ / "out" / "Send Mail - Quorvane.png").string().c_str());
  const QImage status_window((dir_ / "out" / "Send Mail.png").string().c_str());
  if (!frame.isNull() && !status_window.isNull()) {
    EXPECT_GT(frame.width() * frame.height(), status_window.width() * status_window.height());
  }
}

}  // namespace
}  // namespace vm::screenshots
