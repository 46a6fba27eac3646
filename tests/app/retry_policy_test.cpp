// Which failed sends are tried again and when, and the retry state kept
// beside the tables: the classification of outcome codes, the back-off
// schedule and its end, the text a waiting row shows, and a state file that
// survives hand edits, forgets ended rows and loses no writer's change.
#include "app/retry_policy.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "app/retry_state.h"
#include "app_test_support.h"
#include "runtime/date_time.h"

namespace vm::app::testing {
namespace {

namespace fs = std::filesystem;
using enum FailureClass;

TEST(RetryPolicyTest, OutcomesThatPassAreTransientAndTheOperatorsAreFinal) {
  // No connection, name not resolved for now, time limits, a server gone
  // mid-message, any 4xx, a handshake cut short.
  for (int32_t code :
       {10061, 10060, 10065, 10051, 10054, 11002, -53, 10101, -34, 421, 450, 451, 452, 499, -61}) {
    EXPECT_EQ(ClassifyFailure(code), kTransient) << code;
  }
  // Refusals, missing recordings, untrusted certificates, unknown codes.
  for (int32_t code : {550, 552, 554, 535, 500, 599, -35, -62, -63, -37, -51, 11001, 0, 1, 399, 600,
                       -1, 10062, 12345}) {
    EXPECT_EQ(ClassifyFailure(code), kFinal) << code;
  }
}

TEST(RetryPolicyTest, OnlyAnUnreachableOrClosingServerEndsThePassForTheRest) {
  for (int32_t code : {10061, 10060, 10065, 10051, 11002, 421})
    EXPECT_TRUE(ServerUnreachable(code)) << code;
  // The server answered: the next message may fare better.
  for (int32_t code : {451, 452, -53, 10054, 10101, 550, -62, 0})
    EXPECT_FALSE(ServerUnreachable(code)) << code;
  // Whatever ends a pass for the rest is also tried again later.
  for (int32_t code : {10061, 10060, 10065, 10051, 11002, 421})
    EXPECT_EQ(ClassifyFailure(code), kTransient) << code;
}

TEST(RetryPolicyTest, DelaysDoubleFromOneMinuteThenStayAtAnHour) {
  const int64_t want[] = {60, 120, 240, 480, 960, 1920, 3600, 3600, 3600};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(RetryDelaySeconds(i + 1), want[i]) << i;
  EXPECT_EQ(RetryDelaySeconds(0), 60);
  EXPECT_EQ(RetryDelaySeconds(100000), 3600);
  // 63 minutes for the first six, then one an hour: 22 more in 24 hours.
  EXPECT_EQ(RetriesWithin(24 * 3600), 28);
  EXPECT_EQ(RetriesWithin(0), 0);
  EXPECT_EQ(RetriesWithin(59), 0);
  EXPECT_EQ(RetriesWithin(60), 1);
  EXPECT_EQ(RetriesWithin(kMaxRetryForHours * 3600), 6 + (720 * 60 - 63) / 60);
}

TEST(RetryPolicyTest, TheNextAttemptFallsInsideTheWindowOrNotAtAll) {
  const int64_t since = 1000000;
  EXPECT_EQ(NextAttempt(1, since, since, 3600), since + 60);
  EXPECT_EQ(NextAttempt(3, since + 500, since, 3600), since + 500 + 240);
  // Exactly at the end of the window is still inside it; one second after is not.
  EXPECT_EQ(NextAttempt(7, since, since, 3600), since + 3600);
  EXPECT_EQ(NextAttempt(7, since + 1, since, 3600), std::nullopt);
  EXPECT_EQ(NextAttempt(1, since, since, 0), std::nullopt);
}

TEST(RetryPolicyTest, TheWaitingTextSaysWhichRetryWhenAndWhy) {
  const int32_t at = runtime::TimeFrom(14, 5, 30);
  EXPECT_EQ(RetryText(3, 28, at, "Could not open a connection", 255),
            "Retry 3 of 28 at 14:05: Could not open a connection");
  // A time past midnight is shown as a clock time.
  EXPECT_EQ(RetryText(1, 28, runtime::TimeFrom(24, 30), "x", 255), "Retry 1 of 28 at 00:30: x");
  // "of" never reads less than the retry itself (a Resend starts a window anew).
  EXPECT_EQ(RetryText(5, 2, at, "x", 255), "Retry 5 of 5 at 14:05: x");
  // Cut to the field without splitting a UTF-8 sequence.
  const std::string cut = RetryText(1, 1, at, std::string(300, '\xC3') + "", 30);
  EXPECT_LE(cut.size(), 30u);
  const std::string utf8 = RetryText(1, 1, at, "\xC3\xA9\xC3\xA9\xC3\xA9", 27);
  EXPECT_EQ(utf8, "Retry 1 of 1 at 14:05: \xC3\xA9\xC3\xA9");
}

TEST(RetryPolicyTest, RetryForIsWholeHoursUpToAMonth) {
  for (const char* ok : {"0", "1", "24", "720"}) EXPECT_TRUE(IsRetryHours(ok)) << ok;
  for (const char* bad : {"", "-1", "721", "1.5", " 24", "24h", "99999999999999999999"})
    EXPECT_FALSE(IsRetryHours(bad)) << bad;
}

RetryEntry Entry(uint32_t record, int attempts, int64_t next, int64_t ended = 0) {
  RetryEntry e;
  e.record = record;
  e.mailbox = 104;
  e.queued_date = 74000;
  e.queued_time = 3600001;
  e.attempts = attempts;
  e.next = next;
  e.since = 1000;
  e.ended = ended;
  return e;
}

TEST(RetryStateTest, EntriesSurviveTheirFileAndBrokenLinesAreNamed) {
  RetryState s;
  s.Put(Entry(7, 2, 5000));
  s.Put(Entry(3, 0, 4000, 4500));
  const RetryState back = RetryState::Parse(s.Serialize());
  ASSERT_EQ(back.entries().size(), 2u);
  EXPECT_EQ(*back.Find(7), Entry(7, 2, 5000));
  EXPECT_EQ(*back.Find(3), Entry(3, 0, 4000, 4500));
  EXPECT_TRUE(back.problems().empty());

  const RetryState edited = RetryState::Parse(
      "# comment\n7 104 74000 3600001 2 5000 1000 0\n"
      "8 104 74000\n0 1 2 3 4 5 6 7\n9 40000 1 1 1 1 1 0\n9 1 1 1 -1 1 1 0\n"
      "9 1 1 1 1 1 1 0 junk\n\n10 -5 1 2 3 4 5 0\n");
  EXPECT_EQ(edited.entries().size(), 2u);
  EXPECT_NE(edited.Find(7), nullptr);
  EXPECT_NE(edited.Find(10), nullptr);
  EXPECT_EQ(edited.problems().size(), 5u);
  EXPECT_NE(edited.problems()[0].find("line 3"), std::string::npos);
}

TEST(RetryStateTest, AnEntryNamesOnlyTheRowItWasWrittenFor) {
  const RetryEntry e = Entry(7, 1, 0);
  ProcessedRow row;
  row.mailbox = 104;
  row.date = 74000;
  row.time = 3600001;
  EXPECT_TRUE(e.Names(row));
  row.time += 100;
  EXPECT_FALSE(e.Names(row));
  row.time -= 100;
  row.mailbox = 105;
  EXPECT_FALSE(e.Names(row));
}

class RetryFileTest : public GatewayTest {};

TEST_F(RetryFileTest, UpdatesArePrivateForgetOldEndsAndLeaveAnUntouchedFileAlone) {
  const fs::path path = fs::path(data_dir()) / kRetryFileName;
  ASSERT_TRUE(RetryState::Read(data_dir())->entries().empty());  // no file: nothing
  const int64_t now = 10 * kEndedMemorySeconds;
  RetryState written;
  ASSERT_TRUE(UpdateRetryState(
                  data_dir(),
                  [&](RetryState& s) {
                    s.Put(Entry(1, 1, now + 60));
                    s.Put(Entry(2, 3, 0, now - kEndedMemorySeconds - 1));  // forgotten
                    s.Put(Entry(3, 3, 0, now - 10));                       // kept
                  },
                  now, &written)
                  .ok());
  EXPECT_EQ(written.entries().size(), 2u);
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const RetryState read = *RetryState::Read(data_dir());
  EXPECT_NE(read.Find(1), nullptr);
  EXPECT_EQ(read.Find(2), nullptr);
  EXPECT_NE(read.Find(3), nullptr);

  const fs::file_time_type before = fs::last_write_time(path);
  fs::last_write_time(path, before - std::chrono::hours(1));
  ASSERT_TRUE(UpdateRetryState(
                  data_dir(), [](RetryState&) {}, now)
                  .ok());
  EXPECT_EQ(fs::last_write_time(path), before - std::chrono::hours(1));
}

TEST_F(RetryFileTest, TwoWritersAtOnceLoseNoEntry) {
  auto writer = [&](uint32_t first) {
    for (uint32_t r = first; r < first + 40; ++r) {
      ASSERT_TRUE(UpdateRetryState(
                      data_dir(), [&](RetryState& s) { s.Put(Entry(r, 1, 0)); }, 0)
                      .ok());
    }
  };
  std::thread a(writer, 1);
  std::thread b(writer, 1001);
  a.join();
  b.join();
  EXPECT_EQ(RetryState::Read(data_dir())->entries().size(), 80u);
}

TEST_F(RetryFileTest, AnUnreadableFileIsAnErrorNotAnEmptyState) {
  const fs::path path = fs::path(data_dir()) / kRetryFileName;
  fs::create_directories(path);  // a directory where the file belongs
  EXPECT_FALSE(RetryState::Read(data_dir()).ok());
  EXPECT_FALSE(UpdateRetryState(
                   data_dir(), [](RetryState&) {}, 0)
                   .ok());
}

}  // namespace
}  // namespace vm::app::testing
