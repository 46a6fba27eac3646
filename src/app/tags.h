// Place-holders of the body templates: "<DATE>", "<TIME>" and "<EXT>" are
// filled in with the recording's date (picture D5), time (picture T1) and
// mailbox number. Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>

namespace vm::app {

// Replaces the first occurrence of each tag (found in any mix of case), in
// the order <DATE>, <TIME>, <EXT>, by its value followed by one blank; later
// occurrences stay as typed. The result is cut to 999 bytes (never inside a
// UTF-8 sequence).
std::string FillTags(const std::string& body, int32_t date_of_recording, int32_t time_of_recording,
                     int16_t mailbox);

}  // namespace vm::app
