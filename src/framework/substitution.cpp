#include "framework/substitution.h"

#include <array>
#include <functional>

#include "framework/text_cut.h"

namespace vm::framework {
namespace {

struct PlaceHolder {
  std::string_view name;
  // The value, or nullopt when the place-holder stays in the text.
  std::function<std::optional<std::string>(const SubstitutionValues&)> value;
};

// Longest names first among those sharing a beginning.
const std::array<PlaceHolder, 11>& PlaceHolders() {
  static const std::array<PlaceHolder, 11> list = {{
      {"%FileErrorCode",
       [](const SubstitutionValues& v) { return std::optional(v.error.file_code); }},
      {"%FileError", [](const SubstitutionValues& v) { return std::optional(v.error.file_text); }},
      {"%File", [](const SubstitutionValues& v) { return std::optional(v.file); }},
      {"%ErrorCode",
       [](const SubstitutionValues& v) { return std::optional(std::to_string(v.error.code)); }},
      {"%ErrorText",
       [](const SubstitutionValues& v) { return std::optional(ErrorTextOf(v.error)); }},
      {"%Error", [](const SubstitutionValues& v) { return std::optional(v.error.text); }},
      {"%Message", [](const SubstitutionValues& v) { return std::optional(v.message); }},
      {"%Field", [](const SubstitutionValues& v) { return std::optional(v.field); }},
      {"%Procedure", [](const SubstitutionValues& v) { return v.procedure; }},
      {"%Category", [](const SubstitutionValues& v) { return std::optional(v.category); }},
      {"%Previous", [](const SubstitutionValues& v) { return v.previous; }},
  }};
  return list;
}

}  // namespace

std::string SubstitutePlaceHolders(std::string_view message, const SubstitutionValues& values,
                                   size_t limit) {
  std::string out;
  out.reserve(message.size());
  size_t i = 0;
  while (i < message.size() && out.size() <= limit) {
    const char c = message[i];
    if (c != '%') {
      out.push_back(c);
      ++i;
      continue;
    }
    const PlaceHolder* hit = nullptr;
    for (const PlaceHolder& p : PlaceHolders()) {
      if (message.substr(i, p.name.size()) == p.name) {
        hit = &p;
        break;
      }
    }
    std::optional<std::string> value;
    if (hit != nullptr) value = hit->value(values);
    if (!value) {
      const size_t n = hit != nullptr ? hit->name.size() : 1;
      out.append(message.substr(i, n));
      i += n;
      continue;
    }
    out.append(*value, 0, limit + 1 - out.size());  // enough to know it was cut
    i += hit->name.size();
  }
  return CutUtf8(out, limit);
}

}  // namespace vm::framework
