#include "framework/history_window.h"

#include <vector>

namespace vm::framework {
namespace {

constexpr uint32_t kButtonBits[] = {
    runtime::kButtonOk,    runtime::kButtonYes,    runtime::kButtonNo,     runtime::kButtonAbort,
    runtime::kButtonRetry, runtime::kButtonIgnore, runtime::kButtonCancel, runtime::kButtonHelp};

const char* IconName(runtime::MessageIcon icon) {
  switch (icon) {
    case runtime::MessageIcon::kInformation:
      return "Information";
    case runtime::MessageIcon::kQuestion:
      return "Question";
    case runtime::MessageIcon::kExclamation:
      return "Exclamation";
    case runtime::MessageIcon::kStop:
      return "Stop";
    case runtime::MessageIcon::kNone:
      break;
  }
  return "";
}

}  // namespace

std::string HistoryButtonLabel(uint32_t bit) {
  switch (bit) {
    case runtime::kButtonOk:
      return "O&k";
    case runtime::kButtonYes:
      return "&Yes";
    case runtime::kButtonNo:
      return "&No";
    case runtime::kButtonAbort:
      return "&Abort";
    case runtime::kButtonRetry:
      return "&Retry";
    case runtime::kButtonIgnore:
      return "&Ignore";
    case runtime::kButtonCancel:
      return "&Cancel";
    case runtime::kButtonHelp:
      return "&Help";
    default:
      return "";
  }
}

std::string HistoryButtonUse(uint32_t bit) {
  return "?Button" + std::to_string(bit);
}

void DefineHistoryWindow(runtime::Window& window, const HistoryView& view) {
  window.AddPrompt(IconName(view.icon), kHistoryImage);
  window.AddText(kHistoryText).set_value(view.text);
  std::vector<std::vector<std::string>> rows;
  rows.reserve(view.entries.size());
  for (const HistoryEntry& e : view.entries) rows.push_back({e.text, e.category});
  window.AddList(kHistoryList, {{"Message", 200, "@S255"}, {"Category", 60, "@S40"}})
      .set_rows(std::move(rows));
  for (uint32_t bit : kButtonBits) {
    if ((view.buttons & bit) != 0) window.AddButton(HistoryButtonUse(bit), HistoryButtonLabel(bit));
  }
}

uint32_t RunHistoryWindow(const HistoryView& view) {
  runtime::Window window(view.caption, runtime::WindowStyle::kDialog);
  DefineHistoryWindow(window, view);
  runtime::MessageRequest request{view.text,    view.caption,        view.icon,
                                  view.buttons, view.default_button, {}};
  request.priority = view.priority;
  uint32_t answer = request.EffectiveDefault();
  while (auto e = window.Accept()) {
    if (!e->is(runtime::EventKind::kAccepted)) continue;
    for (uint32_t bit : kButtonBits) {
      if ((view.buttons & bit) != 0 &&
          e->control == window.control(HistoryButtonUse(bit)).number()) {
        answer = bit;
        window.Close();
      }
    }
  }
  return answer;
}

}  // namespace vm::framework
