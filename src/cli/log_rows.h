// What the commands say about a log row and about moments: a row's state as
// `log` and `status` name it, and dates and times as ISO 8601 local time.
// Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

#include "app/records.h"

namespace vm::cli {

enum class RowState { kWaiting, kRetrying, kSent, kFailed };

// Waiting until a send was attempted; retrying while it waits after a
// failure that passes (its code is that failure's); sent when the server
// took it (code 0 with "Nil", or with the text of a recording left out for
// its size, as the pass records them); failed otherwise.
RowState StateOf(const app::ProcessedRow& row);
const char* StateName(RowState state);

// A day number and time of day as a JSON value: "2026-07-05T09:05:00" (in
// quotes), or null for day 0 (a field never set).
std::string IsoMoment(int32_t day, int32_t time);
// Seconds since 1970 as "2026-07-05T09:05:00" in local time.
std::string IsoLocal(int64_t unix_seconds);

}  // namespace vm::cli
