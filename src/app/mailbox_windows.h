// `mailboxes` and `update_mailbox`: the list of the Mailboxes table with its
// "Refresh Mailboxes" button, and the form it opens for one record (change,
// delete or view; insert is refused, since mailboxes come from the voice-mail
// tree). MailboxList and MailboxForm build them on windows (tests drive them
// without a renderer); the procedures run them on the calling thread, the
// form on the list's thread.
#pragma once

#include <functional>
#include <string>

#include "app/app_windows.h"
#include "framework/form_model.h"
#include "framework/list_model.h"
#include "platform/file.h"
#include "runtime/window.h"

namespace vm::app {

std::vector<framework::ListColumnSpec> MailboxColumns();
std::vector<framework::FormFieldSpec> MailboxFields();

// Adds a record (enabled, no attachment, no address) for every direct
// subdirectory of `root` whose name is a mailbox number and that holds
// "transfer.ini"; existing records are left as they are. Returns the number
// added. The Mailboxes table must be open through `relations`.
int RefreshMailboxes(GatewayRelations* relations, const std::string& root,
                     platform::Env* env = platform::Env::Default());

class MailboxForm {
 public:
  // `window`, `relations` and `history` (may be null) must outlive the form.
  MailboxForm(runtime::Window* window, GatewayRelations* relations, framework::FormMode mode,
              framework::FieldHistory* history = nullptr);
  framework::StandardForm& form() { return form_; }

 private:
  framework::StandardForm form_;
};

class MailboxList {
 public:
  // `form` runs the form for a mode with the record in the buffer.
  MailboxList(runtime::Window* window, GatewayRelations* relations,
              framework::StandardList::FormCaller form);
  ~MailboxList();
  // Opens Mailboxes (and Control for the refresh) and shows the first page.
  int Open();
  // Handles an event; "Refresh Mailboxes" walks the voice-mail root.
  framework::ListAction HandleEvent(const runtime::Event& event);
  void Refresh();
  framework::StandardList& list() { return list_; }

 private:
  GatewayRelations* const relations_;
  framework::StandardList list_;
  runtime::ControlRef refresh_;
  bool control_open_ = false;
};

void update_mailbox(const WindowOptions& options, framework::FormMode mode,
                    framework::FieldHistory* history);
void mailboxes(const WindowOptions& options);

}  // namespace vm::app
