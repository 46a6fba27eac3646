#include "runtime/window_system.h"

#include <algorithm>
#include <atomic>
#include <mutex>

#include "runtime/window_model.h"

namespace vm::runtime {
namespace {

struct System {
  std::mutex mu;
  std::shared_ptr<Renderer> renderer;
  std::vector<std::shared_ptr<WindowModel>> open;
  std::atomic<bool> drag_full_windows{true};
};

System& Sys() {
  static System* s = new System;  // used until the last thread ends
  return *s;
}

}  // namespace

// Called by Window when it opens and closes.
void RegisterOpenWindow(const std::shared_ptr<WindowModel>& w) {
  std::lock_guard<std::mutex> lock(Sys().mu);
  Sys().open.push_back(w);
}

void UnregisterOpenWindow(const std::shared_ptr<WindowModel>& w) {
  std::lock_guard<std::mutex> lock(Sys().mu);
  auto& v = Sys().open;
  v.erase(std::remove(v.begin(), v.end(), w), v.end());
}

std::shared_ptr<Renderer> SetRenderer(std::shared_ptr<Renderer> renderer) {
  std::lock_guard<std::mutex> lock(Sys().mu);
  std::swap(Sys().renderer, renderer);
  return renderer;
}

std::shared_ptr<Renderer> CurrentRenderer() {
  std::lock_guard<std::mutex> lock(Sys().mu);
  return Sys().renderer;
}

std::vector<std::shared_ptr<WindowModel>> OpenWindows() {
  std::lock_guard<std::mutex> lock(Sys().mu);
  return Sys().open;
}

bool DragFullWindows() {
  return Sys().drag_full_windows;
}
void SetDragFullWindows(bool on) {
  Sys().drag_full_windows = on;
}

}  // namespace vm::runtime
