#include "framework/list_model.h"

#include <algorithm>
#include <utility>

#include "framework/record_fields.h"
#include "runtime/picture.h"

namespace vm::framework {

StandardList::StandardList(runtime::Window* window, RelationManager* relation,
                           std::vector<ListColumnSpec> columns, ListOptions options,
                           FormCaller form)
    : window_(window),
      relation_(relation),
      file_(relation->file()),
      options_(std::move(options)),
      form_(std::move(form)) {
  options_.page_rows = std::max(1, options_.page_rows);
  for (ListColumnSpec& c : columns) {
    fields_.push_back(FindField(file_.def(), c.field));
    display_columns_.push_back({std::move(c.header), c.width, std::move(c.picture)});
  }
  runtime::Control list;
  list.kind = runtime::ControlKind::kList;
  list.use = "?LIST";
  list.status_text = options_.status_text;
  list.columns = display_columns_;
  list_ = window_->Add(std::move(list));
  insert_ = window_->AddButton("?INSERT", "&Insert");
  change_ = window_->AddButton("?CHANGE", "&Change");
  delete_ = window_->AddButton("?DELETE", "&Delete");
  select_ = window_->AddButton("?SELECT", "&Select");
  close_ = window_->AddButton("?CLOSE", "Close");
  UpdateButtons();
}

StandardList::~StandardList() {
  Close();
}

int StandardList::Open() {
  if (open_) return 0;
  const int rc = relation_->Open();
  if (rc != 0) return rc;
  open_ = true;
  Top();
  return 0;
}

void StandardList::Close() {
  if (!open_) return;
  open_ = false;
  relation_->Close();
}

// ---- reading pages ----

StandardList::Row StandardList::Capture() {
  Row r;
  r.position = file_.Position();
  for (int f : fields_)
    r.values.push_back(f < 0 ? std::string() : FieldText(file_.def().fields[f], file_.buffer()));
  return r;
}

std::vector<StandardList::Row> StandardList::Read(int count, bool forward) {
  std::vector<Row> rows;
  while (static_cast<int>(rows.size()) < count) {
    if ((forward ? file_.Next() : file_.Previous()) != 0) break;
    rows.push_back(Capture());
  }
  return rows;
}

bool StandardList::StandOn(const Row& row) {
  return file_.Reset(row.position) == 0 && file_.Next() == 0;
}

// The page reads go through the table's shared buffer; the buffer is given
// back as it was, so that a form or the scanner on another thread keeps
// its record.
namespace {
class KeepBuffer {
 public:
  explicit KeepBuffer(FileManager& f) : f_(f), lock_(f.Lock()), image_(f.buffer()) {}
  ~KeepBuffer() { f_.buffer() = image_; }

 private:
  FileManager& f_;
  std::unique_lock<std::recursive_mutex> lock_;
  std::vector<char> image_;
};
}  // namespace

bool StandardList::Top() {
  KeepBuffer keep(file_);
  if (file_.SetOrder(options_.key) != 0) return false;
  page_ = Read(options_.page_rows, true);
  current_ = page_.empty() ? -1 : 0;
  Show();
  return !page_.empty();
}

bool StandardList::Bottom() {
  KeepBuffer keep(file_);
  if (file_.SetOrder(options_.key) != 0) return false;
  std::vector<Row> rows = Read(options_.page_rows, false);
  std::reverse(rows.begin(), rows.end());
  page_ = std::move(rows);
  current_ = static_cast<int>(page_.size()) - 1;
  Show();
  return !page_.empty();
}

bool StandardList::PageDown() {
  if (page_.empty()) return Top();
  KeepBuffer keep(file_);
  if (!StandOn(page_.back())) return false;
  std::vector<Row> next = Read(options_.page_rows, true);
  if (next.empty()) {
    current_ = static_cast<int>(page_.size()) - 1;
    Show();
    return false;
  }
  // Near the end the page is filled up with the last rows of the old one.
  const size_t keep_old = options_.page_rows - next.size();
  std::vector<Row> page(page_.end() - std::min(keep_old, page_.size()), page_.end());
  for (Row& r : next) page.push_back(std::move(r));
  page_ = std::move(page);
  current_ = static_cast<int>(page_.size() - next.size());  // the first new row
  Show();
  return true;
}

bool StandardList::PageUp() {
  if (page_.empty()) return Top();
  KeepBuffer keep(file_);
  if (!StandOn(page_.front())) return false;
  std::vector<Row> before = Read(options_.page_rows, false);
  if (before.empty()) {
    current_ = 0;
    Show();
    return false;
  }
  std::reverse(before.begin(), before.end());
  const size_t keep_old = options_.page_rows - before.size();
  for (size_t i = 0; i < keep_old && i < page_.size(); ++i) before.push_back(std::move(page_[i]));
  page_ = std::move(before);
  current_ = 0;
  Show();
  return true;
}

bool StandardList::Down() {
  if (page_.empty()) return false;
  if (current_ + 1 < static_cast<int>(page_.size())) {
    SetCurrent(current_ + 1);
    return true;
  }
  KeepBuffer keep(file_);
  if (!StandOn(page_.back())) return false;
  std::vector<Row> next = Read(1, true);
  if (next.empty()) return false;
  if (static_cast<int>(page_.size()) >= options_.page_rows) page_.erase(page_.begin());
  page_.push_back(std::move(next[0]));
  current_ = static_cast<int>(page_.size()) - 1;
  Show();
  return true;
}

bool StandardList::Up() {
  if (page_.empty()) return false;
  if (current_ > 0) {
    SetCurrent(current_ - 1);
    return true;
  }
  KeepBuffer keep(file_);
  if (!StandOn(page_.front())) return false;
  std::vector<Row> before = Read(1, false);
  if (before.empty()) return false;
  if (static_cast<int>(page_.size()) >= options_.page_rows) page_.pop_back();
  page_.insert(page_.begin(), std::move(before[0]));
  current_ = 0;
  Show();
  return true;
}

void StandardList::Reload() {
  if (page_.empty()) {
    Top();
    return;
  }
  const int wanted = current_;
  {
    KeepBuffer keep(file_);
    // From the first row of the page; when that row is gone, the driver
    // goes on from where it stood.
    if (file_.Reset(page_.front().position) != 0) {
      page_.clear();
    } else {
      page_ = Read(options_.page_rows, true);
    }
  }
  if (static_cast<int>(page_.size()) < options_.page_rows) {
    // The page got short (rows deleted, or the end reached): show the last
    // full page instead.
    if (!Bottom()) Top();
    if (!page_.empty()) SetCurrent(std::min(wanted, static_cast<int>(page_.size()) - 1));
    return;
  }
  current_ = std::clamp(wanted, 0, static_cast<int>(page_.size()) - 1);
  Show();
}

// ---- the window ----

void StandardList::Show() {
  values_.clear();
  for (const Row& r : page_) values_.push_back(r.values);
  list_.set_rows(values_);
  list_.select(current_ + 1);
  UpdateButtons();
}

void StandardList::SetCurrent(int index) {
  if (page_.empty()) return;
  current_ = std::clamp(index, 0, static_cast<int>(page_.size()) - 1);
  list_.select(current_ + 1);
}

void StandardList::UpdateButtons() {
  const bool rows = !page_.empty();
  insert_.set_enabled(!options_.view_only);
  change_.set_enabled(!options_.view_only && rows);
  delete_.set_enabled(!options_.view_only && rows);
  select_.set_visible(options_.select_mode);
  select_.set_enabled(options_.select_mode && rows);
}

std::vector<std::string> StandardList::DisplayRow(int index) const {
  std::vector<std::string> out;
  if (index < 0 || index >= static_cast<int>(page_.size())) return out;
  for (size_t c = 0; c < display_columns_.size(); ++c) {
    const auto picture = runtime::ParsePicture(display_columns_[c].picture);
    const std::string& v = page_[index].values[c];
    out.push_back(picture ? runtime::FormatPicture(*picture, v) : v);
  }
  return out;
}

ListAction StandardList::HandleEvent(const runtime::Event& e) {
  if (e.is(runtime::EventKind::kNewSelection) && e.control == list_.number()) {
    SetCurrent(list_.selected() - 1);
    return ListAction::kNone;
  }
  if (e.is(runtime::EventKind::kScroll) && e.control == list_.number()) {
    Scroll(e.number);
    return ListAction::kNone;
  }
  if (!e.is(runtime::EventKind::kAccepted)) return ListAction::kNone;
  // A button the rules switched off does nothing, whoever pressed it.
  const auto usable = [](const runtime::ControlRef& b) { return b.get().enabled && b.visible(); };
  if (e.control == insert_.number() && usable(insert_)) {
    Insert();
  } else if (e.control == change_.number() && usable(change_)) {
    Change();
  } else if (e.control == delete_.number() && usable(delete_)) {
    Delete();
  } else if (e.control == select_.number() && usable(select_)) {
    if (FetchCurrent() == 0) return ListAction::kSelected;
  } else if (e.control == close_.number()) {
    return ListAction::kClose;
  } else if (e.control == list_.number()) {
    // Accepting a row (a double click) changes it, or views it in a list
    // that may not change rows.
    if (options_.select_mode)
      return FetchCurrent() == 0 ? ListAction::kSelected : ListAction::kNone;
    if (options_.view_only)
      View();
    else
      Change();
  }
  return ListAction::kNone;
}

bool StandardList::Scroll(int32_t how) {
  switch (how) {
    case runtime::kEventScrollUp:
      return Up();
    case runtime::kEventScrollDown:
      return Down();
    case runtime::kEventPageUp:
      return PageUp();
    case runtime::kEventPageDown:
      return PageDown();
    case runtime::kEventScrollTop:
      return Top();
    case runtime::kEventScrollBottom:
      return Bottom();
    default:
      return false;
  }
}

int StandardList::FetchCurrent() {
  if (current_ < 0 || current_ >= static_cast<int>(page_.size())) return kLevelNotify;
  auto lock = file_.Lock();
  if (file_.Reset(page_[current_].position) != 0) return kLevelNotify;
  file_.Watch();
  return file_.Next();
}

void StandardList::CallForm(FormMode mode) {
  if (!form_) return;
  form_(mode);
  Reload();
}

void StandardList::Insert() {
  if (options_.view_only) return;
  {
    auto lock = file_.Lock();
    ClearRecord(file_.def(), &file_.buffer());
  }
  CallForm(FormMode::kInsert);
}

void StandardList::Change() {
  if (options_.view_only || FetchCurrent() != 0) return;
  CallForm(FormMode::kChange);
}

void StandardList::Delete() {
  if (options_.view_only || FetchCurrent() != 0) return;
  CallForm(FormMode::kDelete);
}

void StandardList::View() {
  if (FetchCurrent() != 0) return;
  CallForm(FormMode::kView);
}

}  // namespace vm::framework
