#include "gui/qt_presenter.h"

#include <atomic>
#include <future>
#include <memory>

#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>
#include <QThread>

namespace vm::gui {
namespace {

using runtime::MessageIcon;

struct ButtonMap {
  uint32_t ours;
  QMessageBox::StandardButton qt;
};

constexpr ButtonMap kButtons[] = {
    {runtime::kButtonOk, QMessageBox::Ok},         {runtime::kButtonYes, QMessageBox::Yes},
    {runtime::kButtonNo, QMessageBox::No},         {runtime::kButtonAbort, QMessageBox::Abort},
    {runtime::kButtonRetry, QMessageBox::Retry},   {runtime::kButtonIgnore, QMessageBox::Ignore},
    {runtime::kButtonCancel, QMessageBox::Cancel}, {runtime::kButtonHelp, QMessageBox::Help},
};

QMessageBox::Icon IconOf(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kInformation:
      return QMessageBox::Information;
    case MessageIcon::kQuestion:
      return QMessageBox::Question;
    case MessageIcon::kExclamation:
      return QMessageBox::Warning;
    case MessageIcon::kStop:
      return QMessageBox::Critical;
    case MessageIcon::kNone:
      break;
  }
  return QMessageBox::NoIcon;
}

// A dialog for `request`, not yet shown; deletes itself when closed.
QMessageBox* MakeBox(const runtime::MessageRequest& request) {
  auto* box = new QMessageBox;
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowTitle(QString::fromStdString(request.caption));
  box->setText(QString::fromStdString(request.text).replace(QChar('|'), QChar('\n')));
  box->setIcon(IconOf(request.icon));
  const uint32_t buttons = request.buttons == 0 ? runtime::kButtonOk : request.buttons;
  const uint32_t default_button = request.EffectiveDefault();
  for (const ButtonMap& b : kButtons) {
    if ((buttons & b.ours) == 0) continue;
    // Help answers like any other button instead of leaving the box open.
    QPushButton* button = b.qt == QMessageBox::Help
                              ? box->addButton(QMessageBox::tr("Help"), QMessageBox::AcceptRole)
                              : box->addButton(b.qt);
    button->setProperty("vm_button", b.ours);
    if (b.ours == default_button) box->setDefaultButton(button);
  }
  return box;
}

uint32_t AnswerOf(QMessageBox* box, uint32_t fallback) {
  QAbstractButton* clicked = box->clickedButton();
  const QVariant ours = clicked == nullptr ? QVariant() : clicked->property("vm_button");
  return ours.isValid() ? ours.toUInt() : fallback;
}

}  // namespace

struct QtPresenter::Answer {
  std::promise<uint32_t> promise;
  std::atomic<bool> given{false};
  void Give(uint32_t button) {
    if (!given.exchange(true)) promise.set_value(button);
  }
};

QtPresenter::QtPresenter()
    : context_(new QObject), shown_(std::make_shared<std::vector<Shown>>()) {}

QtPresenter::~QtPresenter() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    detached_ = true;
  }
  if (QThread::currentThread() == context_->thread()) {
    delete context_;
    for (const Shown& shown : *shown_) {
      shown.answer->Give(shown.fallback);
      delete shown.box.data();
    }
  } else
    context_->deleteLater();
}

uint32_t QtPresenter::Present(const runtime::MessageRequest& request) {
  const uint32_t fallback = request.EffectiveDefault();
  if (QThread::currentThread() == context_->thread()) {
    QMessageBox* box = MakeBox(request);
    box->setAttribute(Qt::WA_DeleteOnClose, false);
    box->exec();
    const uint32_t answer = AnswerOf(box, fallback);
    delete box;
    return answer;
  }
  // The GUI thread shows the box without a nested loop and fulfils the
  // promise when it closes; work dropped unrun (the GUI has ended) breaks the
  // promise, and the caller then takes the default.
  auto answer = std::make_shared<Answer>();
  std::future<uint32_t> result = answer->promise.get_future();
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (detached_) return fallback;
    QMetaObject::invokeMethod(
        context_,
        [request, answer, fallback, shown = shown_] {
          QMessageBox* box = MakeBox(request);
          std::erase_if(*shown, [](const Shown& s) { return s.box.isNull(); });
          shown->push_back({box, answer, fallback});
          QObject::connect(box, &QDialog::finished, box,
                           [box, answer, fallback](int) { answer->Give(AnswerOf(box, fallback)); });
          box->open();
        },
        Qt::QueuedConnection);
  }
  try {
    return result.get();
  } catch (const std::future_error&) {
    return fallback;
  }
}

}  // namespace vm::gui
