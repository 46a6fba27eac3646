// Threads, posted events, accept loops, nested windows, timers and the
// renderer's view of windows. Timing is never asserted: only order and
// presence, with generous waits.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "runtime/thread.h"
#include "runtime/window.h"
#include "runtime/window_system.h"

namespace vm::runtime {
namespace {

using namespace std::chrono_literals;

constexpr int32_t kNetEvent = 2053;
constexpr int32_t kDone = 3000;
constexpr int32_t kGiveUp = 3999;

// Posts kGiveUp to the thread that made it when it lives longer than `limit`,
// so that a loop waiting for an event that never comes fails instead of hanging.
class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit = std::chrono::seconds(20))
      : thread_(CurrentThread()), timer_([this, limit] {
          std::unique_lock<std::mutex> lock(mu_);
          if (!cv_.wait_for(lock, limit, [this] { return done_; })) Post(thread_, kGiveUp);
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    cv_.notify_all();
    timer_.join();
  }

 private:
  const ThreadId thread_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread timer_;
};

// Accept, failing the test (and giving nullopt) when the watchdog gives up.
std::optional<Event> AcceptOrGiveUp(Window& w) {
  auto e = w.Accept();
  if (e && e->number == kGiveUp) {
    ADD_FAILURE() << "an expected event never came";
    return std::nullopt;
  }
  return e;
}

// Accepts events until one of `kind`/`number` arrives; returns everything seen.
std::vector<Event> AcceptUntil(Window& w, int32_t number) {
  std::vector<Event> seen;
  while (auto e = AcceptOrGiveUp(w)) {
    seen.push_back(*e);
    if (e->number == number) break;
  }
  return seen;
}

// Posts `number` to `thread` after `delay`, from a thread of its own.
std::thread PostLater(ThreadId thread, int32_t number, std::chrono::milliseconds delay) {
  return std::thread([=] {
    std::this_thread::sleep_for(delay);
    Post(thread, number);
  });
}

TEST(WindowLoop, OpenFirstThenPostedEventsInOrderThenClose) {
  // Posted before the window exists: still after kOpenWindow.
  ASSERT_TRUE(Post(CurrentThread(), kFirstUserEvent + 1));
  Window w("Send Mail");
  w.AddString("?STATUS", "@S50");
  w.Post(kFirstUserEvent + 2);
  Post(CurrentThread(), kNetEvent);
  w.Close();
  w.Post(kFirstUserEvent + 3);  // after the close: never delivered

  std::vector<int32_t> numbers;
  while (auto e = w.Accept()) numbers.push_back(e->number);
  EXPECT_EQ(numbers, (std::vector<int32_t>{kEventOpenWindow, kFirstUserEvent + 1,
                                           kFirstUserEvent + 2, kNetEvent, kEventCloseWindow}));
  EXPECT_FALSE(w.is_open());
  EXPECT_FALSE(w.Accept().has_value());
  // The dropped event does not linger for the thread's next window.
  Window next("Next");
  next.Close();
  std::vector<int32_t> after;
  while (auto e = next.Accept()) after.push_back(e->number);
  EXPECT_EQ(after, (std::vector<int32_t>{kEventOpenWindow, kEventCloseWindow}));
}

TEST(WindowLoop, EventsFromManyThreadsKeepEachSendersOrder) {
  Window w("Sink");
  const ThreadId me = CurrentThread();
  constexpr int kSenders = 4, kEach = 400;
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([=] {
      for (int i = 0; i < kEach; ++i) ASSERT_TRUE(Post(me, kFirstUserEvent + s * 1000 + i));
    });
  }
  std::map<int, int> last;  // sender -> last index seen
  int received = 0;
  Watchdog watchdog;
  while (auto e = AcceptOrGiveUp(w)) {
    if (e->kind != EventKind::kUser) continue;
    const int s = (e->number - kFirstUserEvent) / 1000, i = (e->number - kFirstUserEvent) % 1000;
    if (last.count(s) != 0) {
      EXPECT_GT(i, last[s]) << "sender " << s;
    }
    last[s] = i;
    if (++received == kSenders * kEach) w.Close();
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(received, kSenders * kEach);
  for (int s = 0; s < kSenders; ++s) EXPECT_EQ(last[s], kEach - 1);
}

TEST(WindowLoop, PostedEventsReachTheWindowOfTheRightThread) {
  std::atomic<ThreadId> a_id{0}, b_id{0};
  std::mutex mu;
  std::vector<int32_t> got_a, got_b;
  auto run = [&](std::atomic<ThreadId>& id, std::vector<int32_t>& got) {
    Window w("Worker");
    while (auto e = w.Accept()) {
      if (e->is(EventKind::kOpenWindow)) id = CurrentThread();
      if (e->kind == EventKind::kUser) {
        std::lock_guard<std::mutex> lock(mu);
        got.push_back(e->number);
        if (e->number == kDone) w.Close();
      }
    }
  };
  const ThreadId ta = StartThread([&] { run(a_id, got_a); });
  const ThreadId tb = StartThread([&] { run(b_id, got_b); });
  EXPECT_NE(ta, tb);
  EXPECT_NE(ta, CurrentThread());
  ASSERT_TRUE(Post(ta, kFirstUserEvent + 1));
  ASSERT_TRUE(Post(tb, kFirstUserEvent + 2));
  ASSERT_TRUE(Post(ta, kFirstUserEvent + 3));
  ASSERT_TRUE(Post(ta, kDone));
  ASSERT_TRUE(Post(tb, kDone));
  ASSERT_TRUE(WaitThread(ta, 20s));
  ASSERT_TRUE(WaitThread(tb, 20s));
  EXPECT_EQ(a_id.load(), ta);
  EXPECT_EQ(b_id.load(), tb);
  EXPECT_EQ(got_a, (std::vector<int32_t>{kFirstUserEvent + 1, kFirstUserEvent + 3, kDone}));
  EXPECT_EQ(got_b, (std::vector<int32_t>{kFirstUserEvent + 2, kDone}));
  // The threads have ended: posting to them fails.
  EXPECT_FALSE(Post(ta, kFirstUserEvent));
  EXPECT_FALSE(Post(12345678, kFirstUserEvent));
}

TEST(WindowLoop, NestedWindowRunsItsOwnLoopAndOuterEventsWait) {
  Window outer("Status");
  ASSERT_EQ(outer.Accept()->kind, EventKind::kOpenWindow);
  outer.SetTimer(1);  // runs out long before the inner window ends

  std::vector<Event> inner_events;
  {
    Window inner("Progress");
    inner.AddProgress("?PROGRESS1");
    outer.Post(kFirstUserEvent + 7);  // meant for the outer window
    // For whichever loop runs, from one sender so that their order is kept;
    // sent once the inner loop has opened, so they arrive while it runs.
    Watchdog watchdog;
    const auto opened = AcceptOrGiveUp(inner);
    ASSERT_TRUE(opened.has_value());
    inner_events.push_back(*opened);
    std::thread sender([me = CurrentThread()] {
      Post(me, kNetEvent);
      Post(me, kDone);
    });
    for (const Event& e : AcceptUntil(inner, kDone)) inner_events.push_back(e);
    sender.join();
    inner.Close();
    while (auto e = inner.Accept()) inner_events.push_back(*e);
  }
  std::vector<int32_t> inner_numbers;
  for (const Event& e : inner_events) inner_numbers.push_back(e.number);
  EXPECT_EQ(inner_numbers,
            (std::vector<int32_t>{kEventOpenWindow, kNetEvent, kDone, kEventCloseWindow}));

  // Back in the outer loop: the waiting event and the outer timer arrive.
  bool got_own = false, got_timer = false;
  Watchdog watchdog;
  while (!(got_own && got_timer)) {
    const auto e = AcceptOrGiveUp(outer);
    ASSERT_TRUE(e.has_value());
    got_own = got_own || e->number == kFirstUserEvent + 7;
    got_timer = got_timer || e->is(EventKind::kTimer);
  }
  outer.SetTimer(0);
  outer.Close();
  while (auto e = outer.Accept()) EXPECT_NE(e->kind, EventKind::kTimer);
}

TEST(WindowTimer, SwitchedOffAndOnAgain) {
  Window w("Frame", WindowStyle::kFrame);
  Watchdog watchdog;
  w.SetTimer(1);
  int timers = 0;
  while (timers < 3) {
    const auto e = AcceptOrGiveUp(w);
    ASSERT_TRUE(e.has_value());
    if (e->is(EventKind::kTimer)) ++timers;
  }
  // Off: nothing but the marker may come.
  w.SetTimer(0);
  EXPECT_EQ(w.timer(), 0);
  std::thread marker = PostLater(CurrentThread(), kDone, 200ms);
  const auto off = AcceptUntil(w, kDone);
  marker.join();
  for (const Event& e : off) EXPECT_NE(e.kind, EventKind::kTimer);
  EXPECT_EQ(off.back().number, kDone);

  // A long period does not fire before a marker posted at once...
  w.SetTimer(6000);
  Post(CurrentThread(), kDone);
  const auto long_period = AcceptUntil(w, kDone);
  ASSERT_EQ(long_period.size(), 1u);
  // ...and changing it to a short one takes effect at once.
  w.SetTimer(2);
  const auto e = AcceptOrGiveUp(w);
  ASSERT_TRUE(e.has_value());
  EXPECT_TRUE(e->is(EventKind::kTimer));
  EXPECT_EQ(w.model()->Snapshot().timer, 2);
}

TEST(WindowTimer, ARunOutTimerComesBeforeQueuedEvents) {
  Window w("Busy");
  ASSERT_EQ(w.Accept()->kind, EventKind::kOpenWindow);
  for (int i = 0; i < 1000; ++i) w.Post(kFirstUserEvent + i);
  w.SetTimer(1);
  std::this_thread::sleep_for(50ms);  // the timer has certainly run out
  const auto first = w.Accept();
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(first->is(EventKind::kTimer));
  // Then the queued events, still in order.
  w.SetTimer(0);
  for (int i = 0; i < 1000; ++i) {
    const auto e = w.Accept();
    ASSERT_TRUE(e.has_value());
    ASSERT_EQ(e->number, kFirstUserEvent + i);
  }
}

TEST(CloseDown, ClosesEveryWindowOfEveryThread) {
  std::atomic<int> closed_downs{0};
  std::atomic<bool> ready{false};
  const ThreadId worker = StartThread([&] {
    Window outer("Outer");
    Window inner("Inner");
    std::vector<EventKind> inner_kinds, outer_kinds;
    while (auto e = inner.Accept()) {
      if (e->is(EventKind::kOpenWindow)) ready = true;
      inner_kinds.push_back(e->kind);
    }
    while (auto e = outer.Accept()) outer_kinds.push_back(e->kind);
    if (inner_kinds == std::vector<EventKind>{EventKind::kOpenWindow, EventKind::kCloseDown,
                                              EventKind::kCloseWindow})
      ++closed_downs;
    if (outer_kinds == std::vector<EventKind>{EventKind::kOpenWindow, EventKind::kCloseDown,
                                              EventKind::kCloseWindow})
      ++closed_downs;
  });
  for (int i = 0; i < 2000 && !ready; ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(ready);
  PostCloseDownToAll();
  ASSERT_TRUE(WaitThread(worker, 20s));
  EXPECT_EQ(closed_downs.load(), 2);
  // This test's own thread took the close-down too; a thread-level wait sees it.
  const auto e = WaitThreadEvent(5s);
  ASSERT_TRUE(e.has_value());
  EXPECT_TRUE(e->is(EventKind::kCloseDown));
}

TEST(Threads, WaitForAThreadAndThreadEventsWithoutAWindow) {
  std::atomic<int> value{0};
  const ThreadId t = StartThread([&] {
    const auto e = WaitThreadEvent(20s);
    value = e ? e->number : -1;
  });
  EXPECT_FALSE(WaitThread(t, 20ms));  // still waiting for its event
  ASSERT_TRUE(Post(t, kNetEvent));
  ASSERT_TRUE(WaitThread(t, 20s));
  EXPECT_EQ(value.load(), kNetEvent);
  EXPECT_FALSE(WaitThread(CurrentThread(), 1ms));
  EXPECT_FALSE(WaitThreadEvent(10ms).has_value());
  StartThread([] {});
  StartThread([] { throw std::runtime_error("procedure failed"); });
  JoinThreads();  // returns once both have ended, the throwing one included
}

// A renderer that records what it is told and, on request, acts as a user
// from a thread of its own.
class RecordingRenderer : public Renderer {
 public:
  void WindowOpened(const std::shared_ptr<WindowModel>& w) override {
    Add("open " + w->Snapshot().caption);
  }
  void WindowChanged(const std::shared_ptr<WindowModel>& w, int control) override {
    const WindowState s =
        w->Snapshot();  // reading back from inside a notification must not deadlock
    Add("change " + s.caption + " " + std::to_string(control));
  }
  void WindowClosed(const std::shared_ptr<WindowModel>& w) override {
    Add("close " + w->Snapshot().caption);
  }
  std::vector<std::string> log() const {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
  }

 private:
  void Add(std::string s) {
    std::lock_guard<std::mutex> lock(mu_);
    log_.push_back(std::move(s));
  }
  mutable std::mutex mu_;
  std::vector<std::string> log_;
};

TEST(Renderer, SeesChangesAndSendsUserActionsBack) {
  auto renderer = std::make_shared<RecordingRenderer>();
  auto previous = SetRenderer(renderer);
  {
    Window frame("Send Mail - Quorvane", WindowStyle::kFrame);
    const ControlRef file = frame.AddMenu("&File");
    const ControlRef control = frame.AddMenuItem(file, "?FILECONTROL", "Control");
    const ControlRef spooler_menu = frame.AddMenu("Spooler");
    const ControlRef spooler =
        frame.AddCheckItem(spooler_menu, "?GLO:SPOOLERSPOOLERON", "Spooler On", true);
    const ControlRef port = frame.AddEntry("?CON:PORT", "@N2");
    frame.Open();
    EXPECT_EQ(OpenWindows().size(), 1u);

    // The user, on another thread, uses the menu and types in the entry.
    std::thread user([model = frame.model(), spooler, control, port] {
      const WindowState s = model->Snapshot();
      EXPECT_EQ(s.controls.size(), 5u);
      model->UserChoseMenuItem(spooler.number());
      model->UserChoseMenuItem(control.number());
      model->UserEdited(port.number(), "25");
      model->UserEdited(999, "ignored");  // no such control: nothing posted
      model->UserRequestedClose();
    });
    std::vector<Event> events;
    std::vector<bool> spooler_on;
    Watchdog watchdog;
    while (auto e = AcceptOrGiveUp(frame)) {
      events.push_back(*e);
      if (e->accepted(spooler.number())) spooler_on.push_back(spooler.checked());
    }
    user.join();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_TRUE(events[1].accepted(spooler.number()));
    EXPECT_TRUE(events[2].accepted(control.number()));
    EXPECT_TRUE(events[3].accepted(port.number()));
    EXPECT_TRUE(events[4].is(EventKind::kCloseWindow));
    EXPECT_EQ(spooler_on, std::vector<bool>{false});  // toggled before the event arrived
    EXPECT_EQ(port.int_value(), 25);
    EXPECT_TRUE(OpenWindows().empty());
  }
  const auto log = renderer->log();
  ASSERT_GE(log.size(), 4u);
  EXPECT_EQ(log.front(), "open Send Mail - Quorvane");
  EXPECT_EQ(log.back(), "close Send Mail - Quorvane");
  EXPECT_NE(std::find(log.begin(), log.end(), "change Send Mail - Quorvane 4"),
            log.end());  // the check item
  SetRenderer(previous);
}

TEST(Controls, LookupValuesAndConcurrentSnapshots) {
  Window w("Update Mailbox");
  w.AddPrompt("Mailbox :");
  const ControlRef box = w.AddEntry("?MAI:MAILBOX_NO", "@N3B");
  w.AddDropList("?MAI:ENABLE_EMAIL", {"YES", "NO"});
  Control ok;
  ok.kind = ControlKind::kButton;
  ok.use = "?OK";
  ok.text = "OK";
  ok.number = 7;
  w.Add(ok);
  const ControlRef list =
      w.AddList("?LIST", {{"Mail Box No", 31, "@N5B"}, {"Email Address", 147, "@S50"}});
  const ControlRef progress = w.AddProgress("?PROGRESS1", 0, 50);

  EXPECT_EQ(box.number(), 2);
  EXPECT_EQ(w.control("?ok").number(), 7);
  EXPECT_EQ(w.control("?OK").get().text, "OK");
  EXPECT_EQ(list.number(), 8);  // after the highest number so far
  EXPECT_EQ(w.control(8).get().columns.size(), 2u);
  EXPECT_EQ(w.control("?MAI:ENABLE_EMAIL").get().choices, (std::vector<std::string>{"YES", "NO"}));

  const ControlRef missing = w.control("?NOPE");
  EXPECT_FALSE(missing.exists());
  missing.set_value("x").hide();
  EXPECT_EQ(missing.value(), "");
  EXPECT_FALSE(w.control(42).exists());

  box.set_value(int64_t{101}).hide();
  EXPECT_EQ(box.int_value(), 101);
  EXPECT_FALSE(box.visible());
  list.set_rows({{"101", "a@example.com"}, {"102", ""}}).select(2);
  EXPECT_EQ(list.selected(), 2);
  list.set_rows({{"101", "a@example.com"}});
  EXPECT_EQ(list.selected(), 1);  // selection kept inside the rows

  // The owner changes the progress bar while another thread takes snapshots.
  std::atomic<bool> stop{false};
  std::thread reader([&, model = w.model()] {
    while (!stop) {
      const WindowState s = model->Snapshot();
      for (const Control& c : s.controls)
        if (c.use == "?PROGRESS1") {
          ASSERT_LE(std::stoi(c.value), 50);
        }
    }
  });
  for (int i = 0; i <= 50; ++i) progress.set_value(int64_t{i});
  stop = true;
  reader.join();
  EXPECT_EQ(progress.get().range_high, 50);
  EXPECT_EQ(progress.int_value(), 50);

  // A row chosen by the user: the selection is stored, then the event comes.
  list.set_rows({{"101", "a"}, {"102", "b"}, {"103", "c"}});
  w.model()->UserSelectedRow(list.number(), 3);
  w.Close();
  std::vector<Event> events;
  while (auto e = w.Accept()) events.push_back(*e);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_TRUE(events[1].is(EventKind::kNewSelection));
  EXPECT_EQ(events[1].control, list.number());
  EXPECT_EQ(list.selected(), 3);
}

TEST(Controls, ASecretIsHandedOverOnceAndNeverBecomesAValue) {
  Window w("Mail Security");
  const ControlRef user = w.AddEntry("?USER", "@S64");
  const ControlRef password = w.AddSecretEntry("?PASSWORD", "@S64");
  const std::shared_ptr<WindowModel> model = w.model();
  const std::string secret = "s3cret \xC3\xA9";
  model->UserEnteredSecret(password.number(), secret);
  model->UserEdited(password.number(), "typed as an edit");  // a renderer that forgot
  model->UserEnteredSecret(user.number(), "not a secret entry");
  model->UserEnteredSecret(password.number(), "");  // nothing typed: nothing handed
  for (const Control& c : model->Snapshot().controls) {
    EXPECT_EQ(c.value.find("s3cret"), std::string::npos) << c.use;
    EXPECT_EQ(c.value.find("typed"), std::string::npos) << c.use;
    EXPECT_EQ(c.text.find("s3cret"), std::string::npos) << c.use;
  }
  EXPECT_TRUE(password.get().secret);
  EXPECT_FALSE(user.get().secret);
  EXPECT_EQ(user.value(), "");
  // The latest typed text is the one taken, once.
  EXPECT_EQ(model->TakeSecret(password.number()), "typed as an edit");
  EXPECT_EQ(model->TakeSecret(password.number()), std::nullopt);
  EXPECT_EQ(model->TakeSecret(user.number()), std::nullopt);
  model->UserEnteredSecret(password.number(), secret);
  EXPECT_EQ(model->TakeSecret(password.number()), secret);

  // Each hand-over accepted the control, in order; nothing for the others.
  w.Close();
  std::vector<Event> events;
  while (auto e = w.Accept()) events.push_back(*e);
  ASSERT_EQ(events.size(), 5u);
  for (int i = 1; i <= 3; ++i) EXPECT_TRUE(events[i].accepted(password.number())) << i;
  EXPECT_TRUE(events[4].is(EventKind::kCloseWindow));
}

TEST(WindowSystem, DragFullWindowsSetting) {
  const bool before = DragFullWindows();
  SetDragFullWindows(!before);
  EXPECT_EQ(DragFullWindows(), !before);
  SetDragFullWindows(before);
  EXPECT_EQ(DragFullWindows(), before);
}

}  // namespace
}  // namespace vm::runtime
