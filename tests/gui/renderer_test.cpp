// The Qt renderer against real runtime windows run by procedure threads:
// what the owner defines and changes shows as widgets, and what the user does
// reaches the owner thread as events.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStatusBar>
#include <QTreeWidget>

#include "gui/qt_renderer.h"
#include "gui/window_view.h"
#include "gui_test_support.h"
#include "runtime/picture.h"
#include "runtime/window.h"
#include "runtime/window_placement.h"
#include "runtime/window_system.h"

namespace vm::gui {
namespace {

using namespace std::chrono_literals;
using runtime::Event;
using runtime::EventKind;
using testing::PumpUntil;

constexpr int32_t kChangeValues = runtime::kFirstUserEvent;
constexpr int32_t kBlock = runtime::kFirstUserEvent + 1;

// What the owner thread saw, shared with the test's main thread.
struct Owner {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Event> events;
  std::vector<runtime::ThreadId> event_threads;
  runtime::ThreadId thread = 0;
  std::shared_ptr<runtime::WindowModel> model;
  bool closed = false;
  bool release = false;  // ends a kBlock wait
  std::atomic<bool> blocked{false};

  std::shared_ptr<runtime::WindowModel> Model() {
    std::lock_guard<std::mutex> lock(mu);
    return model;
  }
  bool Saw(EventKind kind, int control = 0) {
    std::lock_guard<std::mutex> lock(mu);
    for (const Event& e : events)
      if (e.kind == kind && (control == 0 || e.control == control)) return true;
    return false;
  }
  bool Closed() {
    std::lock_guard<std::mutex> lock(mu);
    return closed;
  }
};

// A window with one control of every kind, run until closed.
void RunWindow(Owner& owner, runtime::WindowStyle style) {
  runtime::Window w(style == runtime::WindowStyle::kFrame ? "Send Mail - Quorvane" : "Mailboxes",
                    style);
  const auto menu = w.AddMenu("&Spooler");
  w.AddMenuItem(menu, "?SendMail", "Send Mail", "Scan for new messages now");
  w.AddCheckItem(menu, "?SpoolerOn", "Spooler On", true);
  w.AddPrompt("Server:");
  w.AddEntry("?Server", "@S40").set_value("mail.example.org");
  w.AddEntry("?Port", "@N5").set_value(int64_t{25});
  w.AddString("?STATUS", "@S50").set_value("Idle");
  w.AddText("?Log").set_value("first|line");
  w.AddDropList("?Mode", {"Plain", "HTML"}).set_value("HTML");
  const auto group = w.AddGroup("Options");
  runtime::Control check;
  check.kind = runtime::ControlKind::kButton;
  check.use = "?Test";
  check.text = "&Test";
  check.parent = group.number();
  w.Add(check);
  w.AddList("?Boxes", {{"Box", 20, "@N4"}, {"Owner", 60, "@S30"}})
      .set_rows({{"101", "Ann"}, {"7", "Bob"}});
  w.AddProgress("?PROGRESS1", 0, 200).set_value(int64_t{50});
  w.AddEntry("?Since", "@D6");
  {
    std::lock_guard<std::mutex> lock(owner.mu);
    owner.model = w.model();
    owner.thread = runtime::CurrentThread();
  }
  while (auto ev = w.Accept()) {
    {
      std::lock_guard<std::mutex> lock(owner.mu);
      owner.events.push_back(*ev);
      owner.event_threads.push_back(runtime::CurrentThread());
    }
    if (ev->number == kChangeValues) {
      w.control("?STATUS").set_value("Sending 3 of 9");
      w.control("?PROGRESS1").set_value(int64_t{150});
      w.control("?Boxes").set_rows({{"5", "Cy"}}).select(1);
      w.control("?Test").set_text("Again").set_enabled(false);
      w.SetCaption("Mailboxes (1)");
    } else if (ev->number == kBlock) {
      std::unique_lock<std::mutex> lock(owner.mu);
      owner.blocked = true;
      owner.cv.wait(lock, [&] { return owner.release; });
      owner.blocked = false;
    }
  }
  std::lock_guard<std::mutex> lock(owner.mu);
  owner.closed = true;
}

class RendererTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::TestApp();
    renderer_ = std::make_shared<QtRenderer>();
    runtime::SetRenderer(renderer_);
  }
  void TearDown() override {
    for (const auto& w : runtime::OpenWindows()) w->Post(runtime::kEventCloseWindow);
    for (auto& owner : owners_) {
      std::lock_guard<std::mutex> lock(owner->mu);
      owner->release = true;
      owner->cv.notify_all();
    }
    runtime::JoinThreads();
    runtime::SetRenderer(nullptr);
    renderer_.reset();
  }

  // Starts the window and waits until its widgets exist.
  WindowView* Start(Owner& owner, runtime::WindowStyle style) {
    runtime::StartThread([&owner, style] { RunWindow(owner, style); });
    WindowView* view = nullptr;
    const bool shown = PumpUntil([&] {
      const auto model = owner.Model();
      view = model ? renderer_->ViewOf(model->id()) : nullptr;
      return view != nullptr && owner.Saw(EventKind::kOpenWindow);
    });
    EXPECT_TRUE(shown) << "the window never appeared";
    return view;
  }
  template <typename T>
  T* Widget(WindowView* view, const char* use) {
    return qobject_cast<T*>(view->WidgetOf(view->model()->NumberOf(use)));
  }

  // Owners outlive the test body: TearDown ends their threads first.
  Owner& NewOwner() { return *owners_.emplace_back(std::make_unique<Owner>()); }

  std::shared_ptr<QtRenderer> renderer_;
  std::vector<std::unique_ptr<Owner>> owners_;
};

TEST_F(RendererTest, EveryControlKindShowsAsAWidgetWithItsText) {
  Owner& owner = NewOwner();
  WindowView* view = Start(owner, runtime::WindowStyle::kChild);
  ASSERT_NE(view, nullptr);
  QMdiSubWindow* sub = renderer_->SubWindowOf(owner.Model()->id());
  ASSERT_NE(sub, nullptr);
  EXPECT_EQ(sub->windowTitle(), "Mailboxes");
  EXPECT_TRUE(sub->isVisible());

  auto* prompt = qobject_cast<QLabel*>(view->WidgetOf(4));
  ASSERT_NE(prompt, nullptr);
  EXPECT_EQ(prompt->text(), "Server:");
  ASSERT_NE(Widget<QLineEdit>(view, "?Server"), nullptr);
  EXPECT_EQ(Widget<QLineEdit>(view, "?Server")->text(), "mail.example.org");
  EXPECT_EQ(Widget<QLineEdit>(view, "?Port")->text(), "   25");  // right-aligned in 5
  EXPECT_EQ(Widget<QLabel>(view, "?STATUS")->text(), "Idle");
  EXPECT_EQ(Widget<QPlainTextEdit>(view, "?Log")->toPlainText(), "first|line");
  auto* mode = Widget<QComboBox>(view, "?Mode");
  ASSERT_NE(mode, nullptr);
  EXPECT_EQ(mode->count(), 2);
  EXPECT_EQ(mode->currentText(), "HTML");
  auto* button = Widget<QPushButton>(view, "?Test");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text(), "&Test");
  auto* group = qobject_cast<QGroupBox*>(view->WidgetOf(10));
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->title(), "Options");
  EXPECT_TRUE(group->isAncestorOf(button)) << "a grouped control sits inside its group";
  auto* list = Widget<QTreeWidget>(view, "?Boxes");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->headerItem()->text(0), "Box");
  EXPECT_EQ(list->headerItem()->text(1), "Owner");
  ASSERT_EQ(list->topLevelItemCount(), 2);
  EXPECT_EQ(list->topLevelItem(0)->text(0), " 101");
  EXPECT_EQ(list->topLevelItem(1)->text(1), "Bob");
  auto* progress = Widget<QProgressBar>(view, "?PROGRESS1");
  ASSERT_NE(progress, nullptr);
  EXPECT_EQ(progress->maximum(), 200);
  EXPECT_EQ(progress->value(), 50);

  // A child's menus live in a menu bar of its own.
  QAction* check = view->ActionOf(3);
  ASSERT_NE(check, nullptr);
  EXPECT_EQ(check->text(), "Spooler On");
  EXPECT_TRUE(check->isCheckable());
  EXPECT_TRUE(check->isChecked());
  EXPECT_EQ(view->ActionOf(2)->statusTip(), "Scan for new messages now");
}

TEST_F(RendererTest, ValuesTheOwnerChangesShowInTheWidgets) {
  Owner& owner = NewOwner();
  WindowView* view = Start(owner, runtime::WindowStyle::kChild);
  ASSERT_NE(view, nullptr);
  owner.Model()->Post(kChangeValues);
  auto* status = Widget<QLabel>(view, "?STATUS");
  ASSERT_TRUE(PumpUntil([&] { return status->text() == "Sending 3 of 9"; }))
      << "status shows " << status->text().toStdString();
  auto* list = Widget<QTreeWidget>(view, "?Boxes");
  ASSERT_TRUE(PumpUntil([&] { return list->topLevelItemCount() == 1; }));
  EXPECT_EQ(list->topLevelItem(0)->text(1), "Cy");
  EXPECT_EQ(list->currentItem(), list->topLevelItem(0));
  EXPECT_EQ(Widget<QProgressBar>(view, "?PROGRESS1")->value(), 150);
  auto* button = Widget<QPushButton>(view, "?Test");
  EXPECT_EQ(button->text(), "Again");
  EXPECT_FALSE(button->isEnabled());
  EXPECT_TRUE(PumpUntil([&] {
    return renderer_->SubWindowOf(owner.Model()->id())->windowTitle() == "Mailboxes (1)";
  }));
  // The owner's own selection is no user action: no new-selection event.
  EXPECT_FALSE(owner.Saw(EventKind::kNewSelection));
}

TEST_F(RendererTest, UserActionsArriveAsEventsOnTheOwnerThread) {
  Owner& owner = NewOwner();
  WindowView* view = Start(owner, runtime::WindowStyle::kChild);
  ASSERT_NE(view, nullptr);
  const auto model = owner.Model();

  Widget<QPushButton>(view, "?Test")->click();
  const int test = model->NumberOf("?Test");
  ASSERT_TRUE(PumpUntil([&] { return owner.Saw(EventKind::kAccepted, test); }))
      << "button press lost";

  view->ActionOf(3)->trigger();  // "Spooler On"
  ASSERT_TRUE(PumpUntil([&] { return owner.Saw(EventKind::kAccepted, 3); })) << "menu choice lost";
  EXPECT_EQ(model->FindControl(3)->value, "0") << "the check item was not switched off";
  ASSERT_TRUE(PumpUntil([&] { return !view->ActionOf(3)->isChecked(); }));

  auto* server = Widget<QLineEdit>(view, "?Server");
  server->setText("smtp.example.net");
  server->setModified(true);
  emit server->editingFinished();
  const int server_no = model->NumberOf("?Server");
  ASSERT_TRUE(PumpUntil([&] { return owner.Saw(EventKind::kAccepted, server_no); }));
  EXPECT_EQ(model->FindControl(server_no)->value, "smtp.example.net");

  Widget<QComboBox>(view, "?Mode")->activated(0);
  const int mode_no = model->NumberOf("?Mode");
  ASSERT_TRUE(PumpUntil([&] { return owner.Saw(EventKind::kAccepted, mode_no); }));
  EXPECT_EQ(model->FindControl(mode_no)->value, "Plain");

  auto* list = Widget<QTreeWidget>(view, "?Boxes");
  list->setCurrentItem(list->topLevelItem(1));
  const int list_no = model->NumberOf("?Boxes");
  ASSERT_TRUE(PumpUntil([&] { return owner.Saw(EventKind::kNewSelection, list_no); }));
  EXPECT_EQ(model->FindControl(list_no)->selected, 2);

  std::lock_guard<std::mutex> lock(owner.mu);
  for (runtime::ThreadId t : owner.event_threads) EXPECT_EQ(t, owner.thread);
}

TEST_F(RendererTest, EntryTextThePictureCannotReadIsRefused) {
  Owner& owner = NewOwner();
  WindowView* view = Start(owner, runtime::WindowStyle::kChild);
  ASSERT_NE(view, nullptr);
  const auto model = owner.Model();
  const int since = model->NumberOf("?Since");
  auto* edit = Widget<QLineEdit>(view, "?Since");
  ASSERT_NE(edit, nullptr);
  edit->setText("31/04/2024");  // there is no 31 April
  edit->setModified(true);
  emit edit->editingFinished();
  EXPECT_EQ(edit->text(), "") << "the unreadable text stayed";
  edit->setText("1/05/2024");
  edit->setModified(true);
  emit edit->editingFinished();
  ASSERT_TRUE(PumpUntil([&] { return owner.Saw(EventKind::kAccepted, since); }));
  const std::string stored = model->FindControl(since)->value;
  EXPECT_EQ(stored, *runtime::DeformatPicture(*runtime::ParsePicture("@D6"), "01/05/2024"));
  {
    std::lock_guard<std::mutex> lock(owner.mu);
    int accepted = 0;
    for (const Event& e : owner.events) accepted += e.accepted(since) ? 1 : 0;
    EXPECT_EQ(accepted, 1) << "the refused text was passed on";
  }
  ASSERT_TRUE(PumpUntil([&] { return edit->text() == " 1/05/2024"; }))
      << edit->text().toStdString();
}

TEST_F(RendererTest, TheCloseBoxAsksTheOwnerAndTheWindowGoesWhenItCloses) {
  Owner& owner = NewOwner();
  WindowView* view = Start(owner, runtime::WindowStyle::kChild);
  ASSERT_NE(view, nullptr);
  const runtime::WindowId id = owner.Model()->id();
  QMdiSubWindow* sub = renderer_->SubWindowOf(id);
  ASSERT_NE(sub, nullptr);
  sub->close();
  ASSERT_TRUE(PumpUntil([&] { return owner.Closed(); })) << "the owner's loop never saw the close";
  EXPECT_TRUE(owner.Saw(EventKind::kCloseWindow));
  ASSERT_TRUE(PumpUntil([&] { return renderer_->ViewOf(id) == nullptr; })) << "the widgets stayed";
  EXPECT_TRUE(renderer_->frame()->findChildren<QMdiSubWindow*>().isEmpty());
}

TEST_F(RendererTest, TheFrameTakesTheMenuBarAndStatusBar) {
  Owner& owner = NewOwner();
  WindowView* view = Start(owner, runtime::WindowStyle::kFrame);
  ASSERT_NE(view, nullptr);
  QMainWindow* frame = renderer_->frame();
  EXPECT_EQ(frame->windowTitle(), "Send Mail - Quorvane");
  EXPECT_EQ(renderer_->SubWindowOf(owner.Model()->id()), nullptr);
  const auto menus = frame->menuBar()->actions();
  ASSERT_EQ(menus.size(), 1);
  EXPECT_EQ(menus.front()->text(), "&Spooler");
  ASSERT_EQ(menus.front()->menu()->actions().size(), 2);
  EXPECT_EQ(menus.front()->menu()->actions().at(0)->text(), "Send Mail");
  auto* status = Widget<QLabel>(view, "?STATUS");
  ASSERT_NE(status, nullptr);
  EXPECT_TRUE(frame->statusBar()->isAncestorOf(status));

  menus.front()->menu()->actions().at(0)->trigger();
  ASSERT_TRUE(PumpUntil([&] { return owner.Saw(EventKind::kAccepted, 2); }));
  owner.Model()->Post(runtime::kEventCloseWindow);
  ASSERT_TRUE(PumpUntil(
      [&] { return owner.Closed() && renderer_->ViewOf(owner.Model()->id()) == nullptr; }));
  EXPECT_TRUE(frame->menuBar()->actions().isEmpty()) << "the closed frame window's menus stayed";
}

TEST_F(RendererTest, TheGuiKeepsRunningWhileTheOwnerThreadBlocks) {
  Owner& owner = NewOwner();
  WindowView* view = Start(owner, runtime::WindowStyle::kChild);
  ASSERT_NE(view, nullptr);
  owner.Model()->Post(kBlock);
  ASSERT_TRUE(PumpUntil([&] { return owner.blocked.load(); }));

  // A posted event is handled by the GUI loop while the owner is stuck.
  std::atomic<bool> handled{false};
  bool owner_blocked_then = false;
  const auto sent = std::chrono::steady_clock::now();
  std::thread poster([&] {
    QMetaObject::invokeMethod(
        &testing::TestApp(),
        [&] {
          owner_blocked_then = owner.blocked.load();
          handled = true;
        },
        Qt::QueuedConnection);
  });
  poster.join();
  ASSERT_TRUE(PumpUntil([&] { return handled.load(); }, 2000)) << "the GUI loop did not run";
  const auto round_trip = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - sent);
  std::printf("GUI event round trip while the owner blocks: %.2f ms (target < 100 ms)\n",
              static_cast<double>(round_trip.count()) / 1000.0);
  EXPECT_TRUE(owner_blocked_then);

  // A click meanwhile waits for the owner and arrives once it runs again.
  Widget<QPushButton>(view, "?Test")->click();
  const int test = owner.Model()->NumberOf("?Test");
  EXPECT_FALSE(owner.Saw(EventKind::kAccepted, test));
  {
    std::lock_guard<std::mutex> lock(owner.mu);
    owner.release = true;
  }
  owner.cv.notify_all();
  ASSERT_TRUE(PumpUntil([&] { return owner.Saw(EventKind::kAccepted, test); }));
}

// A placement store that remembers in memory.
class MemoryPlacements final : public runtime::PlacementStore {
 public:
  runtime::ScreenPlacement Fetch(std::string_view name, const runtime::ScreenPlacement& defaults,
                                 const std::optional<runtime::ScreenRect>&) override {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = saved_.find(std::string(name));
    return it == saved_.end() ? defaults : it->second;
  }
  void Update(std::string_view name, const runtime::ScreenPlacement& p) override {
    std::lock_guard<std::mutex> lock(mu_);
    saved_[std::string(name)] = p;
  }
  std::optional<runtime::ScreenPlacement> Saved(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = saved_.find(name);
    return it == saved_.end() ? std::nullopt : std::optional(it->second);
  }
  std::mutex mu_;
  std::map<std::string, runtime::ScreenPlacement> saved_;
};

TEST_F(RendererTest, AWindowOpensWhereItWasLeftAndOnTheVisibleArea) {
  auto store = std::make_shared<MemoryPlacements>();
  runtime::SetPlacementStore(store);
  store->Update("Mailboxes", {30, 40, 300, 200, false});
  {
    Owner& owner = NewOwner();
    WindowView* view = Start(owner, runtime::WindowStyle::kChild);
    ASSERT_NE(view, nullptr);
    QMdiSubWindow* sub = renderer_->SubWindowOf(owner.Model()->id());
    EXPECT_EQ(sub->geometry(), QRect(30, 40, 300, 200));
    sub->setGeometry(50, 60, 320, 210);
    owner.Model()->Post(runtime::kEventCloseWindow);
    ASSERT_TRUE(PumpUntil([&] { return renderer_->ViewOf(owner.Model()->id()) == nullptr; }));
    const auto saved = store->Saved("Mailboxes");
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(*saved, (runtime::ScreenPlacement{50, 60, 320, 210, false}));
    runtime::JoinThreads();
  }
  // A place far off the area (another screen, since unplugged) is pulled back.
  store->Update("Mailboxes", {5000, -300, 200, 100, false});
  Owner& owner = NewOwner();
  WindowView* view = Start(owner, runtime::WindowStyle::kChild);
  ASSERT_NE(view, nullptr);
  QMdiSubWindow* sub = renderer_->SubWindowOf(owner.Model()->id());
  const QRect area(QPoint(0, 0), sub->mdiArea()->viewport()->size());
  EXPECT_TRUE(area.contains(sub->geometry())) << "window at " << sub->x() << "," << sub->y();
  EXPECT_EQ(sub->width(), 200);
  runtime::SetPlacementStore(nullptr);
}

}  // namespace
}  // namespace vm::gui
