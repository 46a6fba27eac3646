// Registry store and profile: values survive a new store on the same file,
// binary bytes of every value round-trip, and failures answer like Windows.
#include "platform/registry.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/config_dir.h"
#include "platform/profile.h"
#include "temp_dir.h"

namespace vm::platform {
namespace {

using vm::testing::TempDir;

constexpr const char* kLinkora = "Software\\Dunmarsh\\Linkora\\GUID";

TEST(Registry, DwordAndBinaryRoundTripAcrossStores) {
  TempDir dir;
  std::vector<uint8_t> guid;
  for (int i = 0; i < 256; ++i) guid.push_back(static_cast<uint8_t>(i));  // '=', '\n', 0 included
  {
    RegistryStore store(dir.path() / "registry.ini");
    RegKey key = 0;
    ASSERT_EQ(store.CreateKey(Hive::kCurrentUser, kLinkora, &key), kRegSuccess);
    ASSERT_EQ(store.SetValue(key, "GUID", RegType::kBinary, guid), kRegSuccess);
    ASSERT_EQ(store.SetDword(key, "RUNID", 0xFFFFFFFEu), kRegSuccess);
    ASSERT_EQ(store.CloseKey(key), kRegSuccess);
  }
  RegistryStore again(dir.path() / "registry.ini");
  RegKey key = 0;
  ASSERT_EQ(again.OpenKey(Hive::kCurrentUser, "software\\DUNMARSH\\linkora\\guid", &key),
            kRegSuccess);
  RegType type = RegType::kNone;
  std::vector<uint8_t> data;
  ASSERT_EQ(again.QueryValue(key, "guid", &type, &data), kRegSuccess);
  EXPECT_EQ(type, RegType::kBinary);
  EXPECT_EQ(data, guid);
  uint32_t run = 0;
  ASSERT_EQ(again.QueryDword(key, "RUNID", &run), kRegSuccess);
  EXPECT_EQ(run, 0xFFFFFFFEu);
  ASSERT_EQ(again.QueryValue(key, "RUNID", &type, &data), kRegSuccess);
  EXPECT_EQ(type, RegType::kDword);
  EXPECT_EQ(data, (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));  // little-endian as stored
}

TEST(Registry, MissingKeysAndValuesAndBadHandles) {
  TempDir dir;
  RegistryStore store(dir.path() / "registry.ini");
  RegKey key = 0;
  EXPECT_EQ(store.OpenKey(Hive::kLocalMachine, "System\\Nothing", &key), kRegNotFound);
  ASSERT_EQ(store.CreateKey(Hive::kLocalMachine,
                            "System\\CurrentControlSet\\Services\\Tcpip\\Parameters", &key),
            kRegSuccess);
  RegType type;
  std::vector<uint8_t> data;
  EXPECT_EQ(store.QueryValue(key, "DisableDHCPMediaSense", &type, &data), kRegNotFound);
  RegKey parent = 0;
  EXPECT_EQ(store.OpenKey(Hive::kLocalMachine, "System\\CurrentControlSet", &parent), kRegSuccess);
  // Hives are separate.
  RegKey other = 0;
  EXPECT_EQ(store.OpenKey(Hive::kCurrentUser, "System\\CurrentControlSet", &other), kRegNotFound);
  ASSERT_EQ(store.CloseKey(key), kRegSuccess);
  EXPECT_EQ(store.CloseKey(key), kRegInvalidHandle);
  EXPECT_EQ(store.SetDword(key, "x", 1), kRegInvalidHandle);
}

TEST(Registry, ValueThatCannotBeWrittenBackIsDetected) {
  TempDir dir;
  auto file = dir.path() / "registry.ini";
  RegistryStore store(file);
  RegKey key = 0;
  ASSERT_EQ(store.CreateKey(Hive::kCurrentUser, kLinkora, &key), kRegSuccess);
  ASSERT_EQ(store.SetDword(key, "RUNID", 1), kRegSuccess);
  // Make the store unwritable: replace the file by a directory of the same name
  // after moving its content aside, so even root cannot rename over it.
  std::filesystem::rename(file, dir.path() / "saved.ini");
  std::filesystem::create_directory(file);
  EXPECT_EQ(store.SetDword(key, "RUNID", 2), kRegAccessDenied);
}

TEST(Profile, IntegerAndTextRules) {
  TempDir dir;
  const char* old = std::getenv("XDG_CONFIG_HOME");
  std::string saved = old ? old : "";
  setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  EXPECT_EQ(ProfileInt("QXKEELFAST", "Details", 7), 7);  // no file at all
  ASSERT_TRUE(MakeConfigDir().ok());
  std::ofstream(*ConfigDir() / "profile.ini")
      << "[qxkeelfast]\nDetails = 12abc\nProfile=  -3\nTraceFile= /tmp/x.log \n"
      << "Bad=abc\nHuge=99999999999\n";
  EXPECT_EQ(ProfileInt("QXKEELFAST", "details", 0), 12);
  EXPECT_EQ(ProfileInt("QXKEELFAST", "Profile", 0), -3);
  EXPECT_EQ(ProfileInt("QXKEELFAST", "Bad", 5), 0);
  EXPECT_EQ(ProfileInt("QXKEELFAST", "Huge", 0), 0x7FFFFFFF);
  EXPECT_EQ(ProfileInt("QXKEELFAST", "Missing", 9), 9);
  EXPECT_EQ(ProfileInt("Other", "Details", 4), 4);
  EXPECT_EQ(ProfileString("QXKEELFAST", "TraceFile", ""), "/tmp/x.log");
  EXPECT_EQ(ProfileString("QXKEELFAST", "Nope", "dflt"), "dflt");
  if (old)
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

}  // namespace
}  // namespace vm::platform
