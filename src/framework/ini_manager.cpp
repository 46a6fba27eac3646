#include "framework/ini_manager.h"

#include <algorithm>
#include <charconv>

namespace vm::framework {
namespace {

constexpr std::string_view kX = "X";
constexpr std::string_view kY = "Y";
constexpr std::string_view kWidth = "Width";
constexpr std::string_view kHeight = "Height";
constexpr std::string_view kMaximized = "Maximized";

// A whole decimal number within [low, high]; nullopt for anything else
// ("12px", "", "1e3", numbers too large for an int).
std::optional<int> ReadInt(const std::optional<std::string>& text, int low, int high) {
  if (!text || text->empty()) return std::nullopt;
  const char* begin = text->data();
  const char* end = begin + text->size();
  if (*begin == '+') ++begin;
  int value = 0;
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  if (ec != std::errc() || ptr != end || value < low || value > high) return std::nullopt;
  return value;
}

// Moves [pos, pos + size) into [area_pos, area_pos + area_size), cutting the
// size first when it does not fit.
void FitInto(int* pos, int* size, int area_pos, int area_size) {
  *size = std::min(*size, area_size);
  *pos = std::clamp(*pos, area_pos, area_pos + area_size - *size);
}

}  // namespace

platform::Status IniManager::Open(std::filesystem::path path) {
  auto loaded = platform::IniFile::Load(path);
  std::lock_guard<std::mutex> lock(mu_);
  path_ = std::move(path);
  open_ = true;
  if (!loaded.ok()) {
    doc_ = platform::IniFile();
    return loaded.status();
  }
  doc_ = std::move(*loaded);
  return platform::Status::Ok();
}

std::string IniManager::SectionOf(std::string_view window) {
  std::string name = "Window ";
  for (char c : window) {
    const bool breaks = c == '[' || c == ']' || c == '=' || c == '\n' || c == '\r' || c == '\0';
    name.push_back(breaks ? '_' : c);
  }
  return name;
}

WindowPlacement IniManager::Fetch(std::string_view window, const WindowPlacement& defaults,
                                  const std::optional<ScreenArea>& screen) const {
  const std::string section = SectionOf(window);
  WindowPlacement p = defaults;
  {
    std::lock_guard<std::mutex> lock(mu_);
    p.x = ReadInt(doc_.Get(section, kX), -kMaxExtent, kMaxExtent).value_or(defaults.x);
    p.y = ReadInt(doc_.Get(section, kY), -kMaxExtent, kMaxExtent).value_or(defaults.y);
    p.width = ReadInt(doc_.Get(section, kWidth), kMinSize, kMaxExtent).value_or(defaults.width);
    p.height = ReadInt(doc_.Get(section, kHeight), kMinSize, kMaxExtent).value_or(defaults.height);
    if (auto m = ReadInt(doc_.Get(section, kMaximized), 0, 1)) p.maximized = *m == 1;
  }
  if (screen && screen->width > 0 && screen->height > 0) {
    p.width = std::max(p.width, std::min(kMinSize, screen->width));
    p.height = std::max(p.height, std::min(kMinSize, screen->height));
    FitInto(&p.x, &p.width, screen->x, screen->width);
    FitInto(&p.y, &p.height, screen->y, screen->height);
  }
  return p;
}

bool IniManager::HasPlacement(std::string_view window) const {
  std::lock_guard<std::mutex> lock(mu_);
  return doc_.HasSection(SectionOf(window));
}

void IniManager::Update(std::string_view window, const WindowPlacement& placement) {
  const std::string section = SectionOf(window);
  std::lock_guard<std::mutex> lock(mu_);
  doc_.Set(section, kX, std::to_string(placement.x));
  doc_.Set(section, kY, std::to_string(placement.y));
  doc_.Set(section, kWidth, std::to_string(placement.width));
  doc_.Set(section, kHeight, std::to_string(placement.height));
  doc_.Set(section, kMaximized, placement.maximized ? "1" : "0");
}

platform::Status IniManager::Save() const {
  std::lock_guard<std::mutex> lock(mu_);
  if (!open_) return platform::Status::Ok();
  return doc_.Save(path_);
}

void IniManager::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  open_ = false;
  doc_ = platform::IniFile();
}

}  // namespace vm::framework
