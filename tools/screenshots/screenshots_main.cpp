// vm-screenshots: renders every window of voicemail-mailer with the real Qt
// renderer and saves one PNG per window, named after its caption. It makes a
// working directory with demo data, runs the real procedures (the frame and
// the windows of its menu, a scan pass against a loopback server that never
// answers, a stop message, the error history) and takes each window once it
// is shown and drawn. Every wait is bounded.
//
//   vm-screenshots [--out DIR] [--keep]
//     --out DIR  where the PNG files go (default: screenshots)
//     --keep     keep the working directory and print where it is
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTreeWidget>

#include "app/frame.h"
#include "app/gateway_files.h"
#include "app/gateway_relations.h"
#include "app/mail_settings.h"
#include "app/settings_file.h"
#include "app/stop_message.h"
#include "demo_tables.h"
#include "framework/error_manager.h"
#include "framework/file_errors.h"
#include "gui/qt_presenter.h"
#include "gui/qt_renderer.h"
#include "gui/window_view.h"
#include "net/net_runtime.h"
#include "platform/diag_sink.h"
#include "platform/socket.h"
#include "runtime/message_box.h"
#include "runtime/thread.h"
#include "runtime/window.h"
#include "runtime/window_system.h"
#include "shots.h"

namespace vm::screenshots {
namespace {

namespace fs = std::filesystem;
using Model = std::shared_ptr<runtime::WindowModel>;

constexpr int kShowMs = 20000;   // a window shows within this
constexpr int kCloseMs = 10000;  // and goes within this once asked
constexpr int kSettleMs = 300;   // pending layouts and repaints

// The open runtime window whose state `match` accepts; null when none.
Model FindWindow(const std::function<bool(const runtime::WindowState&)>& match) {
  for (const Model& w : runtime::OpenWindows())
    if (match(w->Snapshot())) return w;
  return nullptr;
}

std::function<bool(const runtime::WindowState&)> Captioned(const std::string& caption) {
  return [caption](const runtime::WindowState& s) {
    return s.caption == caption && s.style != runtime::WindowStyle::kFrame;
  };
}

template <typename T>
T* ChildWhere(QWidget* in, const std::function<bool(T*)>& match) {
  for (T* w : in->findChildren<T*>())
    if (match(w)) return w;
  return nullptr;
}

QPushButton* Button(QWidget* in, const QString& text) {
  return ChildWhere<QPushButton>(in, [&](QPushButton* b) { return b->text() == text; });
}

bool LineEditHolds(QWidget* in, const QString& text) {
  return ChildWhere<QLineEdit>(in, [&](QLineEdit* e) { return e->text().contains(text); });
}

bool ListHasRows(QWidget* in, int rows) {
  return ChildWhere<QTreeWidget>(
             in, [&](QTreeWidget* t) { return t->topLevelItemCount() >= rows; }) != nullptr;
}

class Session {
 public:
  Session(Album* album, gui::QtRenderer* renderer, framework::ErrorManager* errors,
          framework::FileErrors* file_errors, std::string missing_dir)
      : album_(*album),
        renderer_(*renderer),
        errors_(*errors),
        file_errors_(file_errors),
        missing_dir_(std::move(missing_dir)) {}

  // The frame with its "&File" menu open.
  bool Frame() {
    QMenu* menu = nullptr;
    const bool shown = PumpUntil(
        [&] {
          QMainWindow* frame = renderer_.frame();
          menu = frame != nullptr && frame->isVisible() ? FileMenu() : nullptr;
          return menu != nullptr && menu->actions().size() >= 5;
        },
        kShowMs);
    if (!shown) return Miss("the frame with its File menu did not show");
    QMainWindow* frame = renderer_.frame();
    QMenuBar* bar = frame->menuBar();
    bar->setActiveAction(menu->menuAction());
    if (!PumpUntil([&] { return menu->isVisible(); }, 2000))
      menu->popup(bar->mapToGlobal(bar->actionGeometry(menu->menuAction()).bottomLeft()));
    if (!PumpUntil([&] { return menu->isVisible(); }, kShowMs))
      return Miss("the File menu did not open");
    Settle(kSettleMs);
    const QString caption = frame->windowTitle();
    const bool saved =
        album_.Save(WithTitleBar(Grab(frame, menu), caption, frame), caption.toStdString());
    menu->hide();
    bar->setActiveAction(nullptr);
    Settle(kSettleMs);
    return saved;
  }

  // Chooses `item` in the File menu and waits for the child window it opens.
  Model Choose(const QString& item, const std::string& caption,
               const std::function<bool(QWidget*)>& ready) {
    QAction* action = nullptr;
    if (QMenu* menu = FileMenu()) {
      for (QAction* a : menu->actions())
        if (a->text() == item) action = a;
    }
    if (action == nullptr) {
      Miss("no \"" + item.toStdString() + "\" in the File menu");
      return nullptr;
    }
    action->trigger();
    return Await(Captioned(caption), ready, "\"" + caption + "\"");
  }

  // Waits until the window `match` accepts is shown and `ready` holds for it.
  Model Await(const std::function<bool(const runtime::WindowState&)>& match,
              const std::function<bool(QWidget*)>& ready, const std::string& what) {
    Model model;
    const bool shown = PumpUntil(
        [&] {
          model = FindWindow(match);
          QMdiSubWindow* sub = model ? renderer_.SubWindowOf(model->id()) : nullptr;
          return sub != nullptr && sub->isVisible() && ready(sub);
        },
        kShowMs);
    if (!shown) {
      Miss(what + " did not show");
      return nullptr;
    }
    Settle(kSettleMs);
    return model;
  }

  bool Shoot(const Model& model, const std::string& fallback = "") {
    if (!model) return false;
    QMdiSubWindow* sub = renderer_.SubWindowOf(model->id());
    if (sub == nullptr) return Miss("a window went before it was taken");
    return album_.Save(Grab(sub), model->Snapshot().caption, fallback);
  }

  // Asks the owner to close the window (its close box) and waits until it went.
  bool Close(const Model& model) {
    if (!model) return false;
    model->UserRequestedClose();
    const bool gone = PumpUntil(
        [&] { return model->closed() && renderer_.ViewOf(model->id()) == nullptr; }, kCloseMs);
    return gone || Miss("\"" + model->Snapshot().caption + "\" did not close");
  }

  // The mailbox list, the form of its first row, and an insert the list
  // refuses (message 20, kept in the error history).
  void Mailboxes() {
    const Model list =
        Choose("MailBoxes", "MailBoxes", [](QWidget* w) { return ListHasRows(w, 3); });
    if (!Shoot(list)) return;
    QMdiSubWindow* sub = renderer_.SubWindowOf(list->id());
    if (auto* tree = sub->findChild<QTreeWidget*>()) tree->setCurrentItem(tree->topLevelItem(0));
    Settle(kSettleMs);
    if (QPushButton* change = Button(sub, "&Change")) {
      change->click();
      const Model form = Await(
          Captioned("Update Mailbox"), [](QWidget* w) { return LineEditHolds(w, "@demo.invalid"); },
          "\"Update Mailbox\"");
      Shoot(form);
      Close(form);
    } else {
      Miss("no \"&Change\" button in \"MailBoxes\"");
    }
    if (QPushButton* insert = Button(sub, "&Insert")) {
      const size_t before = errors_.History().size();
      errors_.SetSilent(true);
      insert->click();
      if (!PumpUntil([&] { return errors_.History().size() > before; }, kShowMs))
        Miss("the refused insert was not reported");
      errors_.SetSilent(false);
    }
    Close(list);
  }

  // The mail security window over settings of a provider, a test mail
  // started: the silent server holds it after its first line.
  void Security(const std::string& data_dir) {
    auto settings = app::SettingsFile::Read(data_dir);
    if (!settings.ok()) {
      Miss("the settings file: " + settings.status().message());
      return;
    }
    settings->Set(app::kKeySecurity, "starttls");
    settings->Set(app::kKeyUser, "voicemail@demo.invalid");
    settings->Set(app::kKeyPassword, "demo password");
    if (!settings->Write().ok()) Miss("the settings file was not written");
    const Model w = Choose("Security...", "Mail Security",
                           [](QWidget* s) { return LineEditHolds(s, "NetSendMail"); });
    if (!w) return;
    gui::WindowView* view = renderer_.ViewOf(w->id());
    auto* to = qobject_cast<QLineEdit*>(view->WidgetOf(w->NumberOf("?TESTADDRESS")));
    auto* send = qobject_cast<QPushButton*>(view->WidgetOf(w->NumberOf("?SENDTEST")));
    auto* transcript = qobject_cast<QPlainTextEdit*>(view->WidgetOf(w->NumberOf("?TRANSCRIPT")));
    if (to == nullptr || send == nullptr || transcript == nullptr) {
      Miss("\"Mail Security\" lacks its test mail controls");
      return;
    }
    to->setText("ann@demo.invalid");
    to->setModified(true);
    send->click();
    if (!PumpUntil([&] { return transcript->toPlainText().contains("Sending a test mail"); },
                   kShowMs))
      Miss("the test mail did not start");
    Settle(kSettleMs);
    Shoot(w);
    Close(w);
  }

  // A pass started from the menu, held mid-send by the silent server: the
  // status window and the progress window.
  void Scan() {
    if (!Choose("Send Mail", "Send Mail", [](QWidget* w) {
          return ChildWhere<QLabel>(w, [](QLabel* l) { return !l->text().trimmed().isEmpty(); });
        }))
      return;
    const Model progress = Await(
        [](const runtime::WindowState& s) {
          for (const runtime::Control& c : s.controls)
            if (c.use == "?PROGRESS1") return true;
          return false;
        },
        [](QWidget* w) { return w->findChild<QProgressBar*>() != nullptr; }, "the progress window");
    const Model status = FindWindow(Captioned("Send Mail"));
    Shoot(status);
    Shoot(progress, "Progress");
  }

  // A stop message with the storage error of a table that cannot be opened,
  // raised on a procedure thread through the Qt presenter; answered Ignore.
  void Stop() {
    const std::string dir = missing_dir_;
    const runtime::ThreadId t = runtime::StartThread([dir] {
      app::GatewayFiles files(dir);
      files.Open(app::Table::kControl);
      app::StopMessage(files.control());
    });
    QMessageBox* box = nullptr;
    const bool shown = PumpUntil(
        [&] {
          for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* b = qobject_cast<QMessageBox*>(w);
            if (b != nullptr && b->isVisible() && b->windowTitle() == "Stop") box = b;
          }
          return box != nullptr;
        },
        kShowMs);
    if (shown) {
      Settle(kSettleMs);
      album_.Save(WithTitleBar(Grab(box), box->windowTitle(), box, true),
                  box->windowTitle().toStdString());
      if (QAbstractButton* ignore = box->button(QMessageBox::Ignore)) ignore->click();
    } else {
      Miss("the stop message did not show");
    }
    if (!PumpUntil([&] { return runtime::WaitThread(t, std::chrono::milliseconds(0)); }, kCloseMs))
      Miss("the stop message was not answered");
  }

  // The error manager's history window, after one more real error: a table
  // of a missing folder that cannot be created (reported silently; the
  // message is fatal, and the tool's exit handler lets it go on).
  void History() {
    errors_.SetSilent(true);
    {
      app::GatewayRelations missing(missing_dir_, file_errors_);
      // The file managers open lazily: this open goes to the disk.
      if (missing.file(app::Table::kMailboxes).Open(true, true) == 0)
        missing.file(app::Table::kMailboxes).Close();
    }
    errors_.SetSilent(false);
    framework::ErrorManager* errors = &errors_;
    const runtime::ThreadId t = runtime::StartThread([errors] { errors->ViewHistory(); });
    const Model window = Await(
        Captioned(std::string(framework::ErrorManager::kHistoryCaption)),
        [](QWidget* w) { return ListHasRows(w, 1); }, "\"Errors History\"");
    Shoot(window);
    if (window) {
      if (QPushButton* ok = Button(renderer_.SubWindowOf(window->id()), "O&k")) ok->click();
    }
    if (!PumpUntil([&] { return runtime::WaitThread(t, std::chrono::milliseconds(0)); }, kCloseMs))
      Miss("\"Errors History\" did not close");
  }

  void Exit() {
    if (QMenu* menu = FileMenu()) {
      for (QAction* a : menu->actions())
        if (a->text() == "E&xit") a->trigger();
    }
  }

 private:
  QMenu* FileMenu() {
    QMainWindow* frame = renderer_.frame();
    if (frame == nullptr) return nullptr;
    for (QAction* a : frame->menuBar()->actions())
      if (a->text() == "&File" && a->menu() != nullptr) return a->menu();
    return nullptr;
  }
  bool Miss(const std::string& what) {
    album_.Missed(what);
    return false;
  }

  Album& album_;
  gui::QtRenderer& renderer_;
  framework::ErrorManager& errors_;
  framework::FileErrors* file_errors_;
  std::string missing_dir_;
};

struct Args {
  std::string out = "screenshots";
  bool keep = false;
};

fs::path MakeWorkDir() {
  std::random_device random;
  for (;;) {
    const fs::path p = fs::temp_directory_path() / ("vm-screenshots-" + std::to_string(random()));
    if (fs::create_directory(p)) return p;
  }
}

// A loopback port nobody listens on (the failed send of the demo data).
uint16_t ClosedPort() {
  int fd = -1;
  uint16_t port = 0;
  if (platform::SocketListenLoopback(&fd, &port, 1) != 0) return 0;
  platform::SocketClose(fd);
  return port;
}

// An SMTP server that accepts connections and never answers, so a send
// stays in flight. Its port is below 32768, which the settings' port field
// (a signed 16-bit number) shows as it is. GUI thread only.
class SilentServer {
 public:
  bool Listen() {
    server_.setMaxPendingConnections(1000);
    for (quint16 port = 2525; port < 2625; ++port)
      if (server_.listen(QHostAddress::LocalHost, port)) return true;
    return server_.listen(QHostAddress::LocalHost, 0);
  }
  uint16_t port() const { return server_.serverPort(); }
  // Resets every connection: the send in flight fails at once.
  void Close() {
    while (QTcpSocket* s = server_.nextPendingConnection()) s->abort();
    server_.close();
  }

 private:
  QTcpServer server_;
};

// The frame procedure with the program's error manager and relation
// managers on a procedure thread, while the GUI thread takes the pictures.
void TakePictures(const DemoPaths& paths, const fs::path& work, SilentServer* server,
                  Album* album) {
  auto renderer = std::make_shared<gui::QtRenderer>();
  runtime::SetRenderer(renderer);
  runtime::SetMessagePresenter(std::make_shared<gui::QtPresenter>());
  // Abort is never pressed here; if it were, the tool goes on.
  app::SetAbortHandler([] {});

  framework::ErrorManager errors;
  errors.SetHistoryThreshold(10);
  errors.SetLogPath((work / "TarnError.Log").string());
  // A fatal message ends the program; here it must not end the pictures.
  errors.SetExitHandler([](int) {});
  framework::ErrorManagerErrors file_errors(&errors);
  std::atomic<bool> stop{false};
  std::atomic<bool> main_done{false};
  {
    app::GatewayRelations relations(paths.data_dir, &file_errors);
    app::FrameOptions frame;
    frame.data_dir = paths.data_dir;
    frame.relations = &relations;
    frame.timer = 100 * 3600;  // no timed pass while the pictures are taken
    frame.scan.stop = &stop;
    frame.scan.dispatch.errors = &errors;
    frame.scan.dispatch.reply_timeout_ms = 20000;
    frame.scan.dispatch.send_timeout_ms = 30000;
    frame.scan.dispatch.progress_timer = 10;
    const runtime::ThreadId main_thread = runtime::StartThread([frame, &main_done] {
      app::Main(frame);
      main_done = true;
    });

    Session session(album, renderer.get(), &errors, &file_errors,
                    (work / "no-such-folder" / "data").string());
    if (session.Frame()) {
      Model w = session.Choose("Control", "Control File",
                               [](QWidget* s) { return LineEditHolds(s, "127.0.0.1"); });
      session.Shoot(w);
      session.Close(w);
      session.Security(paths.data_dir);
      session.Mailboxes();
      w = session.Choose("View Log", "Browse Records",
                         [](QWidget* s) { return ListHasRows(s, 5); });
      session.Shoot(w);
      session.Close(w);
      session.Scan();
    }
    // The pass in flight fails at once and no other starts.
    stop = true;
    server->Close();
    session.Stop();
    session.History();
    session.Exit();
    if (!PumpUntil([&] { return main_done.load(); }, kCloseMs)) {
      album->Missed("the frame did not close on E&xit; closing every window");
      runtime::PostCloseDownToAll();
      PumpUntil([&] { return main_done.load(); }, 60000);
    }
    runtime::SetMessagePresenter(nullptr);
    if (!main_done || !runtime::WaitThread(main_thread, std::chrono::milliseconds(30000))) {
      std::fprintf(stderr, "vm-screenshots: the frame procedure does not end; giving up\n");
      std::_Exit(1);
    }
  }
  runtime::SetRenderer(nullptr);
  renderer.reset();
  runtime::JoinThreads();
}

Args Parse(int argc, char** argv, bool* ok) {
  Args a;
  *ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--out" && i + 1 < argc) {
      a.out = argv[++i];
    } else if (arg == "--keep") {
      a.keep = true;
    } else {
      *ok = false;
    }
  }
  return a;
}

}  // namespace

int Main(int argc, char** argv) {
  bool ok = false;
  const Args args = Parse(argc, argv, &ok);
  if (!ok) {
    std::fprintf(stderr, "usage: vm-screenshots [--out DIR] [--keep]\n");
    return 2;
  }
  std::error_code ec;
  fs::create_directories(args.out, ec);
  const fs::path work = MakeWorkDir();
  // The profile, registry and window places of this run stay in its folder.
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((work / "config").string()));
  if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
    const fs::path runtime_dir = work / "runtime";
    fs::create_directories(runtime_dir, ec);
    fs::permissions(runtime_dir, fs::perms::owner_all, ec);
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime_dir.string()));
  }
  auto trace = platform::FileSink::Open((work / "trace.log").string());
  if (trace) platform::SetDiagSink(trace);

  QApplication app(argc, argv);
  app.setQuitOnLastWindowClosed(false);
  SilentServer server;
  const uint16_t closed = ClosedPort();
  if (closed == 0 || !server.Listen()) {
    std::fprintf(stderr, "vm-screenshots: no loopback port to listen on\n");
    return 1;
  }
  net::NetRuntimeOptions net_options;
  net_options.program_name = "vm-screenshots";
  net_options.registry_file = work / "registry.ini";
  net_options.connect_timeout_ms = 5000;
  net::NetRuntime::Start(std::move(net_options));

  const DemoPaths paths{(work / "data").string(), (work / "voicemail").string()};
  Album album(args.out);
  const std::string error = MakeDemoData(paths, closed, server.port());
  if (!error.empty()) {
    album.Missed("demo data: " + error);
  } else {
    TakePictures(paths, work, &server, &album);
  }
  server.Close();
  net::NetRuntime::Shutdown();
  platform::SetDiagSink(nullptr);

  for (const std::string& name : album.saved())
    std::printf("%s\n", (fs::path(args.out) / name).string().c_str());
  if (args.keep) {
    std::printf("working directory kept: %s\n", work.string().c_str());
  } else {
    fs::remove_all(work, ec);
  }
  return album.missed().empty() ? 0 : 1;
}

}  // namespace vm::screenshots

int main(int argc, char** argv) {
  return vm::screenshots::Main(argc, argv);
}
