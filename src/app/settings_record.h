// Reading the settings record without writing anything: the administration
// commands and the program's start checks look at it while a service may be
// running, and must not create a table file in a directory that has none.
// Safe from any thread (each call uses its own handle).
#pragma once

#include <optional>
#include <string>

#include "app/records.h"
#include "platform/status.h"

namespace vm::app {

// The first record of Control in `dir`: nullopt when the file is missing or
// holds no record; an error when it cannot be read.
platform::Result<std::optional<ControlRow>> ReadSettingsRecord(const std::string& dir);

}  // namespace vm::app
