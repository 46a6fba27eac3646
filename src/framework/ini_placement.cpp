#include "framework/ini_placement.h"

namespace vm::framework {
namespace {

WindowPlacement FromScreen(const runtime::ScreenPlacement& p) {
  return {p.x, p.y, p.width, p.height, p.maximized};
}

}  // namespace

runtime::ScreenPlacement IniPlacementStore::Fetch(
    std::string_view name, const runtime::ScreenPlacement& defaults,
    const std::optional<runtime::ScreenRect>& screen) {
  std::optional<ScreenArea> area;
  if (screen) area = ScreenArea{screen->x, screen->y, screen->width, screen->height};
  const WindowPlacement p = ini_->Fetch(name, FromScreen(defaults), area);
  return {p.x, p.y, p.width, p.height, p.maximized};
}

void IniPlacementStore::Update(std::string_view name, const runtime::ScreenPlacement& placement) {
  ini_->Update(name, FromScreen(placement));
}

}  // namespace vm::framework
