// Registers a procedure's name with the error manager for as long as the
// procedure runs ("Main", "send_mail", "ActualSend"), so that messages say
// where they happened; the previous name comes back when it ends. A null
// manager registers nothing. Owner thread only (names stack per thread).
#pragma once

#include <string_view>

#include "framework/error_manager.h"

namespace vm::app {

class ProcedureScope {
 public:
  ProcedureScope(framework::ErrorManager* errors, std::string_view name) : errors_(errors) {
    if (errors_ != nullptr) errors_->SetProcedureName(name);
  }
  ~ProcedureScope() {
    if (errors_ != nullptr) errors_->SetProcedureName();
  }
  ProcedureScope(const ProcedureScope&) = delete;
  ProcedureScope& operator=(const ProcedureScope&) = delete;

 private:
  framework::ErrorManager* errors_;
};

}  // namespace vm::app
