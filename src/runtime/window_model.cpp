#include "runtime/window_model.h"

#include <algorithm>

#include "platform/ascii_text.h"
#include "runtime/fixed_text.h"
#include "runtime/text_number.h"
#include "runtime/window_system.h"

namespace vm::runtime {

WindowModel::WindowModel(WindowId id, ThreadId owner, std::string caption, WindowStyle style)
    : id_(id), owner_(owner), style_(style), caption_(std::move(caption)) {}

WindowState WindowModel::Snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  WindowState s;
  s.id = id_;
  s.owner = owner_;
  s.caption = caption_;
  s.style = style_;
  s.timer = timer_;
  s.controls = controls_;
  return s;
}

std::optional<Control> WindowModel::FindControl(int number) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const Control& c : controls_)
    if (c.number == number) return c;
  return std::nullopt;
}

int WindowModel::NumberOf(std::string_view use) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const Control& c : controls_)
    if (!c.use.empty() && platform::EqualsIgnoreCase(c.use, use)) return c.number;
  return 0;
}

Control* WindowModel::Find(int number) {
  for (Control& c : controls_)
    if (c.number == number) return &c;
  return nullptr;
}

void WindowModel::PostToOwner(const Event& e) {
  if (closed_) return;
  if (const auto q = QueueOf(owner_)) q->Push(id_, e);
}

void WindowModel::Post(int32_t number, int control) {
  PostToOwner(EventFromNumber(number, control));
}

void WindowModel::UserAccepted(int control) {
  Post(kEventAccepted, control);
}

void WindowModel::UserChoseMenuItem(int control) {
  Modify(control, [](Control& c) {
    if (c.kind == ControlKind::kCheckItem) c.value = std::string(1, c.value == "1" ? '0' : '1');
  });
  Post(kEventAccepted, control);
}

void WindowModel::UserEdited(int control, std::string value) {
  // A secret never becomes a value, whichever way it arrives.
  if (const auto c = FindControl(control); c && c->secret)
    return UserEnteredSecret(control, std::move(value));
  if (Modify(control, [&](Control& c) { c.value = std::move(value); }))
    Post(kEventAccepted, control);
}

void WindowModel::UserEnteredSecret(int control, std::string secret) {
  if (secret.empty()) return;
  {
    std::lock_guard<std::mutex> lock(mu_);
    const Control* c = Find(control);
    if (c == nullptr || !c->secret) return;
    secrets_[control] = std::move(secret);
  }
  Post(kEventAccepted, control);
}

std::optional<std::string> WindowModel::TakeSecret(int control) {
  std::lock_guard<std::mutex> lock(mu_);
  const auto it = secrets_.find(control);
  if (it == secrets_.end()) return std::nullopt;
  std::optional<std::string> secret = std::move(it->second);
  secrets_.erase(it);
  return secret;
}

void WindowModel::UserSelectedRow(int control, int row) {
  if (Modify(control, [row](Control& c) { c.selected = row; })) Post(kEventNewSelection, control);
}

void WindowModel::UserScrolled(int control, int32_t how) {
  if (EventFromNumber(how).is(EventKind::kScroll)) Post(how, control);
}

void WindowModel::UserRequestedClose() {
  Post(kEventCloseWindow);
}

void WindowModel::SetCaption(std::string caption) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    caption_ = std::move(caption);
  }
  Announce(0);
}

void WindowModel::SetTimerShown(int hundredths) {
  std::lock_guard<std::mutex> lock(mu_);
  timer_ = hundredths;
}

int WindowModel::AddControl(Control control) {
  std::lock_guard<std::mutex> lock(mu_);
  if (control.number == 0) {
    int highest = 0;
    for (const Control& c : controls_) highest = std::max(highest, c.number);
    control.number = highest + 1;
  }
  const int number = control.number;
  controls_.push_back(std::move(control));
  return number;
}

void WindowModel::Announce(int control) {
  if (const auto r = CurrentRenderer()) r->WindowChanged(shared_from_this(), control);
}

Control ControlRef::get() const {
  if (!exists()) return Control();
  return window_->FindControl(number_).value_or(Control());
}

int64_t ControlRef::int_value() const {
  return TextToNumber(value());
}

const ControlRef& ControlRef::set_value(std::string value) const {
  if (exists()) window_->Modify(number_, [&](Control& c) { c.value = std::move(value); });
  return *this;
}

const ControlRef& ControlRef::set_value(int64_t value) const {
  return set_value(std::to_string(value));
}

const ControlRef& ControlRef::set_text(std::string text) const {
  if (exists()) window_->Modify(number_, [&](Control& c) { c.text = std::move(text); });
  return *this;
}

const ControlRef& ControlRef::set_visible(bool on) const {
  if (exists()) window_->Modify(number_, [on](Control& c) { c.visible = on; });
  return *this;
}

const ControlRef& ControlRef::set_enabled(bool on) const {
  if (exists()) window_->Modify(number_, [on](Control& c) { c.enabled = on; });
  return *this;
}

const ControlRef& ControlRef::set_range(int low, int high) const {
  if (exists())
    window_->Modify(number_, [=](Control& c) {
      c.range_low = low;
      c.range_high = high;
    });
  return *this;
}

const ControlRef& ControlRef::set_rows(std::vector<std::vector<std::string>> rows) const {
  if (exists())
    window_->Modify(number_, [&](Control& c) {
      c.rows = std::move(rows);
      if (c.selected > static_cast<int>(c.rows.size()))
        c.selected = static_cast<int>(c.rows.size());
    });
  return *this;
}

const ControlRef& ControlRef::select(int row) const {
  if (exists()) window_->Modify(number_, [row](Control& c) { c.selected = row; });
  return *this;
}

}  // namespace vm::runtime
