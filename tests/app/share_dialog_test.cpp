// [Share] in the window: the Sharing... button only when the settings share, its list of
// consumers, and the "two readers" note pointing to the extra port.
#include "app/share_dialog.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <memory>
#include <string>

#include "app/main_form.h"
#include "app_test_support.h"
#include "engine/panel_engine.h"
#include "support/fake_clock.h"
#include "support/temp_dir.h"

namespace ostrel {
namespace {

class ShareWindowTest : public ::testing::Test {
 protected:
  TMainForm& Start(const std::string& ini) {
    test::WriteFile(dir_.File("ostrel_gps_monitor.ini"), ini);
    form_ =
        std::make_unique<TMainForm>(test::Environment(clock_, test::UniqueSocket(), dir_.Path()));
    return *form_;
  }
  QPushButton* Button() {
    return form_->Ui().DataPortGroup->findChild<QPushButton*>(QStringLiteral("ShareButton"));
  }

  test::TempDir dir_;
  test::FakeClock clock_{50000};
  test::ModalAnswerer answers_;
  std::unique_ptr<TMainForm> form_;
};

TEST_F(ShareWindowTest, NoButtonWithoutShare) {
  Start("[GPS]\nCOM=1\n");
  EXPECT_EQ(Button(), nullptr);
}

TEST_F(ShareWindowTest, ListsTheExtraPortAndTheSecondReaderIsSentThere) {
  Start("[Share]\nExtraPorts=1\n");
  ASSERT_NE(Button(), nullptr);
  Button()->click();
  auto* table =
      form_->Ui().DataPortGroup->findChild<QTableWidget*>(QStringLiteral("ShareConsumers"));
  ASSERT_NE(table, nullptr);
  ASSERT_EQ(table->rowCount(), 1);
  EXPECT_EQ(table->item(0, 0)->text(), QStringLiteral("COM2"));
  auto* summary = form_->Ui().DataPortGroup->findChild<QLabel*>(QStringLiteral("ShareSummary"));
  EXPECT_TRUE(summary->text().contains(QStringLiteral("Read-only")));

  const std::string link = dir_.File("COM1");
  const int a = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  const int b = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  EXPECT_TRUE(test::WaitFor([&] {
    return form_->Ui().GPS_Virtual_Port->toolTip().contains(
        QStringLiteral("let the second program open COM2"));
  }));
  ::close(a);
  ::close(b);
}

}  // namespace
}  // namespace ostrel
