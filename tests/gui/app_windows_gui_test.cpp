// The gateway's own windows on screen: the frame procedure runs with the
// program's relation managers under the Qt renderer, and the tests work its
// menu, forms and lists through the real widgets, then check the tables.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionHeader>
#include <QTest>
#include <QToolTip>
#include <QTreeWidget>

#include "app_desk.h"
#include "gui_test_support.h"
#include "runtime/date_time.h"
#include "runtime/window_system.h"

namespace vm::gui::testing {
namespace {

using Strings = std::vector<std::string>;

QString Trimmed(const QTreeWidgetItem* item, int column) {
  return item->text(column).trimmed();
}

// Where `w` sits in its window's coordinates.
QRect InWindow(const QWidget* w) {
  return QRect(w->mapTo(w->window(), QPoint(0, 0)), w->size());
}

// The part of column `column` that shows in the list's viewport: from the
// section's left edge (or the viewport's) to its right edge (or the viewport's).
QRect ShownPart(const QTreeWidget* list, int column) {
  const QHeaderView* header = list->header();
  const int start = header->sectionViewportPosition(column);
  const int end = std::min(start + header->sectionSize(column), list->viewport()->width());
  return QRect(std::max(start, 0), 0, std::max(end - std::max(start, 0), 0), header->height());
}

// What an operator reads in a cell as the list is laid out now: its text,
// elided as the item view draws it into the part of the column that shows.
QString VisibleText(const QTreeWidget* list, const QTreeWidgetItem* item, int column) {
  const int margin = list->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, list) + 1;
  return list->fontMetrics().elidedText(item->text(column), list->textElideMode(),
                                        ShownPart(list, column).width() - 2 * margin);
}

// The same for a column's header, elided into the label room the style gives.
QString VisibleHeader(const QTreeWidget* list, int column) {
  const QHeaderView* header = list->header();
  QStyleOptionHeader opt;
  opt.initFrom(header);
  opt.rect = ShownPart(list, column);
  opt.section = column;
  opt.text = list->headerItem()->text(column);
  const QRect label = header->style()->subElementRect(QStyle::SE_HeaderLabel, &opt, header);
  return header->fontMetrics().elidedText(opt.text, Qt::ElideRight, label.width());
}

// Every header and every cell of `list` that reads differently from its
// text, as "column: shown / whole" lines; empty when all show whole.
std::string CutTexts(const QTreeWidget* list) {
  std::string cut;
  for (int col = 0; col < list->columnCount(); ++col) {
    const QString head = list->headerItem()->text(col);
    if (VisibleHeader(list, col) != head)
      cut += head.toStdString() + ": header shows \"" + VisibleHeader(list, col).toStdString() +
             "\"\n";
    for (int row = 0; row < list->topLevelItemCount(); ++row) {
      const QTreeWidgetItem* item = list->topLevelItem(row);
      if (VisibleText(list, item, col) != item->text(col))
        cut += head.toStdString() + ": \"" + VisibleText(list, item, col).toStdString() +
               "\" of \"" + item->text(col).toStdString() + "\"\n";
    }
  }
  return cut;
}

// The tooltip a hover over cell (row, column) brings up ("" when none shows).
QString HoverTip(QTreeWidget* list, int row, int column) {
  const QRect cell = list->visualItemRect(list->topLevelItem(row));
  const QRect part = ShownPart(list, column);
  const QPoint at(part.left() + part.width() / 2, cell.center().y());
  QHelpEvent help(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
  QApplication::sendEvent(list->viewport(), &help);
  return QToolTip::isVisible() ? QToolTip::text() : QString();
}

QLabel* PromptWithText(WindowView* view, const QString& text) {
  for (const runtime::Control& c : view->model()->Snapshot().controls)
    if (auto* l = qobject_cast<QLabel*>(view->WidgetOf(c.number));
        l != nullptr && l->text() == text)
      return l;
  return nullptr;
}

void Type(QLineEdit* e, const QString& text) {
  e->selectAll();
  QTest::keyClicks(e, text);
}

class AppWindowsGuiTest : public AppDeskTest {};

TEST_F(AppWindowsGuiTest, TheFrameMenuOpensEachWindowWithItsTexts) {
  StartFrame();
  QMainWindow* frame = renderer_->frame();
  EXPECT_EQ(frame->windowTitle(), "Send Mail - Quorvane");
  Strings menus, items;
  for (QAction* m : frame->menuBar()->actions()) menus.push_back(m->text().toStdString());
  EXPECT_EQ(menus, (Strings{"&File", "Spooler"}));
  for (QAction* a : frame->menuBar()->actions().front()->menu()->actions())
    items.push_back(a->text().toStdString());
  EXPECT_EQ(items, (Strings{"Control", "Security...", "MailBoxes", "Send Mail", "P&rint Setup...",
                            "View Log", "E&xit"}));
  EXPECT_EQ(frame->menuBar()->actions().at(1)->statusTip(), "Create and Arrange windows");
  QAction* spooler = MenuItem("Spooler", "Spooler On");
  ASSERT_NE(spooler, nullptr);
  EXPECT_TRUE(spooler->isCheckable() && spooler->isChecked());
  EXPECT_EQ(MenuItem("&File", "E&xit")->statusTip(), "Exit this application");

  // The print set-up item: its status text shows in the frame's status bar
  // (as a hovered menu item shows it), and choosing it asks the dialog.
  QAction* print = MenuItem("&File", "P&rint Setup...");
  ASSERT_NE(print, nullptr);
  EXPECT_EQ(print->statusTip(), "Setup Printer");
  print->showStatusText(frame->menuBar());
  EXPECT_EQ(frame->statusBar()->currentMessage(), "Setup Printer");
  print->trigger();
  EXPECT_TRUE(PumpUntil([&] { return print_setups_ == 1; })) << "the printer set-up was not asked";

  WindowView* form = OpenFromMenu("Control", "Control File");
  ASSERT_NE(form, nullptr) << "the settings form did not show";
  EXPECT_EQ(renderer_->SubWindowOf(form->model()->id())->windowTitle(), "Control File");
  EXPECT_EQ(
      Prompts(form),
      (Strings{"Applicate Path:", "SMTP SERVER:", "Port:", "From:", "Idle Time:", "Subject:",
               "With Attachment", "Without Attachment", "In Sec",
               "<date> - date of message   <time> - time of message  <ext> - extension no."}));
  EXPECT_EQ(Buttons(form), (Strings{"OK", "Cancel", "Security..."}));
  // Entries as wide as their pictures; texts capped at the field's width.
  auto* port = Widget<QLineEdit>(form, "?CON:PORT");
  auto* idle = Widget<QLineEdit>(form, "?CON:IDLETIME");
  auto* server = Widget<QLineEdit>(form, "?CON:SMTP_SERVER");
  auto* from = Widget<QLineEdit>(form, "?CON:FROM");
  auto* subject = Widget<QLineEdit>(form, "?CON:SUBJECT");
  ASSERT_TRUE(port && idle && server && from && subject);
  EXPECT_LT(idle->width(), port->width());
  EXPECT_LT(port->width(), server->width());
  EXPECT_LT(server->width(), from->width());
  EXPECT_LT(from->width(), subject->width());
  EXPECT_EQ(server->maxLength(), 40);
  EXPECT_EQ(subject->maxLength(), 255);
  // "In Sec" stands right of the idle time, on its line.
  QLabel* in_sec = PromptWithText(form, "In Sec");
  ASSERT_NE(in_sec, nullptr);
  EXPECT_GE(InWindow(in_sec).left(), InWindow(idle).right());
  EXPECT_TRUE(InWindow(idle).contains(InWindow(idle).left(), InWindow(in_sec).center().y()));
  // The bodies, their prompts and the legend sit in the group "Body".
  QGroupBox* body = nullptr;
  for (QGroupBox* g : form->WidgetOf(1)->window()->findChildren<QGroupBox*>())
    if (g->title() == "Body") body = g;
  ASSERT_NE(body, nullptr) << "no group \"Body\"";
  auto* attach = Widget<QPlainTextEdit>(form, "?CON:ATTACHMENT_BODY");
  auto* plain = Widget<QPlainTextEdit>(form, "?CON:NONATTACHMENTBODY");
  ASSERT_TRUE(attach && plain);
  EXPECT_TRUE(body->isAncestorOf(attach) && body->isAncestorOf(plain));
  EXPECT_TRUE(body->isAncestorOf(PromptWithText(form, "With Attachment")));
  EXPECT_TRUE(body->isAncestorOf(PromptWithText(
      form, "<date> - date of message   <time> - time of message  <ext> - extension no.")));
  EXPECT_FALSE(body->isAncestorOf(subject));
  EXPECT_FALSE(attach->isReadOnly()) << "the body templates cannot be typed";
  EXPECT_TRUE(attach->isEnabled());
  ASSERT_TRUE(CloseWindow(form));

  WindowView* list = OpenFromMenu("MailBoxes", "MailBoxes");
  ASSERT_NE(list, nullptr);
  auto* rows = Widget<QTreeWidget>(list, "?LIST");
  ASSERT_NE(rows, nullptr);
  Strings headers;
  for (int i = 0; i < rows->columnCount(); ++i)
    headers.push_back(rows->headerItem()->text(i).toStdString());
  EXPECT_EQ(headers, (Strings{"Mail Box No", "Email Address", "Enable Email", "Send Voice File"}));
  // At least the widths the window gives, in dialog units.
  const int unit = rows->fontMetrics().averageCharWidth();
  EXPECT_GE(rows->columnWidth(0), 31 * unit / 4);
  EXPECT_GE(rows->columnWidth(1), 147 * unit / 4);
  EXPECT_EQ(CutTexts(rows), "");
  // The list's status text shows in the frame's status bar while it has focus.
  frame->activateWindow();
  rows->setFocus();
  EXPECT_TRUE(
      PumpUntil([&] { return frame->statusBar()->currentMessage() == "Browsing Records"; }, 3000))
      << "status bar shows " << frame->statusBar()->currentMessage().toStdString();
  EXPECT_EQ(Buttons(list),
            (Strings{"&Insert", "&Change", "&Delete", "&Select", "Close", "Refresh Mailboxes"}));
  int columns = 0;
  for (int i = 0; i < 4; ++i) columns += rows->columnWidth(i);
  EXPECT_GE(rows->width(), columns) << "the list is narrower than its columns";
  EXPECT_EQ(InWindow(Widget<QPushButton>(list, "?INSERT")).top(),
            InWindow(Widget<QPushButton>(list, "?BUTTON6")).top())
      << "the buttons are not on one row";
  EXPECT_TRUE(Widget<QPushButton>(list, "?SELECT")->isHidden());
  EXPECT_TRUE(Widget<QPushButton>(list, "?INSERT")->isEnabled());
  EXPECT_FALSE(Widget<QPushButton>(list, "?CHANGE")->isEnabled()) << "change with no rows";
  ASSERT_TRUE(CloseWindow(list));

  WindowView* log = OpenFromMenu("View Log", "Browse Records");
  ASSERT_NE(log, nullptr);
  auto* log_rows = Widget<QTreeWidget>(log, "?LIST");
  headers.clear();
  for (int i = 0; i < log_rows->columnCount(); ++i)
    headers.push_back(log_rows->headerItem()->text(i).toStdString());
  EXPECT_EQ(headers, (Strings{"Date", "Time", "MailBox", "Email", "Error Code", "Error"}));
  EXPECT_TRUE(Widget<QPushButton>(log, "?INSERT")->isHidden());
  EXPECT_TRUE(Widget<QPushButton>(log, "?CHANGE")->isHidden());
  EXPECT_FALSE(Widget<QPushButton>(log, "?DELETE")->isHidden()) << "Delete is shown";
  EXPECT_TRUE(Widget<QPushButton>(log, "?SELECT")->isHidden());
  EXPECT_FALSE(Widget<QPushButton>(log, "?CLOSE")->isHidden());
  ASSERT_TRUE(CloseWindow(log));
}

TEST_F(AppWindowsGuiTest, SettingsTypedAndConfirmedReachTheTableAndCancelLeavesIt) {
  StartFrame();
  WindowView* form = OpenFromMenu("Control", "Control File");
  ASSERT_NE(form, nullptr);
  Type(Widget<QLineEdit>(form, "?CON:SMTP_SERVER"), "smtp.example.org");
  Type(Widget<QLineEdit>(form, "?CON:PORT"), "2525");
  Type(Widget<QLineEdit>(form, "?CON:SUBJECT"), "Voice mail for <ext>");
  auto* attach = Widget<QPlainTextEdit>(form, "?CON:ATTACHMENT_BODY");
  attach->selectAll();
  QTest::keyClicks(attach, "Line one");
  QTest::keyClick(attach, Qt::Key_Return);
  QTest::keyClicks(attach, "Line two <date>");
  QTest::keyClicks(Widget<QPlainTextEdit>(form, "?CON:NONATTACHMENTBODY"), "Plain <time>");
  Widget<QPushButton>(form, "?OK")->click();
  ASSERT_TRUE(PumpUntil([&] { return !IsOpen("Control File"); })) << "OK did not close the form";
  app::ControlRow row = Settings();
  EXPECT_EQ(row.smtp_server, "smtp.example.org");
  EXPECT_EQ(row.port, 2525) << "a port of four digits must be taken as typed";
  EXPECT_EQ(row.subject, "Voice mail for <ext>");
  EXPECT_EQ(row.attachment_body, "Line one\nLine two <date>");
  EXPECT_EQ(row.nonattachment_body, "Plain <time>");

  // Edits then Cancel: no question, and the table keeps what it had.
  form = OpenFromMenu("Control", "Control File");
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(Widget<QLineEdit>(form, "?CON:SMTP_SERVER")->text(), "smtp.example.org");
  EXPECT_EQ(Widget<QLineEdit>(form, "?CON:PORT")->text().trimmed(), "2525");
  EXPECT_EQ(Widget<QPlainTextEdit>(form, "?CON:ATTACHMENT_BODY")->toPlainText(),
            "Line one\nLine two <date>");
  Type(Widget<QLineEdit>(form, "?CON:SMTP_SERVER"), "other.example.net");
  QTest::keyClicks(Widget<QPlainTextEdit>(form, "?CON:NONATTACHMENTBODY"), " changed");
  Widget<QPushButton>(form, "?CANCEL")->click();
  ASSERT_TRUE(PumpUntil([&] { return !IsOpen("Control File"); })) << "Cancel did not close it";
  for (QWidget* w : QApplication::topLevelWidgets())
    EXPECT_FALSE(qobject_cast<QMessageBox*>(w) != nullptr && w->isVisible()) << "Cancel asked";
  const app::ControlRow after = Settings();
  EXPECT_EQ(after.smtp_server, "smtp.example.org");
  EXPECT_EQ(after.nonattachment_body, "Plain <time>");
}

TEST_F(AppWindowsGuiTest, MailboxesRefreshFromTheTreeRefuseInsertAndChangeThroughTheForm) {
  WriteSettings(app::testing::ClosedPort());  // its root is the voice-mail tree
  const std::filesystem::path tree_dir(tree());
  for (const char* d : {"101", "102", "0104", "abc"})
    std::filesystem::create_directories(tree_dir / d);
  for (const char* d : {"101", "0104", "abc"}) std::ofstream(tree_dir / d / "transfer.ini") << "";
  StartFrame();
  WindowView* list = OpenFromMenu("MailBoxes", "MailBoxes");
  ASSERT_NE(list, nullptr);
  auto* rows = Widget<QTreeWidget>(list, "?LIST");
  Widget<QPushButton>(list, "?BUTTON6")->click();
  ASSERT_TRUE(PumpUntil([&] { return rows->topLevelItemCount() == 2; }))
      << rows->topLevelItemCount() << " rows after Refresh Mailboxes";
  // In the directory's order; "0104" is mailbox 104.
  QStringList numbers{Trimmed(rows->topLevelItem(0), 0), Trimmed(rows->topLevelItem(1), 0)};
  numbers.sort();
  EXPECT_EQ(numbers.join(","), "101,104");
  EXPECT_EQ(rows->topLevelItem(0)->text(2), "YES");
  EXPECT_EQ(rows->topLevelItem(0)->text(3), "NO");
  std::vector<app::MailboxRow> stored = MailboxRows();
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].mailbox_no + stored[1].mailbox_no, 101 + 104);
  EXPECT_TRUE(Widget<QPushButton>(list, "?CHANGE")->isEnabled());

  // Insert: message 20 in a real message box, then no form and no record.
  Widget<QPushButton>(list, "?INSERT")->click();
  QMessageBox* box = WaitForMessageBox();
  ASSERT_NE(box, nullptr) << "no message for the refused insert";
  EXPECT_EQ(box->windowTitle(), "Invalid Request");
  EXPECT_EQ(box->text(), "This form cannot be used to insert a record");
  box->button(QMessageBox::Ok)->click();
  ASSERT_TRUE(
      PumpUntil([&] { return !Widget<QPushButton>(list, "?INSERT")->window()->isHidden(); }));
  EXPECT_FALSE(IsOpen("Update Mailbox"));
  EXPECT_EQ(MailboxRows().size(), 2u);

  // Change the first row through the form.
  rows->setCurrentItem(rows->topLevelItem(0));
  const int list_no = list->model()->NumberOf("?LIST");
  ASSERT_TRUE(PumpUntil([&] { return list->model()->FindControl(list_no)->selected == 1; }));
  Widget<QPushButton>(list, "?CHANGE")->click();
  WindowView* form = WaitForWindow("Update Mailbox");
  ASSERT_NE(form, nullptr);
  EXPECT_EQ(
      Prompts(form),
      (Strings{"Mailbox :", "Email address:", "CC To :", "Enable Email:", "Send Voice File:"}));
  EXPECT_EQ(Buttons(form), (Strings{"OK", "Cancel"}));
  EXPECT_EQ(Widget<QLabel>(form, "?ACTIONMESSAGE")->text(), "Record will be Changed");
  auto* enable = Widget<QComboBox>(form, "?MAI:ENABLE_EMAIL");
  auto* voice = Widget<QComboBox>(form, "?MAI:SEND_VOICE_FILE");
  ASSERT_TRUE(enable && voice);
  ASSERT_EQ(enable->count(), 2);
  EXPECT_EQ(enable->itemText(0) + "/" + enable->itemText(1), "YES/NO");
  EXPECT_EQ(enable->currentText(), "YES");
  EXPECT_EQ(voice->currentText(), "NO");
  const QString number = Widget<QLineEdit>(form, "?MAI:MAILBOX_NO")->text().trimmed();
  Type(Widget<QLineEdit>(form, "?MAI:EMAIL_ADDRESS"), "ann@example.org");
  enable->setCurrentIndex(1);
  emit enable->activated(1);
  Widget<QPushButton>(form, "?OK")->click();
  ASSERT_TRUE(PumpUntil([&] { return !IsOpen("Update Mailbox"); })) << "OK did not close the form";
  ASSERT_TRUE(PumpUntil([&] { return rows->topLevelItem(0)->text(1) == "ann@example.org"; }))
      << "the list was not read again";
  for (const app::MailboxRow& r : MailboxRows()) {
    if (QString::number(r.mailbox_no) != number) continue;
    EXPECT_EQ(r.email_address, "ann@example.org");
    EXPECT_EQ(r.enable_email, "NO");
    EXPECT_EQ(r.send_voice_file, "NO");
  }
  // A second refresh keeps the edited record as it is.
  Widget<QPushButton>(list, "?BUTTON6")->click();
  PumpUntil([] { return false; }, 300);
  EXPECT_EQ(rows->topLevelItemCount(), 2);
  EXPECT_EQ(rows->topLevelItem(0)->text(1), "ann@example.org");
}

TEST_F(AppWindowsGuiTest, TheLogShowsWaitingSentAndFailedRowsAndPagesThroughALongLog) {
  const int32_t day = runtime::DayFromDate(2026, 7, 5);
  const int32_t time = runtime::TimeFrom(9, 5);
  {
    app::GatewayFiles files(data_dir());
    app::OpenTable open(files, app::Table::kProcessedFiles);
    ASSERT_EQ(open.code(), 0);
    for (int i = 0; i < 45; ++i) {
      app::ProcessedRow r;
      r.filename = "m" + std::to_string(i) + ".wav";
      r.date = day;
      r.time = time + i * 6000;  // a minute apart
      r.processed = i == 0 ? 0 : 1;
      r.error = i == 0 ? "0" : i == 2 ? "Connection refused" : "Nil";
      r.error_code = i == 2 ? 10061 : 0;
      r.mailbox = static_cast<int16_t>(100 + i);
      r.email_address = "n" + std::to_string(i) + "@example.org";
      app::WriteProcessed(r, &files.processed().buffer());
      ASSERT_EQ(files.processed().Add(), 0);
    }
  }
  StartFrame();
  WindowView* log = OpenFromMenu("View Log", "Browse Records");
  ASSERT_NE(log, nullptr);
  auto* rows = Widget<QTreeWidget>(log, "?LIST");
  ASSERT_TRUE(PumpUntil([&] { return rows->topLevelItemCount() > 0; }));
  EXPECT_EQ(rows->topLevelItemCount(), 20) << "one page of the log";
  const QTreeWidgetItem* waiting = rows->topLevelItem(0);
  EXPECT_EQ(waiting->text(0), " 5/07/26");  // the day of queuing, picture 5
  EXPECT_EQ(waiting->text(1), " 9:05");
  EXPECT_EQ(Trimmed(waiting, 2), "100");
  EXPECT_EQ(waiting->text(3), "n0@example.org");
  EXPECT_EQ(Trimmed(waiting, 4), "0");
  EXPECT_EQ(waiting->text(5), "0");
  EXPECT_EQ(Trimmed(rows->topLevelItem(1), 4), "0");
  EXPECT_EQ(rows->topLevelItem(1)->text(5), "Nil");
  EXPECT_EQ(Trimmed(rows->topLevelItem(2), 4), "10061");
  EXPECT_EQ(rows->topLevelItem(2)->text(5), "Connection refused");

  const auto first_email = [&] {
    return rows->topLevelItemCount() == 0 ? QString() : rows->topLevelItem(0)->text(3);
  };
  QTest::keyClick(rows, Qt::Key_PageDown);
  ASSERT_TRUE(PumpUntil([&] { return first_email() == "n20@example.org"; }))
      << "Page Down shows " << first_email().toStdString();
  EXPECT_EQ(rows->topLevelItemCount(), 20);
  QTest::keyClick(rows, Qt::Key_End, Qt::ControlModifier);
  ASSERT_TRUE(PumpUntil([&] { return first_email() == "n25@example.org"; }))
      << "Ctrl+End shows " << first_email().toStdString();
  EXPECT_EQ(rows->topLevelItemCount(), 20);
  EXPECT_EQ(rows->topLevelItem(19)->text(3), "n44@example.org");
  QTest::keyClick(rows, Qt::Key_Home, Qt::ControlModifier);
  ASSERT_TRUE(PumpUntil([&] { return first_email() == "n0@example.org"; }));
  // Down on the page's last row moves the page by one row.
  rows->setCurrentItem(rows->topLevelItem(19));
  const int list_no = log->model()->NumberOf("?LIST");
  ASSERT_TRUE(PumpUntil([&] { return log->model()->FindControl(list_no)->selected == 20; }));
  QTest::keyClick(rows, Qt::Key_Down);
  ASSERT_TRUE(PumpUntil([&] { return first_email() == "n1@example.org"; }))
      << "Down at the last row shows " << first_email().toStdString();
  EXPECT_EQ(rows->topLevelItemCount(), 20);
  EXPECT_EQ(rows->currentItem(), rows->topLevelItem(19));
  EXPECT_EQ(rows->currentItem()->text(3), "n20@example.org");
}

TEST_F(AppWindowsGuiTest, ListColumnsShowTheirTextsAtTheDefaultSizeDragAndTipWhatIsCut) {
  const std::string reply =
      "550 5.1.1 <someone.with.a.long.name@example.org>: Recipient address rejected: User "
      "unknown in virtual mailbox table; the message was not delivered";
  {
    app::GatewayFiles files(data_dir());
    app::OpenTable open(files, app::Table::kProcessedFiles);
    ASSERT_EQ(open.code(), 0);
    for (int i = 0; i < 25; ++i) {
      app::ProcessedRow r;
      r.filename = "m" + std::to_string(i) + ".wav";
      r.date = runtime::DayFromDate(2026, 12, 28);  // two-digit day and month
      r.time = runtime::TimeFrom(18, 45 + i % 10);
      r.processed = 1;
      r.error = i == 1 ? reply : "Connection refused";
      r.error_code = 10061;
      r.mailbox = 988;
      r.email_address = "someone.with.a.long.name" + std::to_string(i) + "@example.org";
      app::WriteProcessed(r, &files.processed().buffer());
      ASSERT_EQ(files.processed().Add(), 0);
    }
  }
  AddMailbox(9876, "someone.with.a.rather.long.name@voicemail.example.org", "", "YES", "YES");
  StartFrame();

  WindowView* mailboxes = OpenFromMenu("MailBoxes", "MailBoxes");
  ASSERT_NE(mailboxes, nullptr);
  auto* boxes = Widget<QTreeWidget>(mailboxes, "?LIST");
  ASSERT_TRUE(PumpUntil([&] { return boxes->topLevelItemCount() == 1; }));
  EXPECT_EQ(CutTexts(boxes), "") << "MailBoxes at " << boxes->width() << " px";
  ASSERT_TRUE(CloseWindow(mailboxes));

  WindowView* log = OpenFromMenu("View Log", "Browse Records");
  ASSERT_NE(log, nullptr);
  auto* rows = Widget<QTreeWidget>(log, "?LIST");
  ASSERT_TRUE(PumpUntil([&] { return rows->topLevelItemCount() == 20; }));
  // Row 0 as the operator reads it: nothing cut.
  Strings shown;
  for (int col = 0; col < rows->columnCount(); ++col)
    shown.push_back(VisibleText(rows, rows->topLevelItem(0), col).trimmed().toStdString());
  EXPECT_EQ(shown, (Strings{"28/12/26", "18:45", "988", "someone.with.a.long.name0@example.org",
                            "10061", "Connection refused"}));
  for (int col = 0; col < rows->columnCount(); ++col)
    EXPECT_EQ(VisibleHeader(rows, col).toStdString(), rows->headerItem()->text(col).toStdString());
  // Only the long reply is cut; hovering it shows it whole, an uncut cell
  // brings up no tooltip.
  const std::string cut = CutTexts(rows);
  EXPECT_EQ(cut.rfind("Error: \"550 5.1.1", 0), 0u) << cut;
  EXPECT_EQ(std::count(cut.begin(), cut.end(), '\n'), 1) << cut;
  EXPECT_EQ(HoverTip(rows, 0, 3), "");
  EXPECT_EQ(HoverTip(rows, 1, 5).toStdString(), reply);

  // Dragging the right edge of the Email header widens the column, and
  // paging keeps the width the user gave it.
  QHeaderView* header = rows->header();
  const int before = rows->columnWidth(3);
  const int edge = header->sectionViewportPosition(3) + before - 1;
  const int y = header->height() / 2;
  QTest::mousePress(header->viewport(), Qt::LeftButton, {}, QPoint(edge, y));
  QTest::mouseMove(header->viewport(), QPoint(edge + 60, y));
  QTest::mouseRelease(header->viewport(), Qt::LeftButton, {}, QPoint(edge + 60, y));
  EXPECT_EQ(rows->columnWidth(3), before + 60) << "the header did not take the drag";
  const QString first = rows->topLevelItem(0)->text(3);
  QTest::keyClick(rows, Qt::Key_PageDown);
  ASSERT_TRUE(PumpUntil([&] { return rows->topLevelItem(0)->text(3) != first; }));
  EXPECT_EQ(rows->columnWidth(3), before + 60);
}

TEST_F(AppWindowsGuiTest, SpoolerOffStopsTheTimerAndSendMailStillRunsAPass) {
  StartFrame(20);  // a pass every 0.2 s while the spooler is on
  ASSERT_TRUE(PumpUntil([&] { return passes_ >= 1; }, 20000)) << "the timer never ran a pass";
  QAction* spooler = MenuItem("Spooler", "Spooler On");
  ASSERT_NE(spooler, nullptr);
  spooler->trigger();
  ASSERT_TRUE(PumpUntil([&] { return !spooler->isChecked(); }));
  ASSERT_TRUE(PumpUntil([&] { return frame_->Snapshot().timer == 0; })) << "the timer stayed on";
  // A pass already running may still end: wait until the count holds still.
  int passes = passes_;
  for (int quiet = 0, rounds = 0; quiet < 5 && rounds < 100; ++rounds) {
    PumpUntil([] { return false; }, 100);
    quiet = passes_ == passes ? quiet + 1 : 0;
    passes = passes_;
  }
  PumpUntil([] { return false; }, 1500);  // seven periods
  EXPECT_EQ(passes_, passes) << "a pass started with the spooler off";
  MenuItem("&File", "Send Mail")->trigger();
  EXPECT_TRUE(PumpUntil([&] { return passes_ == passes + 1; }, 20000))
      << "Send Mail did not run a pass";
}

TEST_F(AppWindowsGuiTest, TheGuiAnswersWhileASendWaitsOnASilentServer) {
  SetRetryFor(0);  // the reply limit's failure is final at once, so the pass writes it
  app::testing::SilentServer silent;
  WriteSettings(silent.port());
  AddMailbox(101, "ann@example.org", "", "YES", "NO");
  MakeRecording(101, "m1.wav", std::string(2000, 'x'));
  app::ScanOptions scan = FastOptions();
  scan.dispatch.reply_timeout_ms = 4000;
  StartFrame(0, scan);
  MenuItem("&File", "Send Mail")->trigger();
  // The scan's status window and the dispatcher's progress window show.
  WindowView* status = WaitForWindow("Send Mail");
  ASSERT_NE(status, nullptr) << "no status window";
  EXPECT_NE(Widget<QLabel>(status, "?STATUS"), nullptr);
  std::shared_ptr<runtime::WindowModel> progress;
  ASSERT_TRUE(PumpUntil(
      [&] {
        for (const auto& w : runtime::OpenWindows())
          if (w->NumberOf("?PROGRESS1") != 0 && renderer_->ViewOf(w->id()) != nullptr) progress = w;
        return progress != nullptr;
      },
      10000))
      << "no progress window";

  // While the send waits for a greeting that never comes, an event posted
  // to the GUI thread is handled at once, and the menu still opens windows.
  std::atomic<bool> handled{false};
  const auto sent = std::chrono::steady_clock::now();
  std::thread poster([&] {
    QMetaObject::invokeMethod(
        &TestApp(), [&] { handled = true; }, Qt::QueuedConnection);
  });
  poster.join();
  ASSERT_TRUE(PumpUntil([&] { return handled.load(); }, 5000)) << "the GUI loop did not run";
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - sent).count();
  std::printf("GUI event round trip while a send waits on a silent server: %.2f ms\n", ms);
  EXPECT_LT(ms, 2000.0) << "the GUI thread hung";
  EXPECT_TRUE(IsOpen("Send Mail")) << "the send ended before the measurement";
  // The status line has room for its longer texts, not only its first.
  auto* status_line = Widget<QLabel>(status, "?STATUS");
  EXPECT_GE(status_line->width(),
            status_line->fontMetrics().horizontalAdvance("New messages added to Queue :1"));
  EXPECT_NE(OpenFromMenu("View Log", "Browse Records"), nullptr);

  // The reply limit ends the send; its outcome is logged.
  ASSERT_TRUE(PumpUntil([&] { return passes_ == 1; }, 30000)) << "the pass never ended";
  const std::vector<app::ProcessedRow> rows = Log();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].processed, 1);
  EXPECT_NE(rows[0].error_code, 0);
}

TEST_F(AppWindowsGuiTest, AMovedWindowReopensWhereItWasLeftOnTheScreen) {
  StartFrame();
  WindowView* list = OpenFromMenu("MailBoxes", "MailBoxes");
  ASSERT_NE(list, nullptr);
  QMdiSubWindow* sub = renderer_->SubWindowOf(list->model()->id());
  sub->setGeometry(40, 50, 420, 300);
  ASSERT_TRUE(CloseWindow(list));
  // Kept in email.INI, where the next run reads it.
  ASSERT_TRUE(ini_.Save().ok());
  framework::IniManager next_run;
  next_run.Open(std::filesystem::path(data_dir()) / framework::IniManager::kFileName);
  EXPECT_EQ(next_run.Fetch("MailBoxes", {}), (framework::WindowPlacement{40, 50, 420, 300, false}));

  list = OpenFromMenu("MailBoxes", "MailBoxes");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(renderer_->SubWindowOf(list->model()->id())->geometry(), QRect(40, 50, 420, 300));
  ASSERT_TRUE(CloseWindow(list));

  // A place on a screen that is gone is pulled back onto the area.
  ini_.Update("MailBoxes", {5000, -300, 400, 200, false});
  list = OpenFromMenu("MailBoxes", "MailBoxes");
  ASSERT_NE(list, nullptr);
  sub = renderer_->SubWindowOf(list->model()->id());
  const QRect area(QPoint(0, 0), sub->mdiArea()->viewport()->size());
  EXPECT_TRUE(area.contains(sub->geometry())) << "window at " << sub->x() << "," << sub->y();
  EXPECT_EQ(sub->width(), 400);
}

}  // namespace
}  // namespace vm::gui::testing
