#include "app/tags.h"

#include "app/records.h"
#include "platform/ascii_text.h"
#include "runtime/fixed_text.h"
#include "runtime/picture.h"

namespace vm::app {
namespace {

void ReplaceFirst(std::string* body, const std::string& tag, const std::string& value) {
  const size_t p = platform::AsciiUpperCase(*body).find(tag);
  if (p == std::string::npos) return;
  *body = body->substr(0, p) + value + " " + body->substr(p + tag.size());
}

}  // namespace

std::string FillTags(const std::string& body, int32_t date_of_recording, int32_t time_of_recording,
                     int16_t mailbox) {
  std::string out = body;
  ReplaceFirst(&out, "<DATE>", runtime::FormatDate(date_of_recording, 5));
  ReplaceFirst(&out, "<TIME>", runtime::FormatTime(time_of_recording, 1));
  ReplaceFirst(&out, "<EXT>", std::to_string(mailbox));
  return std::string(runtime::CutUtf8(out, kBodyCapacity));
}

}  // namespace vm::app
