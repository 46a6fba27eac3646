// The standard form over a real table: completion in each mode, cancel with
// and without its question, the delete confirmation, refused modes, and an
// update that meets another handle's change with the operator's values
// recalled afterwards.
#include "framework/form_model.h"

#include <gtest/gtest.h>

#include "framework/record_fields.h"
#include "framework_test_support.h"

namespace vm::framework {
namespace {

using testing::PutRow;
using testing::RecordingErrors;
using testing::RowCode;
using testing::RowValue;
using testing::TempDir;

class FormModelTest : public ::testing::Test {
 protected:
  FormModelTest() : file("Things", dir.File("THINGS"), testing::TwoKeyDef(), &errors), relation(&file) {
    TableUse use(&relation);
    PutRow(file, "A", "ALPHA", 1);
    EXPECT_EQ(file.Insert(), 0);
    PutRow(file, "B", "BETA", 2);
    EXPECT_EQ(file.Insert(), 0);
    opened = std::make_unique<TableUse>(&relation);  // the list's open
  }
  // Reads row `code` into the buffer as the list does before a form.
  void Load(const std::string& code) {
    PutRow(file, code, "", 0);
    ASSERT_EQ(file.Fetch(0), 0);
    file.Watch();
    ASSERT_EQ(file.Reread(), 0);
  }
  std::unique_ptr<StandardForm> Make(FormMode mode, FormOptions options = {}) {
    return std::make_unique<StandardForm>(
        &window, &relation,
        std::vector<FormFieldSpec>{{"Code:", "T:CODE", "@S4", {}, false},
                                   {"Name:", "T:NAME", "@S8", {}, false},
                                   {"Value:", "T:VALUE", "@N5", {}, false}},
        mode, options, &history);
  }
  int32_t StoredValue(const std::string& code) {
    auto lock = file.Lock();
    const std::vector<char> keep = file.buffer();
    PutRow(file, code, "", 0);
    const int32_t v = file.Fetch(0, false) == 0 ? RowValue(file) : -999;
    file.buffer() = keep;
    return v;
  }

  TempDir dir;
  RecordingErrors errors;
  FileManager file;
  RelationManager relation;
  std::unique_ptr<TableUse> opened;
  FieldHistory history;
  runtime::Window window{"Update Thing"};
};

TEST_F(FormModelTest, ChangeShowsTheRecordAndOkWritesTheEdits) {
  Load("B");
  auto form = Make(FormMode::kChange);
  ASSERT_EQ(form->Open(), FormResult::kNone);
  EXPECT_EQ(window.control("?T:NAME").value(), "BETA");
  EXPECT_EQ(window.control("?ACTIONMESSAGE").value(), "Record will be Changed");
  window.model()->UserEdited(window.control("?T:VALUE").number(), "250");
  EXPECT_EQ(form->HandleEvent(runtime::EventFromNumber(runtime::kEventAccepted, window.control("?OK").number())),
            FormResult::kCompleted);
  EXPECT_EQ(StoredValue("B"), 250);
  EXPECT_EQ(history.Recall("T:VALUE"), "250");
  EXPECT_TRUE(errors.ids().empty());
}

TEST_F(FormModelTest, CancelWithoutQuestionRestoresTheBufferAsItWasWhenTheFormOpened) {
  Load("A");
  const std::vector<char> before = file.buffer();
  auto form = Make(FormMode::kChange);
  form->Open();
  window.model()->UserEdited(window.control("?T:NAME").number(), "CHANGED");
  // Something wrote into the shared buffer meanwhile.
  PutRow(file, "A", "SCRIBBLE", 99);
  EXPECT_EQ(form->Cancel(), FormResult::kCancelled);
  EXPECT_EQ(file.buffer(), before);
  EXPECT_EQ(StoredValue("A"), 1);
  EXPECT_TRUE(errors.ids().empty()) << "cancel action 0 asks nothing";
}

TEST_F(FormModelTest, CancelWithQuestionAsksOnlyAfterEdits) {
  Load("A");
  const std::vector<char> before = file.buffer();
  FormOptions o;
  o.cancel_action = 1;
  {
    auto form = Make(FormMode::kChange, o);
    form->Open();
    EXPECT_EQ(form->Cancel(), FormResult::kCancelled);
    EXPECT_TRUE(errors.ids().empty());
  }
  runtime::Window second("Update Thing");
  StandardForm form(&second, &relation, {{"Name:", "T:NAME", "@S8", {}, false}}, FormMode::kChange, o);
  form.Open();
  second.model()->UserEdited(second.control("?T:NAME").number(), "OTHER");
  errors.QueueAnswer(kLevelCancel);  // "No": stay in the form
  EXPECT_EQ(form.Cancel(), FormResult::kNone);
  EXPECT_EQ(errors.ids(), std::vector<int>{msg::kConfirmCancel});
  errors.QueueAnswer(kLevelBenign);  // "Yes"
  EXPECT_EQ(form.Cancel(), FormResult::kCancelled);
  EXPECT_EQ(file.buffer(), before);
}

TEST_F(FormModelTest, InsertStaysOpenOnADuplicateAndCompletesWhenFixed) {
  ClearRecord(file.def(), &file.buffer());
  auto form = Make(FormMode::kInsert);
  form->Open();
  EXPECT_EQ(window.control("?T:CODE").value(), "");
  window.model()->UserEdited(window.control("?T:CODE").number(), "C");
  window.model()->UserEdited(window.control("?T:NAME").number(), "alpha");
  window.model()->UserEdited(window.control("?T:VALUE").number(), "3");
  EXPECT_EQ(form->Ok(), FormResult::kNone);
  ASSERT_EQ(errors.ids(), std::vector<int>{msg::kDuplicateKey});
  EXPECT_EQ(errors.raised()[0].values.message, "T:NAMEKEY");
  window.model()->UserEdited(window.control("?T:NAME").number(), "GAMMA");
  EXPECT_EQ(form->Ok(), FormResult::kCompleted);
  EXPECT_EQ(StoredValue("C"), 3);
  EXPECT_EQ(file.Records(), 3u);
}

TEST_F(FormModelTest, DeleteNeedsConfirmation) {
  Load("A");
  {
    auto form = Make(FormMode::kDelete);
    form->Open();
    EXPECT_FALSE(window.control("?T:NAME").get().enabled);
    errors.QueueAnswer(kLevelCancel);
    EXPECT_EQ(form->Ok(), FormResult::kCancelled);
    EXPECT_EQ(file.Records(), 2u);
  }
  Load("A");
  runtime::Window second("Delete Thing");
  StandardForm form(&second, &relation, {{"Name:", "T:NAME", "@S8", {}, false}}, FormMode::kDelete);
  form.Open();
  errors.QueueAnswer(kLevelBenign);
  EXPECT_EQ(form.Ok(), FormResult::kCompleted);
  EXPECT_EQ(file.Records(), 1u);
  EXPECT_EQ(StoredValue("A"), -999);
  EXPECT_EQ(errors.ids(), (std::vector<int>{msg::kConfirmDelete, msg::kConfirmDelete}));
}

TEST_F(FormModelTest, RefusedModeShowsItsMessageAndAddsNothing) {
  FormOptions o;
  o.refuse_insert = true;
  ClearRecord(file.def(), &file.buffer());
  auto form = Make(FormMode::kInsert, o);
  EXPECT_EQ(form->Open(), FormResult::kCancelled);
  EXPECT_EQ(errors.ids(), std::vector<int>{msg::kInsertIllegal});
  EXPECT_EQ(file.Records(), 2u);
  EXPECT_EQ(relation.open_count(), 1) << "a refused form leaves no open behind";
}

TEST_F(FormModelTest, ViewModeWritesNothing) {
  Load("B");
  auto form = Make(FormMode::kView);
  form->Open();
  EXPECT_FALSE(window.control("?T:VALUE").get().enabled);
  EXPECT_EQ(window.control("?ACTIONMESSAGE").value(), "View Record");
  window.model()->UserEdited(window.control("?T:VALUE").number(), "999");
  EXPECT_EQ(form->Ok(), FormResult::kCompleted);
  EXPECT_EQ(StoredValue("B"), 2);
}

TEST_F(FormModelTest, ChangeMadeElsewhereIsShownAndTheOperatorsValuesCanBeRecalled) {
  Load("B");
  auto form = Make(FormMode::kChange);
  form->Open();
  window.model()->UserEdited(window.control("?T:VALUE").number(), "300");
  {
    // Another handle on the same file changes the row meanwhile.
    RecordingErrors other_errors;
    FileManager other("Things", dir.File("THINGS"), testing::TwoKeyDef(), &other_errors);
    other.Open();
    PutRow(other, "B", "", 0);
    ASSERT_EQ(other.Fetch(0), 0);
    PutRow(other, "B", "BETA", 777);
    ASSERT_EQ(other.Update(), 0);
    other.Close();
  }
  EXPECT_EQ(form->Ok(), FormResult::kNone);
  EXPECT_EQ(errors.ids(), std::vector<int>{msg::kRecordChangedShown});
  EXPECT_EQ(window.control("?T:VALUE").value(), "777") << "the other version is shown";
  form->Recall(2);
  EXPECT_EQ(window.control("?T:VALUE").value(), "300");
  EXPECT_EQ(form->Ok(), FormResult::kCompleted);
  EXPECT_EQ(StoredValue("B"), 300);
}

}  // namespace
}  // namespace vm::framework
