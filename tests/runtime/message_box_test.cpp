// Message box presenters: headless answers and its log line, scripted answers.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/diag_sink.h"
#include "runtime/message_box.h"

namespace vm::runtime {
namespace {

TEST(MessageRequest, DefaultButtonRules) {
  MessageRequest r;
  r.buttons = kButtonAbort | kButtonIgnore;
  EXPECT_EQ(r.EffectiveDefault(), kButtonAbort);  // none given: the first button
  r.default_button = kButtonIgnore;
  EXPECT_EQ(r.EffectiveDefault(), kButtonIgnore);
  r.default_button = kButtonYes;  // not among the buttons
  EXPECT_EQ(r.EffectiveDefault(), kButtonAbort);
  r.default_button = kButtonAbort | kButtonIgnore;  // not a single button
  EXPECT_EQ(r.EffectiveDefault(), kButtonAbort);
  r.buttons = 0;
  EXPECT_EQ(r.EffectiveDefault(), kButtonOk);
}

TEST(HeadlessPresenter, LogsOneLineAndAnswersTheDefault) {
  auto sink = std::make_shared<platform::MemorySink>();
  platform::ScopedDiagSink scoped(sink);
  auto previous = SetMessagePresenter(nullptr);  // headless
  const uint32_t answer = Message("Error adding record|Access Denied", "Storage Error",
                                  MessageIcon::kStop, kButtonAbort | kButtonIgnore, kButtonIgnore);
  EXPECT_EQ(answer, kButtonIgnore);
  const auto lines = sink->Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "[Message] Storage Error: Error adding record|Access Denied [Abort,Ignore] -> Ignore");

  HeadlessPresenter headless;
  MessageRequest multi;
  multi.text = "two\nlines";
  multi.buttons = kButtonYes | kButtonNo;
  EXPECT_EQ(headless.Present(multi), kButtonYes);
  EXPECT_EQ(sink->Lines().size(), 2u);
  EXPECT_EQ(sink->Lines()[1], "[Message] : two|lines [Yes,No] -> Yes");
  SetMessagePresenter(previous);
}

// The line's priority comes from the request: a stop is an error, an
// exclamation a warning, the rest information, unless the caller says.
TEST(HeadlessPresenter, LogsEachMessageAtItsPriority) {
  auto sink = std::make_shared<platform::MemorySink>();
  platform::ScopedDiagSink scoped(sink);
  HeadlessPresenter headless;
  MessageRequest r;
  r.text = "t";
  for (MessageIcon icon : {MessageIcon::kStop, MessageIcon::kExclamation, MessageIcon::kInformation,
                           MessageIcon::kQuestion, MessageIcon::kNone}) {
    r.icon = icon;
    headless.Present(r);
  }
  r.icon = MessageIcon::kInformation;
  r.priority = platform::DiagPriority::kError;  // e.g. a message that ends the program
  headless.Present(r);
  using platform::DiagPriority;
  std::vector<DiagPriority> got;
  for (const auto& [priority, line] : sink->Entries()) {
    EXPECT_EQ(line, "[Message] : t [Ok] -> Ok");
    got.push_back(priority);
  }
  EXPECT_EQ(got, (std::vector<DiagPriority>{DiagPriority::kError, DiagPriority::kWarning,
                                            DiagPriority::kInfo, DiagPriority::kInfo,
                                            DiagPriority::kInfo, DiagPriority::kError}));
}

TEST(ScriptedPresenter, AnswersInOrderAndRecordsEveryRequest) {
  auto scripted = std::make_shared<ScriptedPresenter>();
  scripted->QueueAnswer(kButtonNo);
  scripted->QueueAnswer(kButtonAbort);
  auto previous = SetMessagePresenter(scripted);
  EXPECT_EQ(
      Message("Continue?", "Question", MessageIcon::kQuestion, kButtonYes | kButtonNo, kButtonYes),
      kButtonNo);
  EXPECT_EQ(
      Message("Stop", "Error", MessageIcon::kStop, kButtonAbort | kButtonIgnore, kButtonIgnore),
      kButtonAbort);
  // Script used up: the default answers, and the test can see it happened.
  EXPECT_EQ(
      Message("Again", "Error", MessageIcon::kStop, kButtonAbort | kButtonIgnore, kButtonIgnore),
      kButtonIgnore);
  const auto asked = scripted->requests();
  ASSERT_EQ(asked.size(), 3u);
  EXPECT_EQ(asked[0].text, "Continue?");
  EXPECT_EQ(asked[0].caption, "Question");
  EXPECT_EQ(asked[0].icon, MessageIcon::kQuestion);
  EXPECT_EQ(asked[1].buttons, kButtonAbort | kButtonIgnore);
  EXPECT_EQ(asked[2].default_button, kButtonIgnore);
  EXPECT_EQ(scripted->unscripted(), 1u);
  EXPECT_EQ(SetMessagePresenter(previous), scripted);
}

TEST(ScriptedPresenter, ManyThreadsAskAtOnce) {
  auto scripted = std::make_shared<ScriptedPresenter>();
  auto previous = SetMessagePresenter(scripted);
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i)
    threads.emplace_back([] {
      for (int j = 0; j < 50; ++j)
        EXPECT_EQ(Message("x", "y", MessageIcon::kNone, kButtonOk | kButtonCancel), kButtonOk);
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(scripted->requests().size(), 400u);
  SetMessagePresenter(previous);
}

}  // namespace
}  // namespace vm::runtime
