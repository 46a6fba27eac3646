#include "cli/arguments.h"

namespace vm::cli {

bool Arguments::TakeSwitch(std::string_view name) {
  const size_t before = words_.size();
  std::erase_if(words_, [name](const std::string& w) { return w == name; });
  return words_.size() != before;
}

std::optional<std::string> Arguments::TakeValue(std::string_view name) {
  std::optional<std::string> value;
  for (size_t i = 0; i < words_.size();) {
    if (words_[i] != name) {
      ++i;
      continue;
    }
    if (i + 1 >= words_.size()) {
      if (error_.empty()) error_ = std::string(name) + " needs a value";
      words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(i));
      continue;
    }
    value = words_[i + 1];
    words_.erase(words_.begin() + static_cast<std::ptrdiff_t>(i),
                 words_.begin() + static_cast<std::ptrdiff_t>(i + 2));
  }
  return value;
}

std::optional<std::string> Arguments::TakeVerb() {
  if (words_.empty() || (!words_.front().empty() && words_.front()[0] == '-')) return std::nullopt;
  std::string verb = std::move(words_.front());
  words_.erase(words_.begin());
  return verb;
}

std::vector<std::string> Arguments::TakeRest() {
  std::vector<std::string> rest;
  for (std::string& w : words_) {
    if (w.size() > 1 && w[0] == '-' && error_.empty()) error_ = "unknown option " + w;
    rest.push_back(std::move(w));
  }
  words_.clear();
  return rest;
}

}  // namespace vm::cli
