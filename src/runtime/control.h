// A control of a window model: its kind, use name ("?STATUS"), number, text,
// value and look. Plain value type; windows keep them behind their own lock
// and hand out copies, so a copy is safe to read on any thread.
#pragma once

#include <string>
#include <vector>

namespace vm::runtime {

enum class ControlKind {
  kMenu,       // a menu of the menu bar; `text` is its title
  kMenuItem,   // an item of the menu `parent`
  kCheckItem,  // a check item: `value` "1" when checked, "0" when not
  kPrompt,     // a label
  kEntry,      // a one-line entry shown through `picture`
  kString,     // a read-only text shown through `picture`
  kText,       // a multi-line text
  kDropList,   // a choice among `choices`
  kButton,
  kList,      // rows of `columns`; `selected` row (1-based, 0 = none)
  kGroup,     // a titled box around other controls
  kProgress,  // a progress bar: `value` between range_low and range_high
};

struct ListColumn {
  std::string header;
  int width = 0;        // in dialog units, as the window is laid out
  std::string picture;  // how the column's stored values show, e.g. "@D5"
};

struct Control {
  int number = 0;   // unique in its window, 1 upwards
  std::string use;  // "?STATUS", "?PROGRESS1", "?EXIT" ...
  ControlKind kind = ControlKind::kPrompt;
  std::string text;         // caption, prompt, button or menu text
  std::string value;        // the value as text
  std::string picture;      // entries, strings and list columns: see picture.h
  std::string status_text;  // shown in the status bar while the control has focus
  bool visible = true;
  bool enabled = true;
  int parent = 0;     // menu of a menu item, group of a grouped control
  int range_low = 0;  // progress bars
  int range_high = 100;
  std::vector<std::string> choices;            // drop lists
  std::vector<ListColumn> columns;             // lists
  std::vector<std::vector<std::string>> rows;  // lists: stored values, one per column
  int selected = 0;                            // lists: 1-based row, 0 = none
  // Entries: what is typed is a secret (a password). It is shown masked,
  // never stored in `value`, and handed to the owner apart from the
  // controls (WindowModel::UserEnteredSecret / TakeSecret).
  bool secret = false;
  // Texts: shown, scrolled and selected, never typed into.
  bool read_only = false;
};

}  // namespace vm::runtime
