#include "app/mailbox_windows.h"

#include "app/gateway_relations.h"
#include "app/mailbox_folders.h"
#include "app/mailbox_rules.h"
#include "app/procedure_scope.h"
#include "app/records.h"
#include "platform/ascii_text.h"
#include "runtime/directory.h"

namespace vm::app {

std::vector<framework::ListColumnSpec> MailboxColumns() {
  return {{"Mail Box No", "MAI:MAILBOX_NO", "@N5B", 31},
          {"Email Address", "MAI:EMAIL_ADDRESS", "@S50", 147},
          {"Enable Email", "MAI:ENABLE_EMAIL", "@S3", 29},
          {"Send Voice File", "MAI:SEND_VOICE_FILE", "@S3", 12}};
}

std::vector<framework::FormFieldSpec> MailboxFields() {
  return {{"Mailbox :", "MAI:MAILBOX_NO", "@N3B", {}, false},
          {"Email address:", "MAI:EMAIL_ADDRESS", "@S50", {}, false},
          {"CC To :", "MAI:CC_EMAIL_ADDRESS", "@S50", {}, false},
          {"Enable Email:", "MAI:ENABLE_EMAIL", "", {"YES", "NO"}, false},
          {"Send Voice File:", "MAI:SEND_VOICE_FILE", "", {"YES", "NO"}, false}};
}

int RefreshMailboxes(GatewayRelations* relations, const std::string& root_text,
                     platform::Env* env) {
  const std::string root(platform::TrimRight(root_text));
  // A blank root would list the directories under "/".
  if (root.empty()) return 0;
  framework::FileManager& file = relations->file(Table::kMailboxes);
  int added = 0;
  for (const runtime::FileEntry& e :
       runtime::ListDirectory(root + "/*", runtime::ListKind::kFilesAndDirectories)) {
    if ((e.attrib & runtime::kAttrDirectory) == 0) continue;
    const std::string name(platform::TrimRight(e.short_name));
    if (name == "." || name == "..") continue;
    int16_t number = 0;
    // Other names would all read as mailbox 0 (or a number cut to fit) and
    // make records no recording can ever reach.
    if (!MailboxNumberOf(name, &number)) continue;
    const std::string marker = root + "/" + name + "/transfer.ini";
    if (marker.size() > 255 || !env->FileExists(marker)) continue;
    auto lock = file.Lock();
    std::vector<char>& buffer = file.buffer();
    std::fill(buffer.begin(), buffer.end(), '\0');
    WriteMailbox(MailboxRow{number, "", "", "YES", "NO"}, &buffer);
    // An existing number makes the add fail; that record stays as it is.
    if (file.Insert(false) == 0) ++added;
  }
  return added;
}

MailboxForm::MailboxForm(runtime::Window* window, GatewayRelations* relations,
                         framework::FormMode mode, framework::FieldHistory* history)
    : form_(
          window, &relations->relation(Table::kMailboxes), MailboxFields(), mode,
          [] {
            framework::FormOptions o;
            o.cancel_action = 0;
            o.refuse_insert = true;
            // The same rules as the `mailbox` command.
            o.check_value = FormValueCheck(CheckMailboxField);
            return o;
          }(),
          history) {}

MailboxList::MailboxList(runtime::Window* window, GatewayRelations* relations,
                         framework::StandardList::FormCaller form)
    : relations_(relations),
      list_(window, &relations->relation(Table::kMailboxes), MailboxColumns(), {}, std::move(form)),
      refresh_(window->AddButton("?BUTTON6", "Refresh Mailboxes")) {}

MailboxList::~MailboxList() {
  if (control_open_) relations_->relation(Table::kControl).Close();
}

int MailboxList::Open() {
  control_open_ = relations_->relation(Table::kControl).Open() == 0;
  return list_.Open();
}

framework::ListAction MailboxList::HandleEvent(const runtime::Event& event) {
  const framework::ListAction action = list_.HandleEvent(event);
  if (event.accepted(refresh_.number())) Refresh();
  return action;
}

void MailboxList::Refresh() {
  std::string root;
  if (control_open_) {
    framework::FileManager& con = relations_->file(Table::kControl);
    auto lock = con.Lock();
    if (con.SetOrder() == 0 && con.Next() == 0) root = ReadControl(con.buffer()).applicate_path;
  }
  RefreshMailboxes(relations_, root);
  list_.Reload();
}

void update_mailbox(const WindowOptions& options, framework::FormMode mode,
                    framework::FieldHistory* history) {
  ProcedureScope procedure(options.errors, "update_mailbox");
  runtime::Window window("Update Mailbox");
  MailboxForm mailbox(&window, options.relations, mode, history);
  if (mailbox.form().Open() != framework::FormResult::kNone) return;
  if (options.on_open) options.on_open(window);
  while (auto ev = window.Accept()) {
    if (mailbox.form().HandleEvent(*ev) != framework::FormResult::kNone) window.Close();
  }
}

void mailboxes(const WindowOptions& options) {
  ProcedureScope procedure(options.errors, "mailboxes");
  runtime::Window window("MailBoxes");
  framework::FieldHistory history;
  MailboxList list(&window, options.relations, [&options, &history](framework::FormMode mode) {
    update_mailbox(options, mode, &history);
  });
  if (list.Open() != 0) return;
  if (options.on_open) options.on_open(window);
  while (auto ev = window.Accept()) {
    if (list.HandleEvent(*ev) == framework::ListAction::kClose) window.Close();
  }
}

}  // namespace vm::app
