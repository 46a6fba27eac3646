// PROCNAMES: the names of the procedures running now, one stack per thread,
// so that a message can say where it happened. Safe from any thread; several
// threads may push and pop at once.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/thread.h"

namespace vm::framework {

class ProcedureNames {
 public:
  void Push(runtime::ThreadId thread, std::string_view name);
  // Removes the thread's newest name; false (and no change) when it has none.
  bool Pop(runtime::ThreadId thread);
  // The thread's newest name; nullopt when it has none.
  std::optional<std::string> Current(runtime::ThreadId thread) const;
  size_t size() const;

 private:
  mutable std::mutex mu_;
  std::vector<std::pair<runtime::ThreadId, std::string>> entries_;  // oldest first
};

}  // namespace vm::framework
