// Where a window sits on the screen, remembered between runs: the renderer
// asks the installed placement store when it shows a window and tells it when
// the window closes. The store is the program's (the framework keeps it in
// its INI file); none installed means every window takes its own default.
// Safe from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vm::runtime {

struct ScreenPlacement {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool maximized = false;

  bool operator==(const ScreenPlacement&) const = default;
};

struct ScreenRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

class PlacementStore {
 public:
  virtual ~PlacementStore() = default;
  // The placement to show window `name` with; `defaults` where nothing
  // usable is stored. `screen` (when known) is the area the window must lie on.
  virtual ScreenPlacement Fetch(std::string_view name, const ScreenPlacement& defaults,
                                const std::optional<ScreenRect>& screen) = 0;
  // Remembers where window `name` was when it closed.
  virtual void Update(std::string_view name, const ScreenPlacement& placement) = 0;
};

// Installs the process-wide store (nullptr = none) and returns the previous one.
std::shared_ptr<PlacementStore> SetPlacementStore(std::shared_ptr<PlacementStore> store);
std::shared_ptr<PlacementStore> CurrentPlacementStore();

// Through the installed store; `defaults` and nothing remembered without one.
ScreenPlacement FetchPlacement(std::string_view name, const ScreenPlacement& defaults,
                               const std::optional<ScreenRect>& screen = std::nullopt);
void UpdatePlacement(std::string_view name, const ScreenPlacement& placement);

}  // namespace vm::runtime
