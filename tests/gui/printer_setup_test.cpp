// Qt's page set-up dialog asked from a procedure thread (as the frame's
// "P&rint Setup..." item does): the caller waits for the user's answer, and
// a caller still waiting when the GUI ends gets "not set up".
#include <chrono>
#include <future>

#include <gtest/gtest.h>
#include <QApplication>
#include <QPageSetupDialog>

#include "gui/qt_printer_setup.h"
#include "gui_test_support.h"
#include "runtime/printer_setup.h"

namespace vm::gui {
namespace {

using testing::PumpUntil;

QPageSetupDialog* OpenDialog() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* d = qobject_cast<QPageSetupDialog*>(w); d != nullptr && d->isVisible()) return d;
  return nullptr;
}

bool Ready(const std::future<bool>& f) {
  return f.wait_for(std::chrono::milliseconds(0)) == std::future_status::ready;
}

TEST(QtPrinterSetupTest, TheCallerGetsWhatTheUserAnswered) {
  testing::TestApp();
  auto setup = std::make_shared<QtPrinterSetup>();
  runtime::SetPrinterSetup(setup);
  for (const bool accept : {false, true}) {
    std::future<bool> answer =
        std::async(std::launch::async, [] { return runtime::RunPrinterSetup(); });
    QPageSetupDialog* dialog = nullptr;
    ASSERT_TRUE(PumpUntil([&] { return (dialog = OpenDialog()) != nullptr; }))
        << "no page set-up dialog";
    EXPECT_FALSE(Ready(answer)) << "the caller did not wait for the dialog";
    if (accept)
      dialog->accept();
    else
      dialog->reject();
    ASSERT_TRUE(PumpUntil([&] { return Ready(answer); })) << "the caller never got its answer";
    EXPECT_EQ(answer.get(), accept);
    EXPECT_TRUE(PumpUntil([] { return OpenDialog() == nullptr; })) << "the dialog stayed";
  }
  runtime::SetPrinterSetup(nullptr);
}

TEST(QtPrinterSetupTest, ACallerStillWaitingWhenTheGuiEndsIsLetGo) {
  testing::TestApp();
  auto setup = std::make_shared<QtPrinterSetup>();
  runtime::SetPrinterSetup(setup);
  std::future<bool> answer =
      std::async(std::launch::async, [] { return runtime::RunPrinterSetup(); });
  ASSERT_TRUE(PumpUntil([] { return OpenDialog() != nullptr; }));
  setup->Close();  // as the desktop does when its loop has ended
  ASSERT_EQ(answer.wait_for(std::chrono::seconds(5)), std::future_status::ready)
      << "the caller hangs";
  EXPECT_FALSE(answer.get());
  EXPECT_EQ(OpenDialog(), nullptr);
  EXPECT_FALSE(runtime::RunPrinterSetup()) << "a closed dialog was shown again";
  runtime::SetPrinterSetup(nullptr);
}

}  // namespace
}  // namespace vm::gui
