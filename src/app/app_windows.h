// What the windows started from the frame's menu share: the program's
// relation managers, the error manager (their procedure names) and a hook
// that sees each window once it is built (the renderer, tests). Plain data,
// copied to each procedure's thread.
#pragma once

#include <functional>
#include <string>

namespace vm::runtime {
class Window;
}
namespace vm::framework {
class ErrorManager;
}

namespace vm::app {

class GatewayRelations;

struct WindowOptions {
  GatewayRelations* relations = nullptr;          // required
  std::string data_dir;                           // the working directory ("" = current)
  framework::ErrorManager* errors = nullptr;      // null: no procedure names
  std::function<void(runtime::Window&)> on_open;  // called on the window's thread
};

}  // namespace vm::app
