// Events that a window's accept loop returns, and their numbers. A number
// posted to a thread becomes one of the standard kinds when it is one of the
// numbers below, otherwise a user event (such as 2053 from the socket layer).
// Plain values, safe to copy between threads.
#pragma once

#include <cstdint>

namespace vm::runtime {

enum class EventKind {
  kAccepted,      // a control was accepted or a menu item chosen; `control` says which
  kNewSelection,  // another row of a list was selected; `control` says which list
  kOpenWindow,    // the first event of every window
  kCloseWindow,   // the last event of every window
  kTimer,         // the window's timer ran out
  kCloseDown,     // the program is closing down; the window closes after it
  kScroll,        // a list is asked to scroll; `number` says how, `control` which list
  kUser,          // any other number
};

constexpr int32_t kEventAccepted = 1;
constexpr int32_t kEventNewSelection = 2;
// Scrolling a list beyond the rows it shows: one row, one page, or to an end.
constexpr int32_t kEventScrollUp = 3;
constexpr int32_t kEventScrollDown = 4;
constexpr int32_t kEventPageUp = 5;
constexpr int32_t kEventPageDown = 6;
constexpr int32_t kEventScrollTop = 7;
constexpr int32_t kEventScrollBottom = 8;
constexpr int32_t kEventOpenWindow = 0x101;
constexpr int32_t kEventCloseWindow = 0x102;
constexpr int32_t kEventTimer = 0x103;
constexpr int32_t kEventCloseDown = 0x104;
// Numbers from here up are free for the program's own events.
constexpr int32_t kFirstUserEvent = 0x400;

struct Event {
  EventKind kind = EventKind::kUser;
  int32_t number = 0;
  int control = 0;  // control number for kAccepted and kNewSelection, else 0

  bool is(EventKind k) const { return kind == k; }
  bool accepted(int control_number) const {
    return kind == EventKind::kAccepted && control == control_number;
  }
};

// The event a posted number stands for.
Event EventFromNumber(int32_t number, int control = 0);

}  // namespace vm::runtime
