// The error history's entries and what the history window shows. Plain value
// types, safe to copy between threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "runtime/message_box.h"

namespace vm::framework {

// One remembered error.
struct HistoryEntry {
  std::string category;
  std::string text;  // the substituted message, at most 1024 bytes
  uint16_t id = 0;
};

// What the history window shows and offers.
struct HistoryView {
  std::string caption;  // the message title, or "Errors History"
  std::string text;     // the current message
  runtime::MessageIcon icon = runtime::MessageIcon::kNone;
  uint32_t buttons = runtime::kButtonOk;
  uint32_t default_button = 0;
  std::vector<HistoryEntry> entries;  // oldest first
  // How a headless answer logs it (MessageRequest::priority).
  std::optional<platform::DiagPriority> priority;
};

}  // namespace vm::framework
