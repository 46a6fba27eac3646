// Connects the runtime's window placement seam to the INI manager, so that
// the renderer's windows come back where the user left them. Install one at
// start-up with runtime::SetPlacementStore. Safe from any thread.
#pragma once

#include "framework/ini_manager.h"
#include "runtime/window_placement.h"

namespace vm::framework {

class IniPlacementStore final : public runtime::PlacementStore {
 public:
  // `ini` must outlive this store (uninstall it before closing the manager).
  explicit IniPlacementStore(IniManager* ini) : ini_(ini) {}

  runtime::ScreenPlacement Fetch(std::string_view name, const runtime::ScreenPlacement& defaults,
                                 const std::optional<runtime::ScreenRect>& screen) override;
  void Update(std::string_view name, const runtime::ScreenPlacement& placement) override;

 private:
  IniManager* const ini_;
};

}  // namespace vm::framework
