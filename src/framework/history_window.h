// The error history window: an image, the current message, the remembered
// messages as a two-column list ("Message" / "Category") and one button per
// bit of the button mask. Built as a runtime window, so it opens and runs on
// the calling thread like any other window of that thread.
#pragma once

#include <cstdint>
#include <string>

#include "framework/history_view.h"
#include "runtime/window.h"

namespace vm::framework {

// Control names of the history window.
inline constexpr const char* kHistoryImage = "?Image";
inline constexpr const char* kHistoryText = "?CurrentText";
inline constexpr const char* kHistoryList = "?HistoryList";

// The label of one button bit: "O&k", "&Yes", "&No", "&Abort", "&Retry",
// "&Ignore", "&Cancel", "&Help"; "" for anything else.
std::string HistoryButtonLabel(uint32_t bit);
// The use name of one button bit's control: "?Button1", "?Button2", "?Button4" ...
std::string HistoryButtonUse(uint32_t bit);

// Adds the window's controls to `window` (not yet open).
void DefineHistoryWindow(runtime::Window& window, const HistoryView& view);

// Opens the window on the calling thread and runs it until a button is
// pressed (its bit is returned) or the window is closed another way (the
// default button is returned).
uint32_t RunHistoryWindow(const HistoryView& view);

}  // namespace vm::framework
