#include "app/settings_form.h"

#include "app/gateway_relations.h"
#include "app/procedure_scope.h"
#include "app/security_window.h"
#include "app/settings_rules.h"
#include "framework/record_fields.h"

namespace vm::app {

std::vector<framework::FormFieldSpec> SettingsFields() {
  return {{"Applicate Path:", "CON:APPLICATE_PATH", "@S255", {}, false},
          {"SMTP SERVER:", "CON:SMTP_SERVER", "@S40", {}, false},
          // Five digits, not two: a two-digit entry can neither show nor take
          // 587 or 2525, and the field holds any port up to 32767.
          {"Port:", "CON:PORT", "@N5", {}, false},
          {"From:", "CON:FROM", "@S50", {}, false},
          {"Idle Time:", "CON:IDLETIME", "@N3", {}, false},
          {"Subject:", "CON:SUBJECT", "@S255", {}, false},
          {"With Attachment", "CON:ATTACHMENT_BODY", "", {}, true},
          {"Without Attachment", "CON:NONATTACHMENTBODY", "", {}, true}};
}

SettingsForm::SettingsForm(runtime::Window* window, GatewayRelations* relations,
                           framework::FieldHistory* history)
    : window_(window), relation_(&relations->relation(Table::kControl)), history_(history) {}

framework::FormResult SettingsForm::Open() {
  framework::FileManager& file = relation_->file();
  // The buffer holds the first (only) record when the form opens; the table
  // stays open across the read so the form's own open does not reopen it.
  framework::TableUse use(relation_);
  if (use.result() != 0) return framework::FormResult::kCancelled;
  bool found = false;
  {
    auto lock = file.Lock();
    // Watched, so that OK notices a change made elsewhere since.
    found = file.SetOrder() == 0 && file.Watch() == 0 && file.Next(false) == 0;
  }
  // Without a settings record (its add failed at start-up) the form adds
  // the one record instead of writing over nothing.
  framework::FormMode mode = framework::FormMode::kChange;
  if (!found) {
    framework::ClearRecord(file.def(), &file.buffer());
    mode = framework::FormMode::kInsert;
  }
  framework::FormOptions options;
  options.cancel_action = 0;
  // The same rules as `settings set`: a port out of range, an address that
  // is not one, a text longer than its field is refused, never cut.
  options.check_value = FormValueCheck(CheckSettingsField);
  form_.emplace(window_, relation_, SettingsFields(), mode, options, history_);
  // "In Sec" belongs beside the idle time; the two bodies, their prompts
  // and the legend of the tags sit in the group "Body".
  const auto attach_to = [this](const runtime::ControlRef& c, int parent) {
    window_->model()->Modify(c.number(), [parent](runtime::Control& x) { x.parent = parent; });
  };
  attach_to(window_->AddPrompt("In Sec"), window_->control("?CON:IDLETIME").number());
  const int body = window_->AddGroup("Body").number();
  for (const char* use : {"?CON:ATTACHMENT_BODY", "?CON:NONATTACHMENTBODY"}) {
    const int field = window_->control(use).number();
    attach_to(window_->control(field - 1), body);  // its prompt
    attach_to(window_->control(field), body);
  }
  attach_to(window_->AddPrompt(
                "<date> - date of message   <time> - time of message  <ext> - extension no."),
            body);
  return form_->Open();
}

void Control_File(const WindowOptions& options) {
  ProcedureScope procedure(options.errors, "Control_File");
  runtime::Window window("Control File");
  framework::FieldHistory history;
  SettingsForm settings(&window, options.relations, &history);
  if (settings.Open() != framework::FormResult::kNone) return;
  // The settings kept beside the record have a window of their own.
  const runtime::ControlRef security = window.AddButton("?SECURITY", "Security...");
  if (options.on_open) options.on_open(window);
  while (auto ev = window.Accept()) {
    if (ev->accepted(security.number())) {
      Mail_Security(options);  // in place: this form waits for it
      continue;
    }
    if (settings.form().HandleEvent(*ev) != framework::FormResult::kNone) window.Close();
  }
}

}  // namespace vm::app
