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
  // An answer a caller on another thread waits for; given once.
  struct Answer;
  struct Shown {
    QPointer<QMessageBox> box;
    std::shared_ptr<Answer> answer;
    uint32_t fallback;
  };
  // Boxes shown for other threads, GUI thread only: when the presenter goes
  // their callers get the default and the boxes close.
  std::shared_ptr<std::vector<Shown>> shown_;
  std::mutex mu_;
  bool detached_ = false;  // under mu_
};

}  // namespace vm::gui
