#include "app/mailbox_rules.h"

#include "app/gateway_tables.h"

namespace vm::app {
namespace {

constexpr const char* kNumberAllowed = "a mailbox number from 1 to 32767";
constexpr const char* kAddressAllowed =
    "addresses (user@host or Name <user@host>, separated by commas) of at most 50 bytes, or "
    "empty";

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const char x = (a[i] >= 'a' && a[i] <= 'z') ? static_cast<char>(a[i] - 32) : a[i];
    if (x != b[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<Refusal> CheckMailboxNumber(std::string_view digits) {
  return CheckNumber(digits, 1, 32767, kNumberAllowed);
}

std::optional<Refusal> CheckMailboxAddress(std::string_view value) {
  if (auto r = CheckText(value, storage::mailboxes::kEmailAddressSize, true, kAddressAllowed))
    return r;
  if (!value.empty() && !IsAddressList(value, false))
    return Refusal{"is not an address", kAddressAllowed};
  return std::nullopt;
}

std::optional<std::string_view> YesNoWord(std::string_view typed) {
  if (EqualsIgnoringCase(typed, "YES")) return "YES";
  if (EqualsIgnoringCase(typed, "NO")) return "NO";
  return std::nullopt;
}

std::optional<Refusal> CheckMailboxField(std::string_view field, std::string_view value) {
  if (field == "MAI:MAILBOX_NO") return CheckMailboxNumber(value);
  if (field == "MAI:EMAIL_ADDRESS" || field == "MAI:CC_EMAIL_ADDRESS")
    return CheckMailboxAddress(value);
  return std::nullopt;
}

}  // namespace vm::app
