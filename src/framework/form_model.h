// The standard form window's model: one record of one table in view,
// insert, change or delete mode, with OK (the completion: field checks, then
// insert, update or delete through the file manager), Cancel (with or without
// the question "Are you sure you want to cancel?"), a field history for
// recalling values, and the delete confirmation. It fills the runtime window
// it is given (an entry or drop list per field, "?OK", "?CANCEL" and the
// action line "?ACTIONMESSAGE"). Owned by the form procedure; owner thread of
// the window only. FieldHistory is safe from any thread.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "framework/list_model.h"
#include "framework/relation_manager.h"
#include "runtime/event.h"
#include "runtime/window.h"

namespace vm::framework {

// One field of the form.
struct FormFieldSpec {
  std::string prompt;                // "Email address:"
  std::string field;                 // the table's field, "MAI:EMAIL_ADDRESS"
  std::string picture;               // entry picture, "@S50"; ignored by drop lists
  std::vector<std::string> choices;  // non-empty: a drop list of these values
  bool multi_line = false;
};

// A field value the form's check refused: the message to raise (with the
// field's name as %Field) and the text of its %Message.
struct FieldRefusal {
  int id = 0;
  std::string message;
};
// Looks at a field's typed value before the completion stores it: nullopt
// when it may be stored. `field` is the table's field name ("CON:PORT").
using ValueCheck =
    std::function<std::optional<FieldRefusal>(const std::string& field, const std::string& value)>;

struct FormOptions {
  // 0: Cancel asks nothing; otherwise Cancel after edits asks message 8.
  int cancel_action = 0;
  // Modes this form refuses: it shows message 20, 38 or 12 and closes.
  bool refuse_insert = false;
  bool refuse_change = false;
  bool refuse_delete = false;
  // Runs on every field's typed value when OK completes an insert or change
  // (null: none). A refusal raises its message and the form stays open with
  // nothing written, so a value is never cut or clamped to fit silently.
  ValueCheck check_value;
  // The action line's text per mode.
  std::string view_text = "View Record";
  std::string insert_text = "Record will be Added";
  std::string change_text = "Record will be Changed";
  std::string delete_text = "Record will be Deleted";
};

// The values recalled into a form's fields, kept by the form's procedure
// across its forms: the values of the record last completed, or the
// operator's own values after an update met another station's change.
class FieldHistory {
 public:
  void Remember(const std::string& field, std::string value);
  // Empty when nothing was remembered for the field.
  std::string Recall(const std::string& field) const;
  bool Has(const std::string& field) const;

 private:
  mutable std::mutex mu_;
  std::map<std::string, std::string> values_;
};

enum class FormResult { kNone, kCompleted, kCancelled };

class StandardForm {
 public:
  // Adds the controls to `window` (before it opens). `relation`, `window`
  // and `history` (may be null) must outlive the form.
  StandardForm(runtime::Window* window, RelationManager* relation,
               std::vector<FormFieldSpec> fields, FormMode mode, FormOptions options = {},
               FieldHistory* history = nullptr);
  ~StandardForm();
  StandardForm(const StandardForm&) = delete;
  StandardForm& operator=(const StandardForm&) = delete;

  // Opens the table, keeps the buffer as it is now (Cancel restores it) and
  // shows it. A refused mode raises its message and gives kCancelled: the
  // form closes at once. kNone: the form runs.
  FormResult Open();
  // Handles one event: OK and Cancel.
  FormResult HandleEvent(const runtime::Event& event);
  // The completion; kNone when the form stays open (a check or the storage
  // refused the record, or the delete was not confirmed).
  FormResult Ok();
  // kCancelled with the buffer restored, or kNone when the operator chose
  // to stay.
  FormResult Cancel();
  // Puts the history's value of field `index` (or, without one, its value
  // when the form opened) back into its control.
  void Recall(int index);

  FormMode mode() const { return mode_; }
  runtime::ControlRef control(int index) const { return controls_.at(index); }

 private:
  void ShowBuffer();
  void TakeControls();
  bool Complete();
  bool ValuesPass();
  bool Edited() const;
  std::string FieldName(int index) const;
  void Finish();

  runtime::Window* const window_;
  RelationManager* const relation_;
  FileManager& file_;
  std::vector<FormFieldSpec> specs_;
  std::vector<int> fields_;
  const FormMode mode_;
  FormOptions options_;
  FieldHistory* const history_;
  std::vector<runtime::ControlRef> controls_;
  runtime::ControlRef ok_, cancel_, action_;
  std::vector<char> original_;       // the buffer when the form opened
  std::vector<std::string> shown_;   // the values last put into the controls
  std::vector<std::string> recall_;  // per field: the value Recall gives without a history
  bool open_ = false;
};

}  // namespace vm::framework
