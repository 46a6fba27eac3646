// The Qt message presenter asked from procedure threads: the dialog shows
// the request and the caller gets the button the user clicked.
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>
#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include "gui/qt_presenter.h"
#include "gui_test_support.h"

namespace vm::gui {
namespace {

using testing::PumpUntil;

QMessageBox* OpenBox() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* box = qobject_cast<QMessageBox*>(w); box != nullptr && box->isVisible()) return box;
  return nullptr;
}

TEST(QtPresenterTest, ABoxFromAnotherThreadShowsTheRequestAndReturnsTheClickedButton) {
  testing::TestApp();
  auto presenter = std::make_shared<QtPresenter>();
  runtime::MessageRequest request;
  request.caption = "Send Mail";
  request.text = "Mailbox 101 has no address.|Send the others?";
  request.icon = runtime::MessageIcon::kQuestion;
  request.buttons = runtime::kButtonYes | runtime::kButtonNo | runtime::kButtonCancel;
  request.default_button = runtime::kButtonNo;
  std::future<uint32_t> answer =
      std::async(std::launch::async, [&] { return presenter->Present(request); });

  QMessageBox* box = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (box = OpenBox()) != nullptr; })) << "no dialog appeared";
  EXPECT_EQ(box->windowTitle(), "Send Mail");
  EXPECT_EQ(box->text(), "Mailbox 101 has no address.\nSend the others?");
  EXPECT_EQ(box->icon(), QMessageBox::Question);
  EXPECT_EQ(box->buttons().size(), 3);
  ASSERT_NE(box->defaultButton(), nullptr);
  EXPECT_EQ(box->standardButton(box->defaultButton()), QMessageBox::No);
  EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout)
      << "the caller did not wait for the answer";

  box->button(QMessageBox::Yes)->click();
  ASSERT_TRUE(PumpUntil([&] {
    return answer.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
  })) << "the caller never got its answer";
  EXPECT_EQ(answer.get(), runtime::kButtonYes);
  EXPECT_TRUE(PumpUntil([] { return OpenBox() == nullptr; })) << "the dialog stayed open";
}

TEST(QtPresenterTest, HelpIsAnAnswerLikeTheOthers) {
  testing::TestApp();
  auto presenter = std::make_shared<QtPresenter>();
  runtime::MessageRequest request;
  request.text = "Retry the send?";
  request.buttons = runtime::kButtonRetry | runtime::kButtonHelp;
  std::future<uint32_t> answer =
      std::async(std::launch::async, [&] { return presenter->Present(request); });
  QMessageBox* box = nullptr;
  ASSERT_TRUE(PumpUntil([&] { return (box = OpenBox()) != nullptr; }));
  EXPECT_EQ(box->standardButton(box->defaultButton()), QMessageBox::Retry);
  QAbstractButton* help = nullptr;
  for (QAbstractButton* b : box->buttons())
    if (b->text() == "Help") help = b;
  ASSERT_NE(help, nullptr);
  help->click();
  ASSERT_TRUE(PumpUntil(
      [&] { return answer.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready; }));
  EXPECT_EQ(answer.get(), runtime::kButtonHelp);
}

TEST(QtPresenterTest, ACallerStillWaitingWhenThePresenterGoesGetsTheDefault) {
  testing::TestApp();
  auto presenter = std::make_shared<QtPresenter>();
  runtime::MessageRequest request;
  request.text = "Closing down";
  request.buttons = runtime::kButtonOk | runtime::kButtonCancel;
  request.default_button = runtime::kButtonCancel;
  std::future<uint32_t> answer =
      std::async(std::launch::async, [&] { return presenter->Present(request); });
  ASSERT_TRUE(PumpUntil([] { return OpenBox() != nullptr; }));
  presenter.reset();
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready)
      << "the caller hangs";
  EXPECT_EQ(answer.get(), runtime::kButtonCancel);
  EXPECT_EQ(OpenBox(), nullptr);
}

}  // namespace
}  // namespace vm::gui
