// The largest recording mailed as an attachment (`max-attachment=MB` of the
// settings file): the limit in bytes, the line a message sent without its
// recording carries instead, the log's text for it, and which outcomes count
// as a message sent. Pure functions; safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vm::app {

inline constexpr const char* kKeyMaxAttachment = "max-attachment";

// A megabyte of the setting, as `ls -lh` counts one.
inline constexpr uint64_t kBytesPerMegabyte = uint64_t{1} << 20;
inline constexpr int64_t kDefaultMaxAttachmentMb = 20;
inline constexpr int64_t kHighestMaxAttachmentMb = 4096;

// The outcome text of a message the server accepted with code 0, and the
// start of the text of one it accepted without its recording (code 0 too).
inline constexpr std::string_view kSentText = "Nil";
inline constexpr std::string_view kSentWithoutAttachment = "sent without attachment: ";

// The check of the key's value: decimal digits of 1 to kHighestMaxAttachmentMb.
bool IsAttachmentLimit(std::string_view value);

// Whether a recording of `size` bytes is too large to attach under a limit
// of `limit_mb` megabytes (one of exactly the limit is attached).
bool TooLargeToAttach(uint64_t size, int64_t limit_mb);

// Whole megabytes of `bytes`, rounded up: a recording over the limit always
// shows more megabytes than the limit.
uint64_t MegabytesOf(uint64_t bytes);

// The line the body carries in place of the recording `name` of `size`
// bytes. A control character of the name shows as "\xNN", so the line stays
// one line.
std::string TooLargeToAttachLine(std::string_view name, uint64_t size, int64_t limit_mb);

// The outcome text of a message sent without its recording:
// "sent without attachment: 25 MB over the limit of 20 MB".
std::string SentWithoutAttachmentText(uint64_t size, int64_t limit_mb);

// Whether an outcome (the log's PRO:ERRORCODE and PRO:ERROR) is a message
// the server accepted: code 0 with "Nil", or with the text of one sent
// without its recording. Anything else, code 0 or not, is a failure.
bool IsSentOutcome(int32_t code, std::string_view text);

}  // namespace vm::app
