// The standard list over a real table: paging across page boundaries in both
// directions, key order, buttons and their rules, and reloading after a form.
#include "framework/list_model.h"

#include <gtest/gtest.h>

#include "framework_test_support.h"

namespace vm::framework {
namespace {

using testing::PutRow;
using testing::RecordingErrors;
using testing::RowCode;
using testing::TempDir;

class ListModelTest : public ::testing::Test {
 protected:
  ListModelTest()
      : file("Things", dir.File("THINGS"), testing::TwoKeyDef(), &errors), relation(&file) {}

  // Rows C000.. with names N<99-i> (so name order is the reverse) and value i.
  void Fill(int rows) {
    TableUse use(&relation);
    for (int i = 0; i < rows; ++i) {
      char code[16], name[16];
      std::snprintf(code, sizeof code, "C%03d", i);
      std::snprintf(name, sizeof name, "N%03d", 999 - i);
      PutRow(file, code, name, i);
      ASSERT_EQ(file.Insert(), 0);
    }
  }
  std::unique_ptr<StandardList> Make(ListOptions options, StandardList::FormCaller form = nullptr) {
    return std::make_unique<StandardList>(
        &window, &relation,
        std::vector<ListColumnSpec>{{"Code", "T:CODE", "@S4", 20},
                                    {"Value", "t:value", "@N5B", 20}},
        options, std::move(form));
  }
  static std::vector<std::string> Codes(const StandardList& list) {
    std::vector<std::string> out;
    for (const auto& r : list.rows()) out.push_back(r[0]);
    return out;
  }
  static std::string Code(int i) {
    char code[16];
    std::snprintf(code, sizeof code, "C%03d", i);
    return code;
  }
  static std::vector<std::string> Range(int from, int to) {
    std::vector<std::string> out;
    for (int i = from; i < to; ++i) out.push_back(Code(i));
    return out;
  }

  TempDir dir;
  RecordingErrors errors;
  FileManager file;
  RelationManager relation;
  runtime::Window window{"Things"};
};

TEST_F(ListModelTest, PagesForwardAndBackAcrossTheWholeTable) {
  Fill(50);
  ListOptions o;
  o.page_rows = 7;
  auto list = Make(o);
  ASSERT_EQ(list->Open(), 0);
  EXPECT_EQ(Codes(*list), Range(0, 7));
  std::vector<std::string> seen = Codes(*list);
  while (list->PageDown()) {
    const auto page = Codes(*list);
    ASSERT_EQ(page.size(), 7u);
    // Each page starts where the previous one ended, or re-shows the tail
    // of it when the table ends.
    for (const std::string& c : page)
      if (c > seen.back()) seen.push_back(c);
  }
  EXPECT_EQ(seen, Range(0, 50)) << "no row skipped or repeated";
  EXPECT_EQ(Codes(*list), Range(43, 50)) << "the last page is a full page";
  EXPECT_FALSE(list->PageDown());

  std::vector<std::string> back = Codes(*list);
  while (list->PageUp()) {
    const auto page = Codes(*list);
    ASSERT_EQ(page.size(), 7u);
    for (auto it = page.rbegin(); it != page.rend(); ++it)
      if (*it < back.front()) back.insert(back.begin(), *it);
  }
  EXPECT_EQ(back, Range(0, 50));
  EXPECT_EQ(Codes(*list), Range(0, 7));
  EXPECT_TRUE(errors.ids().empty());
}

TEST_F(ListModelTest, RowMovesScrollAtThePageEdges) {
  Fill(12);
  ListOptions o;
  o.page_rows = 5;
  auto list = Make(o);
  list->Open();
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(list->Down());
  EXPECT_EQ(list->current(), 4);
  ASSERT_TRUE(list->Down());
  EXPECT_EQ(Codes(*list), Range(1, 6));
  EXPECT_EQ(list->current(), 4);
  EXPECT_EQ(window.control("?LIST").selected(), 5);
  while (list->Down()) {
  }
  EXPECT_EQ(Codes(*list), Range(7, 12));
  ASSERT_TRUE(list->Bottom());
  EXPECT_EQ(list->current(), 4);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(list->Up());
  ASSERT_TRUE(list->Up());
  EXPECT_EQ(Codes(*list), Range(6, 11));
  EXPECT_EQ(list->current(), 0);
  ASSERT_EQ(list->FetchCurrent(), 0);
  EXPECT_EQ(RowCode(file), Code(6));
}

TEST_F(ListModelTest, ScrollEventsFromTheWindowMoveThePage) {
  Fill(12);
  ListOptions o;
  o.page_rows = 5;
  auto list = Make(o);
  list->Open();
  const int number = window.control("?LIST").number();
  const auto scroll = [&](int32_t how) {
    window.model()->UserScrolled(number, how);
    std::optional<runtime::Event> e;
    while ((e = window.Accept()) && !e->is(runtime::EventKind::kScroll)) {
    }
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(e->control, number);
    EXPECT_EQ(list->HandleEvent(*e), ListAction::kNone);
  };
  scroll(runtime::kEventPageDown);
  EXPECT_EQ(Codes(*list), Range(5, 10));
  scroll(runtime::kEventScrollBottom);
  EXPECT_EQ(Codes(*list), Range(7, 12));
  EXPECT_EQ(window.control("?LIST").selected(), 5);
  scroll(runtime::kEventPageUp);
  EXPECT_EQ(Codes(*list), Range(2, 7));
  scroll(runtime::kEventScrollTop);
  EXPECT_EQ(Codes(*list), Range(0, 5));
  scroll(runtime::kEventScrollUp);  // nothing above the first row
  EXPECT_EQ(Codes(*list), Range(0, 5));
  list->SetCurrent(4);
  scroll(runtime::kEventScrollDown);
  EXPECT_EQ(Codes(*list), Range(1, 6));
  // Numbers that are no scroll request are not posted as one.
  window.model()->UserScrolled(number, runtime::kEventAccepted);
  window.model()->Post(runtime::kFirstUserEvent);
  const auto next = window.Accept();
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->number, runtime::kFirstUserEvent);
}

TEST_F(ListModelTest, KeyOrderAndPictures) {
  Fill(6);
  ListOptions o;
  o.key = 1;  // by name: N999 (C000) ... N994 (C005), so the reverse
  o.page_rows = 4;
  auto list = Make(o);
  list->Open();
  EXPECT_EQ(Codes(*list), (std::vector<std::string>{"C005", "C004", "C003", "C002"}));
  ASSERT_TRUE(list->PageDown());
  EXPECT_EQ(Codes(*list), (std::vector<std::string>{"C003", "C002", "C001", "C000"}));
  ASSERT_TRUE(list->PageUp());
  EXPECT_EQ(Codes(*list), (std::vector<std::string>{"C005", "C004", "C003", "C002"}));
  // Stored values in the window's rows; shown through the column pictures.
  EXPECT_EQ(list->rows()[3][1], "2");
  EXPECT_EQ(list->DisplayRow(3), (std::vector<std::string>{"C002", "    2"}));
  list->Bottom();
  EXPECT_EQ(list->DisplayRow(3), (std::vector<std::string>{"C000", "     "}))
      << "B shows zero as blanks";
}

TEST_F(ListModelTest, PageReadsLeaveTheSharedBufferAlone) {
  Fill(10);
  ListOptions o;
  o.page_rows = 3;
  auto list = Make(o);
  list->Open();
  PutRow(file, "MINE", "MINE", 77);
  list->PageDown();
  list->Down();
  list->Bottom();
  EXPECT_EQ(RowCode(file), "MINE");
}

TEST_F(ListModelTest, ButtonRulesFollowHowTheListWasOpened) {
  {
    auto list = Make({});
    list->Open();  // an empty table
    EXPECT_TRUE(window.control("?INSERT").get().enabled);
    EXPECT_FALSE(window.control("?CHANGE").get().enabled);
    EXPECT_FALSE(window.control("?DELETE").get().enabled);
    EXPECT_FALSE(window.control("?SELECT").visible());
    EXPECT_EQ(window.control("?LIST").get().status_text, "Browsing Records");
  }
  Fill(3);
  runtime::Window view_window("View");
  ListOptions view;
  view.view_only = true;
  int forms = 0;
  StandardList viewer(&view_window, &relation, {{"Code", "T:CODE", "@S4", 20}}, view,
                      [&](FormMode mode) {
                        EXPECT_EQ(mode, FormMode::kView);
                        ++forms;
                      });
  viewer.Open();
  EXPECT_FALSE(view_window.control("?INSERT").get().enabled);
  EXPECT_FALSE(view_window.control("?CHANGE").get().enabled);
  EXPECT_FALSE(view_window.control("?DELETE").get().enabled);
  // A disabled button does nothing even when its event arrives; accepting
  // the list views the row.
  viewer.HandleEvent(
      runtime::EventFromNumber(runtime::kEventAccepted, view_window.control("?DELETE").number()));
  EXPECT_EQ(forms, 0);
  viewer.HandleEvent(
      runtime::EventFromNumber(runtime::kEventAccepted, view_window.control("?LIST").number()));
  EXPECT_EQ(forms, 1);

  runtime::Window select_window("Select");
  ListOptions pick;
  pick.select_mode = true;
  StandardList chooser(&select_window, &relation, {{"Code", "T:CODE", "@S4", 20}}, pick);
  chooser.Open();
  EXPECT_TRUE(select_window.control("?SELECT").visible());
  select_window.model()->UserSelectedRow(select_window.control("?LIST").number(), 3);
  chooser.HandleEvent(runtime::EventFromNumber(runtime::kEventNewSelection,
                                               select_window.control("?LIST").number()));
  EXPECT_EQ(chooser.current(), 2);
  EXPECT_EQ(chooser.HandleEvent(runtime::EventFromNumber(
                runtime::kEventAccepted, select_window.control("?SELECT").number())),
            ListAction::kSelected);
  EXPECT_EQ(RowCode(file), "C002");
  EXPECT_EQ(chooser.HandleEvent(runtime::EventFromNumber(runtime::kEventAccepted,
                                                         select_window.control("?CLOSE").number())),
            ListAction::kClose);
}

TEST_F(ListModelTest, FormsGetTheRightRecordAndThePageIsReadAgain) {
  Fill(10);
  ListOptions o;
  o.page_rows = 4;
  FormMode last = FormMode::kView;
  std::string record_seen;
  auto list = Make(o, [&](FormMode mode) {
    last = mode;
    record_seen = RowCode(file);
    if (mode == FormMode::kChange) {
      testing::PutRow(file, RowCode(file), "CHANGED", 500);
      EXPECT_EQ(file.Update(), 0);
    } else if (mode == FormMode::kInsert) {
      testing::PutRow(file, "C100", "NEW", 100);
      EXPECT_EQ(file.Insert(), 0);
    } else if (mode == FormMode::kDelete) {
      EXPECT_EQ(file.Delete(), 0);
    }
  });
  list->Open();
  list->PageDown();
  list->Down();  // C005
  list->Change();
  EXPECT_EQ(last, FormMode::kChange);
  EXPECT_EQ(record_seen, "C005");
  EXPECT_EQ(list->rows()[list->current()][1], "500");

  list->Insert();
  EXPECT_EQ(last, FormMode::kInsert);
  EXPECT_EQ(record_seen, "") << "insert starts from a cleared record";
  list->Bottom();
  EXPECT_EQ(list->rows().back()[0], "C100");

  list->Top();
  list->Delete();  // C000
  EXPECT_EQ(record_seen, "C000");
  EXPECT_EQ(Codes(*list), Range(1, 5)) << "the page stays full after the delete";
  EXPECT_TRUE(errors.ids().empty());
}

}  // namespace
}  // namespace vm::framework
