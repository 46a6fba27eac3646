#include "mail/ehlo_capabilities.h"

#include <algorithm>

#include "platform/ascii_text.h"

namespace vm::mail {

namespace {

constexpr size_t kMaxMechanismLength = 20;  // the longest a SASL mechanism name may be

bool MechanismChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

std::vector<std::string_view> Words(std::string_view s) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    const size_t start = i;
    while (i < s.size() && s[i] != ' ' && s[i] != '\t') ++i;
    if (i > start) words.push_back(s.substr(start, i - start));
  }
  return words;
}

void AddMechanism(std::string_view word, EhloCapabilities* caps) {
  const std::string m = platform::AsciiUpperCase(word);
  if (m.empty() || m.size() > kMaxMechanismLength ||
      !std::all_of(m.begin(), m.end(), MechanismChar))
    return;
  if (caps->auth.size() >= kMaxAuthMechanisms || caps->Offers(m)) return;
  caps->auth.push_back(m);
}

// One capability line, the code and its separator already taken off.
void ReadCapability(std::string_view line, EhloCapabilities* caps) {
  const std::vector<std::string_view> words = Words(line);
  if (words.empty()) return;
  const std::string keyword = platform::AsciiUpperCase(words[0]);
  if (keyword == "STARTTLS" && words.size() == 1) {
    caps->starttls = true;
  } else if (keyword == "AUTH") {
    for (size_t i = 1; i < words.size(); ++i) AddMechanism(words[i], caps);
  } else if (keyword.rfind("AUTH=", 0) == 0) {
    AddMechanism(words[0].substr(5), caps);
    for (size_t i = 1; i < words.size(); ++i) AddMechanism(words[i], caps);
  }
}

}  // namespace

bool EhloCapabilities::Offers(std::string_view mechanism) const {
  return std::find(auth.begin(), auth.end(), mechanism) != auth.end();
}

EhloCapabilities ParseEhloReply(std::string_view reply) {
  EhloCapabilities caps;
  size_t pos = 0;
  bool first = true;
  while (pos < reply.size()) {
    const size_t lf = reply.find('\n', pos);
    if (lf == std::string_view::npos) break;  // an unfinished line is not read
    std::string_view line = reply.substr(pos, lf - pos);
    pos = lf + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const bool is_250 =
        line.size() >= 4 && line.substr(0, 3) == "250" && (line[3] == '-' || line[3] == ' ');
    if (first) {
      first = false;
      continue;
    }
    if (is_250) ReadCapability(line.substr(4), &caps);
  }
  return caps;
}

std::string ChooseLogin(const EhloCapabilities& caps) {
  if (caps.Offers("PLAIN")) return "PLAIN";
  if (caps.Offers("LOGIN")) return "LOGIN";
  return {};
}

}  // namespace vm::mail
