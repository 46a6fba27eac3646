// The model of one window: caption and controls, shared between the thread
// that owns the window and the renderer. Every method is safe from any thread:
// state sits behind the model's lock, readers get copies, and changes are
// announced to the renderer after the lock is released. User actions posted
// here reach the owner thread as events meant for this window only.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/control.h"
#include "runtime/event_queue.h"
#include "runtime/thread.h"

namespace vm::runtime {

enum class WindowStyle { kFrame, kChild, kDialog };

// A copy of a window's state at one moment.
struct WindowState {
  WindowId id = 0;
  ThreadId owner = 0;
  std::string caption;
  WindowStyle style = WindowStyle::kChild;
  int timer = 0;  // hundredths of a second, 0 = off
  std::vector<Control> controls;
};

class WindowModel : public std::enable_shared_from_this<WindowModel> {
 public:
  WindowModel(WindowId id, ThreadId owner, std::string caption, WindowStyle style);
  WindowModel(const WindowModel&) = delete;
  WindowModel& operator=(const WindowModel&) = delete;

  WindowId id() const { return id_; }
  ThreadId owner() const { return owner_; }
  WindowState Snapshot() const;
  std::optional<Control> FindControl(int number) const;
  // Number of the control with that use name (ASCII case ignored); 0 if none.
  int NumberOf(std::string_view use) const;

  // Posts event `number` to the owner thread, meant for this window only.
  void Post(int32_t number, int control = 0);

  // User actions, from the renderer.
  void UserAccepted(int control);
  // Check items toggle their value first, so the owner sees the new state.
  void UserChoseMenuItem(int control);
  // Stores what the user typed or chose, then accepts the control.
  void UserEdited(int control, std::string value);
  void UserSelectedRow(int control, int row);
  // Asks list `control` to show other rows: `how` is one of kEventScrollUp
  // ... kEventScrollBottom.
  void UserScrolled(int control, int32_t how);
  void UserRequestedClose();
  // What was typed into the secret entry `control`: kept apart from the
  // controls (no snapshot or value holds it) until the owner takes it, then
  // the control is accepted. An empty text is no secret and is dropped.
  void UserEnteredSecret(int control, std::string secret);
  // The secret typed into `control` since the last take, moved out; nullopt
  // when none was typed.
  std::optional<std::string> TakeSecret(int control);

  // Changes one control under the lock and announces it; false (and no
  // announcement) when the window has no control with that number.
  template <typename F>
  bool Modify(int number, F&& change) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      Control* c = Find(number);
      if (c == nullptr) return false;
      change(*c);
    }
    Announce(number);
    return true;
  }
  void SetCaption(std::string caption);
  void SetTimerShown(int hundredths);
  // Adds a control (owner, before the window opens); a number of 0 takes the
  // next free one. Returns the number.
  int AddControl(Control control);
  // Tells the renderer that `control` (0 = the window) changed.
  void Announce(int control);
  // Set by the owner when the window has closed; later posts are dropped.
  void MarkClosed() { closed_ = true; }
  bool closed() const { return closed_; }

 private:
  Control* Find(int number);
  void PostToOwner(const Event& e);

  const WindowId id_;
  const ThreadId owner_;
  std::atomic<bool> closed_{false};
  const WindowStyle style_;
  mutable std::mutex mu_;
  std::string caption_;
  int timer_ = 0;
  std::vector<Control> controls_;
  std::map<int, std::string> secrets_;  // typed into secret entries, not yet taken
};

// A handle on one control of a window, for reading and changing it:
// window.control("?STATUS").set_value("Scanning for new messages").
// A handle on a control that does not exist reads as empty and ignores changes.
class ControlRef {
 public:
  ControlRef() = default;
  ControlRef(std::shared_ptr<WindowModel> window, int number)
      : window_(std::move(window)), number_(number) {}

  bool exists() const { return window_ != nullptr && number_ != 0; }
  int number() const { return number_; }
  Control get() const;  // a copy; a default Control when missing

  std::string value() const { return get().value; }
  int64_t int_value() const;
  bool checked() const { return get().value == "1"; }
  bool visible() const { return get().visible; }
  int selected() const { return get().selected; }

  const ControlRef& set_value(std::string value) const;
  const ControlRef& set_value(int64_t value) const;
  const ControlRef& set_checked(bool on) const { return set_value(std::string(1, on ? '1' : '0')); }
  const ControlRef& set_text(std::string text) const;
  const ControlRef& set_visible(bool on) const;
  const ControlRef& set_enabled(bool on) const;
  const ControlRef& set_range(int low, int high) const;
  const ControlRef& set_rows(std::vector<std::vector<std::string>> rows) const;
  const ControlRef& select(int row) const;
  const ControlRef& hide() const { return set_visible(false); }
  const ControlRef& show() const { return set_visible(true); }

 private:
  std::shared_ptr<WindowModel> window_;
  int number_ = 0;
};

}  // namespace vm::runtime
