// Message boxes as Qt dialogs: the caption, the text ("|" breaks lines), the
// icon, the buttons and the default button of a runtime message request.
// Made on the GUI thread; Present is safe from any thread and blocks the
// caller until the GUI thread has the answer (the GUI itself never nests a
// loop for a caller on another thread).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include <QPointer>

#include "runtime/message_box.h"

class QMessageBox;

namespace vm::gui {

class QtPresenter final : public runtime::MessagePresenter {
 public:
  QtPresenter();
  ~QtPresenter() override;
  QtPresenter(const QtPresenter&) = delete;
  QtPresenter& operator=(const QtPresenter&) = delete;

  // The answer the user clicked; the request's default button when the
  // presenter goes (the GUI is ending) before anyone answers.
  uint32_t Present(const runtime::MessageRequest& request) override;

 private:
  QObject* context_;  // lives on the GUI thread
  // Boxes shown for other threads, GUI thread only: removed with the
  // presenter so that their callers get an answer.
  std::shared_ptr<std::vector<QPointer<QMessageBox>>> shown_;
  std::mutex mu_;
  bool detached_ = false;  // under mu_
};

}  // namespace vm::gui
