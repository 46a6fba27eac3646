// INI documents and the errno translations.
#include "platform/ini_file.h"

#include <netdb.h>

#include <cerrno>

#include <gtest/gtest.h>

#include "platform/winsock_errors.h"
#include "temp_dir.h"

namespace vm::platform {
namespace {

TEST(IniFile, ParsesCaseInsensitivelyAndKeepsOrder) {
  IniFile ini = IniFile::Parse(
      "; comment\r\nstray=1\r\n[Main]\r\nWidth = 640\r\nheight=480\r\n[main]\r\nWIDTH=800\r\n# "
      "c\r\n[Other]\r\nx=\r\nnoequals\r\n");
  EXPECT_EQ(ini.Get("MAIN", "width"), "800");  // a later duplicate wins
  EXPECT_EQ(ini.Get("main", "Height"), "480");
  EXPECT_EQ(ini.Get("other", "x"), "");
  EXPECT_FALSE(ini.Get("other", "noequals").has_value());
  EXPECT_FALSE(ini.Get("", "stray").has_value());
  ASSERT_EQ(ini.sections().size(), 2u);
  EXPECT_EQ(ini.Serialize(), "[Main]\nWidth=800\nheight=480\n[Other]\nx=\n");
}

TEST(IniFile, SetRemoveSaveLoad) {
  vm::testing::TempDir dir;
  auto path = dir.path() / "deep" / "email.INI";
  IniFile ini;
  ini.Set("Window", "X", "10");
  ini.Set("window", "x", "11");
  ini.Set("Window", "Y", "a=b");
  EXPECT_TRUE(ini.Remove("WINDOW", "y"));
  EXPECT_FALSE(ini.Remove("Window", "y"));
  ini.Set("Window", "Y", "a=b");
  ASSERT_TRUE(ini.Save(path).ok());
  auto back = IniFile::Load(path);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->Get("Window", "X"), "11");
  EXPECT_EQ(back->Get("Window", "Y"), "a=b");  // only the first '=' splits
  auto none = IniFile::Load(dir.path() / "missing.ini");
  ASSERT_TRUE(none.ok());
  EXPECT_TRUE(none->sections().empty());
}

TEST(WinsockErrors, SocketAndResolverAnswers) {
  EXPECT_EQ(WinsockErrorFromErrno(0), 0);
  EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), 10061);
  EXPECT_EQ(WinsockErrorFromErrno(ETIMEDOUT), 10060);
  EXPECT_EQ(WinsockErrorFromErrno(ECONNRESET), 10054);
  EXPECT_EQ(WinsockErrorFromErrno(EPIPE), 10054);
  EXPECT_EQ(WinsockErrorFromErrno(EHOSTUNREACH), 10065);
  EXPECT_EQ(WinsockErrorFromErrno(EAGAIN), 10035);
  EXPECT_EQ(WinsockErrorFromErrno(EWOULDBLOCK), 10035);
  EXPECT_EQ(WinsockErrorFromErrno(EINPROGRESS), 10036);
  EXPECT_EQ(WinsockErrorFromErrno(EADDRINUSE), 10048);
  EXPECT_EQ(WinsockErrorFromErrno(ENETUNREACH), 10051);
  EXPECT_EQ(WinsockErrorFromErrno(ENOTCONN), 10057);
  EXPECT_EQ(WinsockErrorFromErrno(EMFILE), 10024);
  EXPECT_EQ(WinsockErrorFromGai(EAI_NONAME, 0), 11001);
  EXPECT_EQ(WinsockErrorFromGai(EAI_AGAIN, 0), 11002);
  EXPECT_EQ(WinsockErrorFromGai(EAI_FAIL, 0), 11003);
  EXPECT_EQ(WinsockErrorFromGai(EAI_SYSTEM, ECONNREFUSED), 10061);
}

TEST(StatusFromErrno, ClassifiesAndNamesTheCall) {
  Status s = StatusFromErrno(ENOENT, "open /x");
  EXPECT_EQ(s.code(), Code::kNotFound);
  EXPECT_EQ(s.sys_errno(), ENOENT);
  EXPECT_EQ(s.message().rfind("open /x: ", 0), 0u);
  EXPECT_EQ(StatusFromErrno(EACCES, "").code(), Code::kAccessDenied);
  EXPECT_EQ(StatusFromErrno(EEXIST, "").code(), Code::kExists);
  EXPECT_EQ(StatusFromErrno(EIO, "").code(), Code::kIoError);
  EXPECT_TRUE(Status::Ok().ok());
}

}  // namespace
}  // namespace vm::platform
