#include "app_desk.h"

#include <mutex>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>

#include "app/value_rules.h"
#include "framework/ini_placement.h"
#include "gui/qt_presenter.h"
#include "gui_test_support.h"
#include "runtime/printer_setup.h"
#include "runtime/window.h"
#include "runtime/window_placement.h"
#include "runtime/window_system.h"

namespace vm::gui::testing {
namespace {

class CountingPrinterSetup final : public runtime::PrinterSetup {
 public:
  explicit CountingPrinterSetup(std::atomic<int>* calls) : calls_(calls) {}
  bool Run() override {
    ++*calls_;
    return false;
  }

 private:
  std::atomic<int>* calls_;
};

std::shared_ptr<runtime::WindowModel> FindWindow(const std::string& caption) {
  for (const auto& w : runtime::OpenWindows())
    if (w->Snapshot().caption == caption) return w;
  return nullptr;
}

}  // namespace

void AppDeskTest::SetUp() {
  GatewayTest::SetUp();
  TestApp();
  renderer_ = std::make_shared<QtRenderer>();
  runtime::SetRenderer(renderer_);
  runtime::SetMessagePresenter(std::make_shared<QtPresenter>());
  runtime::SetPrinterSetup(std::make_shared<CountingPrinterSetup>(&print_setups_));
  ini_.Open(std::filesystem::path(data_dir()) / framework::IniManager::kFileName);
  runtime::SetPlacementStore(std::make_shared<framework::IniPlacementStore>(&ini_));
}

void AppDeskTest::TearDown() {
  StopFrame();
  runtime::SetPlacementStore(nullptr);
  runtime::SetPrinterSetup(nullptr);
  runtime::SetRenderer(nullptr);
  renderer_.reset();
  // Boxes left open (a failed test) answer their default as the presenter goes.
  runtime::SetMessagePresenter(nullptr);
  relations_.reset();
  file_errors_.reset();
  errors_.reset();
  PumpUntil([] { return false; }, 50);  // let the GUI drop what was posted to it
  GatewayTest::TearDown();
}

void AppDeskTest::StartFrame(int timer, app::ScanOptions scan) {
  errors_ = std::make_shared<framework::ErrorManager>();
  app::AddValueMessages(errors_.get());  // as the program's start-up adds them
  file_errors_ = std::make_unique<framework::ErrorManagerErrors>(errors_.get());
  relations_ = std::make_unique<app::GatewayRelations>(data_dir(), file_errors_.get());
  app::FrameOptions o;
  o.data_dir = data_dir();
  o.relations = relations_.get();
  o.timer = timer;
  o.scan = scan;
  o.scan.dispatch.errors = errors_.get();
  auto opened = std::make_shared<std::atomic<bool>>(false);
  auto frame = std::make_shared<std::shared_ptr<runtime::WindowModel>>();
  auto mu = std::make_shared<std::mutex>();
  o.on_open = [opened, frame, mu](runtime::Window& w) {
    std::lock_guard<std::mutex> lock(*mu);
    *frame = w.model();
    *opened = true;
  };
  o.on_scan = [this](const app::ScanReport&) { ++passes_; };
  main_ = std::thread([o] { app::Main(o); });
  const bool shown = PumpUntil(
      [&] {
        if (!*opened) return false;
        std::lock_guard<std::mutex> lock(*mu);
        return renderer_->ViewOf((*frame)->id()) != nullptr;
      },
      10000);
  ASSERT_TRUE(shown) << "the frame never showed";
  frame_ = *frame;
}

void AppDeskTest::StopFrame() {
  if (!main_.joinable()) return;
  for (const auto& w : runtime::OpenWindows())
    if (w != frame_) w->UserRequestedClose();
  if (frame_) frame_->UserChoseMenuItem(frame_->NumberOf("?EXIT"));
  // Main waits for the windows it started; the GUI keeps running meanwhile,
  // since their message boxes (if any) are answered there.
  std::atomic<bool> done{false};
  std::thread joiner([&] {
    main_.join();
    done = true;
  });
  const bool ended = PumpUntil([&] { return done.load(); }, 60000);
  joiner.join();
  EXPECT_TRUE(ended) << "the frame procedure did not end";
  frame_.reset();
}

QAction* AppDeskTest::MenuItem(const QString& menu, const QString& text) const {
  for (QAction* m : renderer_->frame()->menuBar()->actions()) {
    if (m->text() != menu || m->menu() == nullptr) continue;
    for (QAction* a : m->menu()->actions())
      if (a->text() == text) return a;
  }
  return nullptr;
}

WindowView* AppDeskTest::WaitForWindow(const std::string& caption) {
  WindowView* view = nullptr;
  PumpUntil(
      [&] {
        const auto w = FindWindow(caption);
        view = w ? renderer_->ViewOf(w->id()) : nullptr;
        return view != nullptr;
      },
      10000);
  return view;
}

WindowView* AppDeskTest::OpenFromMenu(const QString& text, const std::string& caption) {
  QAction* item = MenuItem("&File", text);
  if (item == nullptr) return nullptr;
  item->trigger();
  return WaitForWindow(caption);
}

bool AppDeskTest::CloseWindow(WindowView* view) {
  const runtime::WindowId id = view->model()->id();
  QMdiSubWindow* sub = renderer_->SubWindowOf(id);
  if (sub == nullptr) return false;
  sub->close();  // the close box: asks the owner
  return PumpUntil([&] { return renderer_->ViewOf(id) == nullptr; }, 10000);
}

bool AppDeskTest::IsOpen(const std::string& caption) const {
  return FindWindow(caption) != nullptr;
}

std::vector<std::string> AppDeskTest::Prompts(WindowView* view) {
  std::vector<std::string> out;
  for (const runtime::Control& c : view->model()->Snapshot().controls)
    if (c.kind == runtime::ControlKind::kPrompt)
      if (auto* label = qobject_cast<QLabel*>(view->WidgetOf(c.number)))
        out.push_back(label->text().toStdString());
  return out;
}

std::vector<std::string> AppDeskTest::Buttons(WindowView* view) {
  std::vector<std::string> out;
  for (const runtime::Control& c : view->model()->Snapshot().controls)
    if (auto* b = qobject_cast<QPushButton*>(view->WidgetOf(c.number)))
      out.push_back(b->text().toStdString());
  return out;
}

QMessageBox* AppDeskTest::WaitForMessageBox() {
  QMessageBox* box = nullptr;
  PumpUntil(
      [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
          if (auto* b = qobject_cast<QMessageBox*>(w); b != nullptr && b->isVisible()) box = b;
        return box != nullptr;
      },
      10000);
  return box;
}

app::ControlRow AppDeskTest::Settings() {
  app::GatewayFiles files(data_dir());
  app::OpenTable open(files, app::Table::kControl);
  auto& con = files.control();
  EXPECT_TRUE(con.Set() == 0 && con.Next() == 0) << "no settings record";
  return app::ReadControl(con.buffer());
}

std::vector<app::MailboxRow> AppDeskTest::MailboxRows() {
  std::vector<app::MailboxRow> rows;
  app::GatewayFiles files(data_dir());
  app::OpenTable open(files, app::Table::kMailboxes);
  auto& mai = files.mailboxes();
  for (bool ok = mai.Set() == 0 && mai.Next() == 0; ok; ok = mai.Next() == 0)
    rows.push_back(app::ReadMailbox(mai.buffer()));
  return rows;
}

}  // namespace vm::gui::testing
