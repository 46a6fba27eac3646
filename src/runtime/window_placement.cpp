#include "runtime/window_placement.h"

#include <mutex>
#include <utility>

namespace vm::runtime {
namespace {

struct Store {
  std::mutex mu;
  std::shared_ptr<PlacementStore> store;
};

Store& TheStore() {
  static Store* s = new Store;  // used until the last thread ends
  return *s;
}

}  // namespace

std::shared_ptr<PlacementStore> SetPlacementStore(std::shared_ptr<PlacementStore> store) {
  std::lock_guard<std::mutex> lock(TheStore().mu);
  std::swap(TheStore().store, store);
  return store;
}

std::shared_ptr<PlacementStore> CurrentPlacementStore() {
  std::lock_guard<std::mutex> lock(TheStore().mu);
  return TheStore().store;
}

ScreenPlacement FetchPlacement(std::string_view name, const ScreenPlacement& defaults,
                               const std::optional<ScreenRect>& screen) {
  const auto store = CurrentPlacementStore();  // called without the lock
  return store ? store->Fetch(name, defaults, screen) : defaults;
}

void UpdatePlacement(std::string_view name, const ScreenPlacement& placement) {
  if (const auto store = CurrentPlacementStore()) store->Update(name, placement);
}

}  // namespace vm::runtime
