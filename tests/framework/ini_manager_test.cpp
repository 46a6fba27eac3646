// Window placement in email.INI: a round trip through the file, and files
// damaged or edited by hand, which must only ever cost the saved values.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "framework/ini_manager.h"
#include "framework/ini_placement.h"

namespace vm::framework {
namespace {

class IniManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "fwiniXXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = dir_ / "email.INI";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Write(const std::string& text) {
    std::ofstream out(path_, std::ios::binary);
    out << text;
  }
  std::string Read() const {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  std::filesystem::path dir_;
  std::filesystem::path path_;
  const WindowPlacement defaults_{10, 20, 400, 300, false};
};

TEST_F(IniManagerTest, PlacementSurvivesSaveAndOpen) {
  {
    IniManager ini;
    ASSERT_TRUE(ini.Open(path_).ok());  // missing: an empty document
    EXPECT_FALSE(ini.HasPlacement("Main"));
    EXPECT_EQ(ini.Fetch("Main", defaults_), defaults_);
    ini.Update("Main", {-5, 7, 1024, 768, true});
    ini.Update("mailboxes", {100, 120, 640, 480, false});
    ini.Update("Main", {-4, 8, 1000, 700, true});  // the newest placement wins
    ASSERT_TRUE(ini.Save().ok());
  }
  IniManager again;
  ASSERT_TRUE(again.Open(path_).ok());
  EXPECT_TRUE(again.HasPlacement("main"));  // names compare without regard to case
  EXPECT_EQ(again.Fetch("Main", defaults_), (WindowPlacement{-4, 8, 1000, 700, true}));
  EXPECT_EQ(again.Fetch("mailboxes", defaults_), (WindowPlacement{100, 120, 640, 480, false}));
  EXPECT_EQ(again.Fetch("View_Log", defaults_), defaults_);
  // After Close nothing is written any more.
  again.Update("Main", {1, 1, 100, 100, false});
  again.Close();
  ASSERT_TRUE(again.Save().ok());
  EXPECT_NE(Read().find("Width=1000"), std::string::npos);
}

TEST_F(IniManagerTest, BadValuesFallBackOneByOne) {
  Write(
      "X=1\n"  // outside any section
      "[Window Main]\n"
      "X=12px\n"
      "Y=  33  \n"
      "Width=-640\n"
      "Height=99999999999999999999999\n"
      "Maximized=yes\n"
      "[Window mailboxes]\n"
      "X=+50\nY=1e3\nWidth=0\nHeight=30001\nMaximized=1\n"
      "[Window View_Log]\n"
      "\x01\xff\xfe garbage without equals\n"
      "Width=\n"
      "Height=512\n"
      "[Other]\nkept=as written\n");
  IniManager ini;
  ASSERT_TRUE(ini.Open(path_).ok());
  EXPECT_EQ(ini.Fetch("Main", defaults_), (WindowPlacement{10, 33, 400, 300, false}));
  EXPECT_EQ(ini.Fetch("mailboxes", defaults_), (WindowPlacement{50, 20, 400, 300, true}));
  EXPECT_EQ(ini.Fetch("View_Log", defaults_), (WindowPlacement{10, 20, 400, 512, false}));
  // A save keeps what the program does not own.
  ini.Update("Main", {1, 2, 300, 200, false});
  ASSERT_TRUE(ini.Save().ok());
  IniManager again;
  ASSERT_TRUE(again.Open(path_).ok());
  EXPECT_EQ(again.Fetch("Main", defaults_), (WindowPlacement{1, 2, 300, 200, false}));
  EXPECT_NE(Read().find("kept=as written"), std::string::npos);
}

TEST_F(IniManagerTest, WindowsStayOnTheScreen) {
  Write("[Window Main]\nX=25000\nY=-25000\nWidth=5000\nHeight=200\nMaximized=0\n");
  IniManager ini;
  ASSERT_TRUE(ini.Open(path_).ok());
  const ScreenArea screen{0, 0, 1920, 1080};
  EXPECT_EQ(ini.Fetch("Main", defaults_, screen), (WindowPlacement{0, 0, 1920, 200, false}));
  // Defaults that are too small still give a window one can find.
  EXPECT_EQ(ini.Fetch("Tiny", {-100, 2000, 0, 0, false}, screen),
            (WindowPlacement{0, 1040, 40, 40, false}));
  // Without a known screen the values are only range-checked.
  EXPECT_EQ(ini.Fetch("Main", defaults_), (WindowPlacement{25000, -25000, 5000, 200, false}));
}

TEST_F(IniManagerTest, UnreadableOrUnwritableFileNeverStopsTheProgram) {
  std::filesystem::create_directory(path_);  // a directory where the file should be
  IniManager ini;
  (void)ini.Open(path_);  // whatever it reports, the program goes on
  EXPECT_EQ(ini.Fetch("Main", defaults_), defaults_);
  ini.Update("Main", {1, 2, 300, 200, false});
  EXPECT_EQ(ini.Fetch("Main", defaults_), (WindowPlacement{1, 2, 300, 200, false}));
  EXPECT_FALSE(ini.Save().ok());
}

TEST_F(IniManagerTest, WindowNamesCannotBreakTheFile) {
  IniManager ini;
  ASSERT_TRUE(ini.Open(path_).ok());
  const std::string evil = "a]\n[Window Main]\nX=999";
  ini.Update(evil, {5, 6, 100, 100, false});
  ASSERT_TRUE(ini.Save().ok());
  IniManager again;
  ASSERT_TRUE(again.Open(path_).ok());
  EXPECT_FALSE(again.HasPlacement("Main"));
  EXPECT_EQ(again.Fetch(evil, defaults_), (WindowPlacement{5, 6, 100, 100, false}));
}

TEST_F(IniManagerTest, RendererPlacementGoesThroughTheRuntimeSeam) {
  const runtime::ScreenPlacement defaults{10, 20, 400, 300, false};
  EXPECT_EQ(runtime::FetchPlacement("Send Mail - Quorvane", defaults),
            defaults);                                                        // no store: defaults
  runtime::UpdatePlacement("Send Mail - Quorvane", {1, 1, 100, 100, false});  // and nothing kept
  IniManager ini;
  ASSERT_TRUE(ini.Open(path_).ok());
  auto previous = runtime::SetPlacementStore(std::make_shared<IniPlacementStore>(&ini));
  runtime::UpdatePlacement("Send Mail - Quorvane", {50, 60, 1200, 900, true});
  EXPECT_EQ(runtime::FetchPlacement("Send Mail - Quorvane", defaults,
                                    runtime::ScreenRect{0, 0, 1024, 768}),
            (runtime::ScreenPlacement{0, 0, 1024, 768, true}));
  runtime::SetPlacementStore(previous);
  ASSERT_TRUE(ini.Save().ok());
  EXPECT_NE(Read().find(
                "[Window Send Mail - Quorvane]\nX=50\nY=60\nWidth=1200\nHeight=900\nMaximized=1\n"),
            std::string::npos)
      << Read();
}

}  // namespace
}  // namespace vm::framework
