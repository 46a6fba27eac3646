// `Control_File`: the form over the single Control record, always in change
// mode, Cancel without a question; OK refuses a value that breaks the
// settings' rules (settings_rules.h). SettingsForm builds
// it on a window (tests drive it without a renderer); Control_File runs the
// window on the calling thread until it closes (the frame starts it on a
// thread of its own).
#pragma once

#include <optional>

#include "app/app_windows.h"
#include "framework/form_model.h"
#include "framework/relation_manager.h"
#include "runtime/window.h"

namespace vm::app {

std::vector<framework::FormFieldSpec> SettingsFields();

class SettingsForm {
 public:
  // `window`, `relations` and `history` (may be null) must outlive the form.
  SettingsForm(runtime::Window* window, GatewayRelations* relations,
               framework::FieldHistory* history = nullptr);
  // Reads the settings record into the buffer and opens the form on it:
  // kNone while the form runs.
  framework::FormResult Open();
  framework::StandardForm& form() { return *form_; }

 private:
  runtime::Window* const window_;
  framework::RelationManager* const relation_;
  framework::FieldHistory* const history_;
  std::optional<framework::StandardForm> form_;
};

void Control_File(const WindowOptions& options);

}  // namespace vm::app
