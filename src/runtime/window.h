// A window as its procedure sees it: define the controls, open it, and run
// its accept loop until it closes. A window belongs to the thread that made
// it (owner thread only, checked in debug builds); a window opened while
// another runs on the same thread has a loop of its own, and events meant for
// the outer window wait until the outer loop runs again.
//
//   Window w("Send Mail");
//   w.AddString("?STATUS", "@S50");
//   while (auto ev = w.Accept()) {
//     if (ev->is(EventKind::kOpenWindow)) ... w.Close();
//   }
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/event.h"
#include "runtime/window_model.h"

namespace vm::runtime {

class Window {
 public:
  explicit Window(std::string caption, WindowStyle style = WindowStyle::kChild);
  // Closes the window if its loop did not (the renderer is told).
  ~Window();
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // Definition; each returns the new control (numbered 1, 2, ... in order of
  // adding unless Add is given a number).
  ControlRef Add(Control control);
  ControlRef AddMenu(std::string text);
  ControlRef AddMenuItem(const ControlRef& menu, std::string use, std::string text,
                         std::string status_text = "");
  ControlRef AddCheckItem(const ControlRef& menu, std::string use, std::string text, bool checked);
  ControlRef AddPrompt(std::string text, std::string use = "");
  ControlRef AddEntry(std::string use, std::string picture);
  // An entry for a secret (see Control::secret); `picture` caps its length.
  ControlRef AddSecretEntry(std::string use, std::string picture);
  ControlRef AddString(std::string use, std::string picture);
  ControlRef AddText(std::string use);
  ControlRef AddDropList(std::string use, std::vector<std::string> choices);
  ControlRef AddButton(std::string use, std::string text);
  ControlRef AddList(std::string use, std::vector<ListColumn> columns);
  ControlRef AddGroup(std::string text);
  ControlRef AddProgress(std::string use, int low = 0, int high = 100);

  // Shows the window (tells the renderer). Accept opens it if this was not
  // called; the first event is always kOpenWindow.
  void Open();

  // The next event of this window, waiting as long as it takes. After the
  // kCloseWindow event the window is closed and Accept returns nullopt.
  // Order: kOpenWindow first; a timer that has run out before queued events;
  // queued events in arrival order; after kCloseDown comes kCloseWindow.
  std::optional<Event> Accept();

  // Asks the window to close: its loop returns kCloseWindow after the events
  // already queued for it. From another thread use model()->Post(kEventCloseWindow).
  void Close();
  // Posts event `number` to this window only.
  void Post(int32_t number);

  // Sets the timer period in hundredths of a second and starts the period
  // afresh; 0 switches the timer off.
  void SetTimer(int hundredths);
  int timer() const { return timer_; }

  ControlRef control(std::string_view use) const;
  ControlRef control(int number) const;
  void SetCaption(std::string caption) { model_->SetCaption(std::move(caption)); }
  // Asks the renderer to show the current state now.
  void Display() { model_->Announce(0); }

  const std::shared_ptr<WindowModel>& model() const { return model_; }
  WindowId id() const { return model_->id(); }
  ThreadId thread() const { return model_->owner(); }
  bool is_open() const { return state_ == State::kOpen; }

 private:
  enum class State { kDefined, kOpen, kClosed };
  void CheckOwner() const;
  void FinishClose();
  ControlRef AddKind(ControlKind kind, std::string use, std::string text);

  std::shared_ptr<WindowModel> model_;
  EventQueue& queue_;
  const uint64_t open_sequence_;  // windows made before a close-down close with it
  State state_ = State::kDefined;
  bool open_event_due_ = true;
  bool close_due_ = false;  // after kCloseDown
  bool saw_close_down_ = false;
  int timer_ = 0;
  std::chrono::steady_clock::time_point timer_deadline_;
};

}  // namespace vm::runtime
