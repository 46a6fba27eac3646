#include "runtime/window.h"

#include <atomic>
#include <cassert>

#include "runtime/window_system.h"

namespace vm::runtime {

void RegisterOpenWindow(const std::shared_ptr<WindowModel>& w);
void UnregisterOpenWindow(const std::shared_ptr<WindowModel>& w);

namespace {
std::atomic<WindowId> next_window_id{1};
}  // namespace

Window::Window(std::string caption, WindowStyle style)
    : model_(std::make_shared<WindowModel>(next_window_id++, CurrentThread(), std::move(caption),
                                           style)),
      queue_(ThisThreadQueue()),
      open_sequence_(queue_.OpenSequence()) {}

Window::~Window() {
  if (state_ == State::kOpen) FinishClose();
}

void Window::CheckOwner() const {
  assert(CurrentThread() == model_->owner() && "window used off its owner thread");
}

ControlRef Window::Add(Control control) {
  CheckOwner();
  const int number = model_->AddControl(std::move(control));
  if (state_ == State::kOpen) model_->Announce(0);
  return ControlRef(model_, number);
}

ControlRef Window::AddKind(ControlKind kind, std::string use, std::string text) {
  Control c;
  c.kind = kind;
  c.use = std::move(use);
  c.text = std::move(text);
  return Add(std::move(c));
}

ControlRef Window::AddMenu(std::string text) {
  return AddKind(ControlKind::kMenu, "", std::move(text));
}

ControlRef Window::AddMenuItem(const ControlRef& menu, std::string use, std::string text,
                               std::string status_text) {
  Control c;
  c.kind = ControlKind::kMenuItem;
  c.use = std::move(use);
  c.text = std::move(text);
  c.status_text = std::move(status_text);
  c.parent = menu.number();
  return Add(std::move(c));
}

ControlRef Window::AddCheckItem(const ControlRef& menu, std::string use, std::string text,
                                bool checked) {
  Control c;
  c.kind = ControlKind::kCheckItem;
  c.use = std::move(use);
  c.text = std::move(text);
  c.value = std::string(1, checked ? '1' : '0');
  c.parent = menu.number();
  return Add(std::move(c));
}

ControlRef Window::AddPrompt(std::string text, std::string use) {
  return AddKind(ControlKind::kPrompt, std::move(use), std::move(text));
}

ControlRef Window::AddEntry(std::string use, std::string picture) {
  Control c;
  c.kind = ControlKind::kEntry;
  c.use = std::move(use);
  c.picture = std::move(picture);
  return Add(std::move(c));
}

ControlRef Window::AddSecretEntry(std::string use, std::string picture) {
  Control c;
  c.kind = ControlKind::kEntry;
  c.use = std::move(use);
  c.picture = std::move(picture);
  c.secret = true;
  return Add(std::move(c));
}

ControlRef Window::AddString(std::string use, std::string picture) {
  Control c;
  c.kind = ControlKind::kString;
  c.use = std::move(use);
  c.picture = std::move(picture);
  return Add(std::move(c));
}

ControlRef Window::AddText(std::string use) {
  return AddKind(ControlKind::kText, std::move(use), "");
}

ControlRef Window::AddDropList(std::string use, std::vector<std::string> choices) {
  Control c;
  c.kind = ControlKind::kDropList;
  c.use = std::move(use);
  c.choices = std::move(choices);
  return Add(std::move(c));
}

ControlRef Window::AddButton(std::string use, std::string text) {
  return AddKind(ControlKind::kButton, std::move(use), std::move(text));
}

ControlRef Window::AddList(std::string use, std::vector<ListColumn> columns) {
  Control c;
  c.kind = ControlKind::kList;
  c.use = std::move(use);
  c.columns = std::move(columns);
  return Add(std::move(c));
}

ControlRef Window::AddGroup(std::string text) {
  return AddKind(ControlKind::kGroup, "", std::move(text));
}

ControlRef Window::AddProgress(std::string use, int low, int high) {
  Control c;
  c.kind = ControlKind::kProgress;
  c.use = std::move(use);
  c.range_low = low;
  c.range_high = high;
  c.value = std::to_string(low);
  return Add(std::move(c));
}

void Window::Open() {
  CheckOwner();
  if (state_ != State::kDefined) return;
  state_ = State::kOpen;
  RegisterOpenWindow(model_);
  if (const auto r = CurrentRenderer()) r->WindowOpened(model_);
}

void Window::FinishClose() {
  state_ = State::kClosed;
  model_->MarkClosed();
  queue_.Drop(model_->id());
  UnregisterOpenWindow(model_);
  if (const auto r = CurrentRenderer()) r->WindowClosed(model_);
}

std::optional<Event> Window::Accept() {
  CheckOwner();
  if (state_ == State::kClosed) return std::nullopt;
  if (state_ == State::kDefined) Open();
  if (open_event_due_) {
    open_event_due_ = false;
    return EventFromNumber(kEventOpenWindow);
  }
  if (close_due_) {
    FinishClose();
    return EventFromNumber(kEventCloseWindow);
  }
  if (!saw_close_down_ && queue_.ClosingDown(open_sequence_)) {
    // A close-down taken by another window of this thread closes this one too.
    saw_close_down_ = true;
    close_due_ = true;
    return EventFromNumber(kEventCloseDown);
  }
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    if (timer_ > 0 && now >= timer_deadline_) {
      timer_deadline_ = now + std::chrono::milliseconds(10 * static_cast<int64_t>(timer_));
      return EventFromNumber(kEventTimer);
    }
    std::optional<Event> e = queue_.Take(
        model_->id(), timer_ > 0 ? std::optional<Deadline>(timer_deadline_) : std::nullopt);
    if (!e) continue;  // the timer ran out
    switch (e->kind) {
      case EventKind::kCloseWindow:
        FinishClose();
        return e;
      case EventKind::kCloseDown:
        saw_close_down_ = true;
        close_due_ = true;
        return e;
      case EventKind::kOpenWindow:
        continue;  // only the window itself makes this one
      default:
        return e;
    }
  }
}

void Window::Close() {
  model_->Post(kEventCloseWindow);
}

void Window::Post(int32_t number) {
  model_->Post(number);
}

void Window::SetTimer(int hundredths) {
  CheckOwner();
  timer_ = hundredths > 0 ? hundredths : 0;
  timer_deadline_ = std::chrono::steady_clock::now() +
                    std::chrono::milliseconds(10 * static_cast<int64_t>(timer_));
  model_->SetTimerShown(timer_);
}

ControlRef Window::control(std::string_view use) const {
  return ControlRef(model_, model_->NumberOf(use));
}

ControlRef Window::control(int number) const {
  return ControlRef(model_, model_->FindControl(number) ? number : 0);
}

}  // namespace vm::runtime
