// vm-screenshots run into a temporary folder: one PNG per window, named after
// the window's caption, each a real picture (decodes, plausible size, more
// than a few colours) and no file besides them.
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
#include <QImage>

namespace {

namespace fs = std::filesystem;

// The windows the tool takes, by file name.
const std::set<std::string> kExpected = {
    "Send Mail - Quorvane.png",  // the frame with its File menu open
    "Control File.png",
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
