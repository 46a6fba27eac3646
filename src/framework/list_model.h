// The standard list window's model: one page of rows of one table in record
// order (or in the order of a key), paged forward and back without reading
// more than a page, the current row, the buttons Insert, Change, Delete,
// Select and Close with their enabled and hidden rules, and the calls of the
// table's form for insert, change, delete or view, after which the page is
// read again. It fills the runtime window it is given (the control "?LIST"
// and the buttons), so the headless presenter and the renderer show the same
// thing. Owned by the list procedure; owner thread of the window only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "framework/relation_manager.h"
#include "runtime/event.h"
#include "runtime/window.h"

namespace vm::framework {

enum class FormMode { kView, kInsert, kChange, kDelete };

// One column: the field it shows and how (a runtime picture).
struct ListColumnSpec {
  std::string header;
  std::string field;  // name of a field of the table, "MAI:MAILBOX_NO"
  std::string picture;
  int width = 0;
};

struct ListOptions {
  int key = -1;              // -1: record order; otherwise the key's order
  int page_rows = 20;        // rows shown at once
  bool view_only = false;    // Insert, Change and Delete are disabled
  bool select_mode = false;  // Select is shown (opened to choose a record)
  std::string status_text = "Browsing Records";
};

// What an event asked the list procedure to do.
enum class ListAction { kNone, kSelected, kClose };

class StandardList {
 public:
  // Calls the table's form with the record in the table's buffer (cleared
  // for insert) and returns when the form has closed.
  using FormCaller = std::function<void(FormMode mode)>;

  // Adds "?LIST" and the buttons to `window` (before it opens). `relation`
  // and `window` must outlive the list.
  StandardList(runtime::Window* window, RelationManager* relation,
               std::vector<ListColumnSpec> columns, ListOptions options, FormCaller form = nullptr);
  ~StandardList();
  StandardList(const StandardList&) = delete;
  StandardList& operator=(const StandardList&) = delete;

  // Opens the table and shows the first page: 0, or the open's answer.
  int Open();
  // Closes the table (also done by the destructor).
  void Close();

  // Paging. Each returns false when there was nowhere to go (the page stays).
  bool Top();
  bool Bottom();
  bool PageDown();
  bool PageUp();
  // Moves the current row one down or up, scrolling the page by one row at
  // its edge.
  bool Down();
  bool Up();
  // Reads the page again from its first row (after a form returned).
  void Reload();
  // One of the above for a scroll event's number (runtime::kEventScrollUp ...).
  bool Scroll(int32_t how);

  // Handles one event of the window: button presses, list selections and scrolling.
  ListAction HandleEvent(const runtime::Event& event);
  // The buttons' actions, also callable directly.
  void Insert();
  void Change();
  void Delete();
  void View();

  // Reads the current row into the table's buffer (watched, so that an
  // update notices a change made elsewhere): 0, or the read's answer.
  int FetchCurrent();

  // The page as stored values, one string per column, and as shown.
  const std::vector<std::vector<std::string>>& rows() const { return values_; }
  std::vector<std::string> DisplayRow(int index) const;
  int current() const { return current_; }  // 0-based in the page; -1 when empty
  void SetCurrent(int index);
  const std::vector<runtime::ListColumn>& columns() const { return display_columns_; }

 private:
  struct Row {
    std::string position;  // driver position just after reading the row
    std::vector<std::string> values;
  };

  // Reads up to `count` rows from the driver's position; forward or back.
  std::vector<Row> Read(int count, bool forward);
  // Positions the driver on row `row` (read again) so that Next/Previous go on from it.
  bool StandOn(const Row& row);
  Row Capture();
  void Show();
  void UpdateButtons();
  void CallForm(FormMode mode);

  runtime::Window* const window_;
  RelationManager* const relation_;
  FileManager& file_;
  ListOptions options_;
  FormCaller form_;
  std::vector<int> fields_;  // field index per column
  std::vector<runtime::ListColumn> display_columns_;
  std::vector<Row> page_;
  std::vector<std::vector<std::string>> values_;
  int current_ = -1;
  bool open_ = false;
  runtime::ControlRef list_, insert_, change_, delete_, select_, close_;
};

}  // namespace vm::framework
