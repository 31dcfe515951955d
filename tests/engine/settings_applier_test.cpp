// Applying the receiver settings without a window: a recording view, the real receiver
// commands, the real queue and a settings file in the test's scratch folder.
#include "engine/settings_applier.h"

#include <gtest/gtest.h>

#include <QDir>
#include <string>
#include <vector>

#include "engine/maintenance_actions.h"
#include "engine/settings.h"
#include "engine_test_support.h"
#include "receiver/antaris.h"
#include "receiver/ubx.h"

namespace ostrel {
namespace {

using test::Control;
using test::Data;

class RecordingView final : public ApplyView {
 public:
  bool demo = false;
  std::string baud = "19200";
  bool waas = true;
  std::vector<std::string> statuses;
  std::vector<std::string> errors;
  std::vector<std::string> tips;
  int timer_enabled = 0;

  bool DemoRunning() const override { return demo; }
  std::string BaudText() const override { return baud; }
  bool WAASChecked() const override { return waas; }
  std::string PortName() const override { return "COM4"; }
  void SetStatus(const std::string& text) override { statuses.push_back(text); }
  void EnableReceiveTimer() override { ++timer_enabled; }
  void ShowError(const std::string& text) override { errors.push_back(text); }
  void SetTrayTip(const std::string& tip) override { tips.push_back(tip); }
};

class ApplyTest : public ::testing::Test {
 protected:
  void Apply(bool device_open, int32_t block_size = kStdBlockSize) {
    applier_.GPSButtonSetClick(&queue_, device_open, block_size);
  }
  std::string Ini() const { return test::ReadFile(dir_.File("settings.ini")); }

  test::TempDir dir_;
  RecordingView view_;
  CommandQueue queue_;
  TSettings settings_{dir_.File("settings.ini")};
  SettingsApplier applier_{view_, settings_};
};

TEST_F(ApplyTest, ModuleAt19200WithWaasQueuesFiveBlocksThenStores) {
  Apply(true);
  EXPECT_EQ(
      test::QueuedBlocks(queue_),
      (std::vector<std::string>{Control("c"), Data(ubx::kCfgPrt19200.data(), 28), Control("19200"),
                                Data(ubx::kSbasOn.data(), 16), Control("*")}));
  EXPECT_EQ(Ini(), "[GPS]\nWAAS=1\nBaud=19200\n");
  EXPECT_EQ(view_.statuses,
            (std::vector<std::string>{"No Device", "Device found!", "Connected..."}));
  EXPECT_EQ(view_.tips, std::vector<std::string>{"Status: Connected...\nGPS Port: COM4"});
  EXPECT_EQ(view_.timer_enabled, 1);
  EXPECT_TRUE(applier_.Framing().receiver_ready);
  EXPECT_EQ(applier_.Framing().block_size, kStdBlockSize);
}

TEST_F(ApplyTest, ModuleAt9600WithoutWaasSendsSbasOff) {
  view_.baud = "9600";
  view_.waas = false;
  Apply(true);
  EXPECT_EQ(
      test::QueuedBlocks(queue_),
      (std::vector<std::string>{Control("c"), Data(ubx::kCfgPrt9600.data(), 28), Control("9600"),
                                Data(ubx::kSbasOff.data(), 16), Control("*")}));
  EXPECT_EQ(Ini(), "[GPS]\nWAAS=0\nBaud=9600\n");
}

TEST_F(ApplyTest, NoModuleShowsNoDeviceAndStoresNothing) {
  Apply(false, 0);
  EXPECT_TRUE(test::QueuedBlocks(queue_).empty());
  EXPECT_EQ(Ini(), "");
  EXPECT_EQ(view_.statuses, std::vector<std::string>{"No Device"});
  EXPECT_EQ(view_.tips, std::vector<std::string>{"Status: No Device\nGPS Port: COM4"});
  EXPECT_EQ(view_.timer_enabled, 0);
}

TEST_F(ApplyTest, DemonstrationSendsNothingEvenWithAModule) {
  view_.demo = true;
  Apply(true);
  EXPECT_TRUE(test::QueuedBlocks(queue_).empty());
  EXPECT_EQ(Ini(), "");
  EXPECT_EQ(view_.statuses.back(), "Demonstration!");
  EXPECT_EQ(view_.tips, std::vector<std::string>{"Status: Demonstration!\nGPS Port: COM4"});
  EXPECT_EQ(view_.timer_enabled, 1);
}

class RefusedBaudTest : public ApplyTest, public ::testing::WithParamInterface<const char*> {};

TEST_P(RefusedBaudTest, StopsAtDeviceFoundWithTheBeginBlockOnly) {
  view_.baud = GetParam();
  Apply(true);
  EXPECT_EQ(view_.errors, std::vector<std::string>{kBaudRefused});
  EXPECT_EQ(view_.statuses.back(), "Device found!");
  EXPECT_TRUE(view_.tips.empty());
  EXPECT_EQ(Ini(), "");
  EXPECT_EQ(test::QueuedBlocks(queue_), std::vector<std::string>{Control("c")});
  EXPECT_EQ(view_.timer_enabled, 0);
}

INSTANTIATE_TEST_SUITE_P(Bauds, RefusedBaudTest,
                         ::testing::Values("4800", "", "1200", "57600", "9600 ", "019200"));

TEST_F(ApplyTest, RefusedSettingsWriteLeavesTheBlocksQueued) {
  ASSERT_TRUE(QDir().mkdir(QString::fromStdString(dir_.File("settings.ini"))));
  EXPECT_THROW(Apply(true), SettingsError);
  EXPECT_EQ(view_.statuses.back(), "Device found!");
  EXPECT_EQ(test::QueuedBlocks(queue_).size(), 5u);
  EXPECT_TRUE(view_.tips.empty());
}

class ButtonsView final : public MaintenanceView {
 public:
  bool ConfirmErase() override { return true; }
  void ShowError(const std::string&) override {}
  void SetSerialText(const std::string&) override {}
  void SetStatus(const std::string&) override {}
};

// The maintenance buttons frame as the last apply left them: until an apply has seen the
// queue, the ones that speak to the receiver chip queue nothing, while the firmware's own
// go out with the standard block.
TEST_F(ApplyTest, ReceiverButtonsWaitForAnApplyThatSawTheQueue) {
  ButtonsView buttons_view;
  MaintenanceActions buttons(buttons_view, applier_.Framing());
  buttons.B9600Click(&queue_);
  buttons.GPSButtonReadClick(&queue_, true);
  EXPECT_TRUE(test::QueuedBlocks(queue_).empty());
  buttons.QueryVersionClick(&queue_);
  EXPECT_EQ(test::QueuedBlocks(queue_), (std::vector<std::string>{Control("v"), Control("*")}));

  applier_.GPSButtonSetClick(nullptr, true, kStdBlockSize);  // before the queue exists
  EXPECT_FALSE(applier_.Framing().receiver_ready);
  buttons.B19200Click(&queue_);
  EXPECT_EQ(test::QueuedBlocks(queue_).size(), 2u);

  Apply(false, 0);  // no module, but the queue is there
  buttons.B19200Click(&queue_);
  EXPECT_EQ(
      test::QueuedBlocks(queue_),
      (std::vector<std::string>{Control("v"), Control("*"), Data(ubx::kCfgPrt19200.data(), 28),
                                Control("19200"), Control("*")}));
}

TEST(TrayTip, CutAt127Characters) {
  EXPECT_EQ(CutTrayTip(std::string(127, 'a')).size(), 127u);
  EXPECT_EQ(CutTrayTip(std::string(128, 'a')), std::string(127, 'a'));
  EXPECT_EQ(CutTrayTip(""), "");
  const std::string tip = TrayTipText(std::string(150, 's'), "COM12");
  EXPECT_EQ(tip.size(), 127u);
  EXPECT_EQ(tip.substr(0, 8), "Status: ");
}

}  // namespace
}  // namespace ostrel
