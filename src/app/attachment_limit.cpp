#include "app/attachment_limit.h"

#include "platform/hex_text.h"

namespace vm::app {

bool IsAttachmentLimit(std::string_view value) {
  // At most four digits: more could not be within the range anyway, and
  // the sum below never overflows.
  if (value.empty() || value.size() > 4) return false;
  int64_t mb = 0;
  for (char c : value) {
    if (c < '0' || c > '9') return false;
    mb = mb * 10 + (c - '0');
  }
  return mb >= 1 && mb <= kHighestMaxAttachmentMb;
}

bool TooLargeToAttach(uint64_t size, int64_t limit_mb) {
  if (limit_mb < 1) limit_mb = kDefaultMaxAttachmentMb;
  return size > static_cast<uint64_t>(limit_mb) * kBytesPerMegabyte;
}

uint64_t MegabytesOf(uint64_t bytes) {
  return bytes / kBytesPerMegabyte + (bytes % kBytesPerMegabyte != 0 ? 1 : 0);
}

std::string TooLargeToAttachLine(std::string_view name, uint64_t size, int64_t limit_mb) {
  return "The recording " + platform::ShowControls(name) + " (" +
         std::to_string(MegabytesOf(size)) + " MB) is not attached: it is larger than the " +
         std::to_string(limit_mb) + " MB limit for attachments.";
}

std::string SentWithoutAttachmentText(uint64_t size, int64_t limit_mb) {
  return std::string(kSentWithoutAttachment) + std::to_string(MegabytesOf(size)) +
         " MB over the limit of " + std::to_string(limit_mb) + " MB";
}

bool IsSentOutcome(int32_t code, std::string_view text) {
  if (code != 0) return false;
  return text == kSentText ||
         text.substr(0, kSentWithoutAttachment.size()) == kSentWithoutAttachment;
}

}  // namespace vm::app
