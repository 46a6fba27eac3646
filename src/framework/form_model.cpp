#include "framework/form_model.h"

#include <utility>

#include "framework/record_fields.h"

namespace vm::framework {

// ---- FieldHistory ----

void FieldHistory::Remember(const std::string& field, std::string value) {
  std::lock_guard<std::mutex> lock(mu_);
  values_[field] = std::move(value);
}

std::string FieldHistory::Recall(const std::string& field) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto it = values_.find(field);
  return it == values_.end() ? std::string() : it->second;
}

bool FieldHistory::Has(const std::string& field) const {
  std::lock_guard<std::mutex> lock(mu_);
  return values_.count(field) != 0;
}

// ---- StandardForm ----

StandardForm::StandardForm(runtime::Window* window, RelationManager* relation,
                           std::vector<FormFieldSpec> fields, FormMode mode, FormOptions options,
                           FieldHistory* history)
    : window_(window),
      relation_(relation),
      file_(relation->file()),
      specs_(std::move(fields)),
      mode_(mode),
      options_(std::move(options)),
      history_(history) {
  const bool editable = mode_ == FormMode::kInsert || mode_ == FormMode::kChange;
  for (const FormFieldSpec& s : specs_) {
    fields_.push_back(FindField(file_.def(), s.field));
    window_->AddPrompt(s.prompt);
    const std::string use = "?" + s.field;
    runtime::ControlRef c = !s.choices.empty() ? window_->AddDropList(use, s.choices)
                            : s.multi_line     ? window_->AddText(use)
                                               : window_->AddEntry(use, s.picture);
    c.set_enabled(editable);
    controls_.push_back(c);
  }
  ok_ = window_->AddButton("?OK", "OK");
  cancel_ = window_->AddButton("?CANCEL", "Cancel");
  action_ = window_->AddString("?ACTIONMESSAGE", "@S40");
  switch (mode_) {
    case FormMode::kView:
      action_.set_value(options_.view_text);
      break;
    case FormMode::kInsert:
      action_.set_value(options_.insert_text);
      break;
    case FormMode::kChange:
      action_.set_value(options_.change_text);
      break;
    case FormMode::kDelete:
      action_.set_value(options_.delete_text);
      break;
  }
}

StandardForm::~StandardForm() {
  Finish();
}

std::string StandardForm::FieldName(int index) const {
  return specs_[index].field;
}

FormResult StandardForm::Open() {
  int refused = 0;
  if (mode_ == FormMode::kInsert && options_.refuse_insert) refused = msg::kInsertIllegal;
  if (mode_ == FormMode::kChange && options_.refuse_change) refused = msg::kUpdateIllegal;
  if (mode_ == FormMode::kDelete && options_.refuse_delete) refused = msg::kDeleteIllegal;
  if (refused != 0) {
    file_.Throw(refused);
    return FormResult::kCancelled;
  }
  if (relation_->Open() != 0) return FormResult::kCancelled;
  open_ = true;
  {
    auto lock = file_.Lock();
    original_ = file_.buffer();
  }
  ShowBuffer();
  recall_ = shown_;
  if (history_ != nullptr) {
    for (size_t i = 0; i < specs_.size(); ++i)
      if (history_->Has(FieldName(static_cast<int>(i))))
        recall_[i] = history_->Recall(FieldName(static_cast<int>(i)));
  }
  return FormResult::kNone;
}

void StandardForm::Finish() {
  if (!open_) return;
  open_ = false;
  relation_->Close();
}

void StandardForm::ShowBuffer() {
  auto lock = file_.Lock();
  shown_.assign(specs_.size(), std::string());
  for (size_t i = 0; i < specs_.size(); ++i) {
    if (fields_[i] >= 0) shown_[i] = FieldText(file_.def().fields[fields_[i]], file_.buffer());
    controls_[i].set_value(shown_[i]);
  }
}

void StandardForm::TakeControls() {
  auto lock = file_.Lock();
  for (size_t i = 0; i < specs_.size(); ++i) {
    if (fields_[i] >= 0)
      SetFieldText(file_.def().fields[fields_[i]], &file_.buffer(), controls_[i].value());
  }
}

bool StandardForm::Edited() const {
  for (size_t i = 0; i < specs_.size(); ++i)
    if (controls_[i].value() != shown_[i]) return true;
  return false;
}

FormResult StandardForm::HandleEvent(const runtime::Event& e) {
  if (e.is(runtime::EventKind::kCloseWindow) || e.is(runtime::EventKind::kCloseDown)) {
    // Closed from outside: nothing is written, the buffer is given back.
    if (mode_ != FormMode::kView) {
      auto lock = file_.Lock();
      file_.buffer() = original_;
    }
    Finish();
    return FormResult::kCancelled;
  }
  if (!e.is(runtime::EventKind::kAccepted)) return FormResult::kNone;
  if (e.control == ok_.number()) return Ok();
  if (e.control == cancel_.number()) return Cancel();
  return FormResult::kNone;
}

FormResult StandardForm::Ok() {
  if (mode_ == FormMode::kView) {
    Finish();
    return FormResult::kCompleted;
  }
  if (mode_ == FormMode::kDelete) {
    if (file_.Throw(msg::kConfirmDelete) != kLevelBenign) {
      Finish();
      return FormResult::kCancelled;
    }
    if (file_.Delete() != 0) return FormResult::kNone;
    Finish();
    return FormResult::kCompleted;
  }
  if (!Complete()) return FormResult::kNone;
  // The relation manager is closed without the file manager's lock held:
  // opens take the two locks in the other order.
  Finish();
  return FormResult::kCompleted;
}

// The form's value check over the typed values; false after raising the
// first refusal's message.
bool StandardForm::ValuesPass() {
  if (!options_.check_value) return true;
  for (size_t i = 0; i < specs_.size(); ++i) {
    const std::optional<FieldRefusal> refusal =
        options_.check_value(FieldName(static_cast<int>(i)), controls_[i].value());
    if (refusal) {
      file_.ThrowField(refusal->id, FieldName(static_cast<int>(i)), refusal->message);
      return false;
    }
  }
  return true;
}

// Writes the controls' values through the file manager; true when stored.
bool StandardForm::Complete() {
  if (!ValuesPass()) return false;
  auto lock = file_.Lock();
  TakeControls();
  const int rc = mode_ == FormMode::kInsert ? file_.Insert() : file_.Update(kUpdateShowOther);
  if (rc == 0) {
    if (history_ != nullptr) {
      for (size_t i = 0; i < specs_.size(); ++i)
        history_->Remember(FieldName(static_cast<int>(i)), controls_[i].value());
    }
    return true;
  }
  if (mode_ == FormMode::kChange && file_.update_met_change()) {
    // The buffer now holds the other station's version: show it, and let
    // the operator recall the values that were to be written.
    std::vector<std::string> mine(specs_.size());
    const std::vector<char> kept = file_.kept_copy();
    for (size_t i = 0; i < specs_.size(); ++i)
      if (fields_[i] >= 0) mine[i] = FieldText(file_.def().fields[fields_[i]], kept);
    ShowBuffer();
    recall_ = std::move(mine);
  }
  return false;
}

FormResult StandardForm::Cancel() {
  if (mode_ != FormMode::kView && options_.cancel_action != 0 && Edited()) {
    if (file_.Throw(msg::kConfirmCancel) != kLevelBenign) return FormResult::kNone;
  }
  if (mode_ != FormMode::kView) {
    auto lock = file_.Lock();
    file_.buffer() = original_;
  }
  Finish();
  return FormResult::kCancelled;
}

void StandardForm::Recall(int index) {
  if (index < 0 || index >= static_cast<int>(specs_.size())) return;
  if (mode_ != FormMode::kInsert && mode_ != FormMode::kChange) return;
  controls_[index].set_value(recall_[index]);
}

}  // namespace vm::framework
