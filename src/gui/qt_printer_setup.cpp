#include "gui/qt_printer_setup.h"

#include <atomic>
#include <future>

#include <QMetaObject>
#include <QPageSetupDialog>
#include <QPrinter>
#include <QThread>

namespace vm::gui {

struct QtPrinterSetup::Answer {
  std::promise<bool> promise;
  std::atomic<bool> given{false};
  void Give(bool accepted) {
    if (!given.exchange(true)) promise.set_value(accepted);
  }
};

QtPrinterSetup::QtPrinterSetup() : context_(new QObject), shown_(std::make_shared<Shown>()) {
  shown_->printer = std::make_unique<QPrinter>();
}

QtPrinterSetup::~QtPrinterSetup() {
  if (QThread::currentThread() == context_->thread()) {
    Close();
    delete context_;
  } else {
    {
      std::lock_guard<std::mutex> lock(mu_);
      detached_ = true;
    }
    context_->deleteLater();
  }
}

void QtPrinterSetup::Close() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    detached_ = true;
  }
  if (shown_->pending) shown_->pending->Give(false);
  delete shown_->dialog.data();
}

bool QtPrinterSetup::Run() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (detached_) return false;
  }
  if (QThread::currentThread() == context_->thread()) {
    QPageSetupDialog dialog(shown_->printer.get());
    return dialog.exec() == QDialog::Accepted;
  }
  auto answer = std::make_shared<Answer>();
  std::future<bool> result = answer->promise.get_future();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (detached_) return false;  // closed meanwhile
    QMetaObject::invokeMethod(
        context_,
        [shown = shown_, answer] {
          // One dialog at a time: a second request while it shows is cancelled.
          if (!shown->dialog.isNull()) return answer->Give(false);
          auto* dialog = new QPageSetupDialog(shown->printer.get());
          dialog->setAttribute(Qt::WA_DeleteOnClose);
          shown->dialog = dialog;
          shown->pending = answer;
          QObject::connect(dialog, &QDialog::finished, dialog,
                           [answer](int code) { answer->Give(code == QDialog::Accepted); });
          dialog->open();
        },
        Qt::QueuedConnection);
  }
  try {
    return result.get();
  } catch (const std::future_error&) {
    return false;  // the work was dropped unrun: the GUI has ended
  }
}

}  // namespace vm::gui
