// Process-wide state of the window system: the installed renderer (none =
// headless), the windows open now, and the drag-full-windows setting (kept
// and reported, with no visible effect). Safe from any thread.
#pragma once

#include <memory>
#include <vector>

#include "runtime/renderer.h"

namespace vm::runtime {

class WindowModel;

// Installs `renderer` (nullptr = headless) and returns the previous one.
// Windows already open are not announced again; a renderer installed late
// shows them by walking OpenWindows().
std::shared_ptr<Renderer> SetRenderer(std::shared_ptr<Renderer> renderer);
std::shared_ptr<Renderer> CurrentRenderer();

// Every open window of every thread, in the order they were opened.
std::vector<std::shared_ptr<WindowModel>> OpenWindows();

bool DragFullWindows();
void SetDragFullWindows(bool on);

}  // namespace vm::runtime
