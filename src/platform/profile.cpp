#include "platform/profile.h"

#include "platform/ascii_text.h"
#include "platform/config_dir.h"
#include "platform/ini_file.h"

namespace vm::platform {
namespace {

// A refused configuration folder reads as no profile: every value defaults.
std::optional<std::string> Lookup(std::string_view section, std::string_view key) {
  Result<std::filesystem::path> dir = ConfigDir();
  if (!dir.ok()) return std::nullopt;
  Result<IniFile> ini = IniFile::Load(*dir / "profile.ini");
  if (!ini.ok()) return std::nullopt;
  return ini->Get(section, key);
}

}  // namespace

int ProfileInt(std::string_view section, std::string_view key, int default_value) {
  std::optional<std::string> text = Lookup(section, key);
  if (!text) return default_value;
  const std::string_view digits = TrimLeft(*text, " \t");
  size_t i = 0;
  bool negative = false;
  if (i < digits.size() && digits[i] == '-') {
    negative = true;
    ++i;
  }
  long long value = 0;
  for (; i < digits.size() && digits[i] >= '0' && digits[i] <= '9'; ++i) {
    value = value * 10 + (digits[i] - '0');
    if (value > 0x80000000LL) value = 0x80000000LL;  // clamped to 32 bits below
  }
  if (negative) value = -value;
  if (value > 0x7FFFFFFFLL) value = 0x7FFFFFFFLL;
  if (value < -0x80000000LL) value = -0x80000000LL;
  return static_cast<int>(value);
}

std::string ProfileString(std::string_view section, std::string_view key,
                          std::string_view default_value) {
  std::optional<std::string> text = Lookup(section, key);
  return text ? *text : std::string(default_value);
}

}  // namespace vm::platform
