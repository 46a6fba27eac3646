#include "framework/procedure_names.h"

namespace vm::framework {

void ProcedureNames::Push(runtime::ThreadId thread, std::string_view name) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.emplace_back(thread, std::string(name));
}

bool ProcedureNames::Pop(runtime::ThreadId thread) {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->first == thread) {
      entries_.erase(std::next(it).base());
      return true;
    }
  }
  return false;
}

std::optional<std::string> ProcedureNames::Current(runtime::ThreadId thread) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->first == thread) return it->second;
  }
  return std::nullopt;
}

size_t ProcedureNames::size() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_.size();
}

}  // namespace vm::framework
