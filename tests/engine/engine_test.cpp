// The engine with no widgets: real settings files in a scratch folder of the test's own,
// real GPS Data port links, the fake module under the real link, and the fake clock, so
// the settings sequence, five seconds of silence and a demonstration take milliseconds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/panel_engine.h"
#include "engine/panel_view.h"
#include "engine_test_support.h"
#include "gps/tgps.h"
#include "link/command_queue.h"
#include "link/usb_link.h"
#include "platform/vsport_qt.h"
#include "receiver/ubx.h"
#include "support/fake_driver.h"

namespace ostrel {
namespace {

using test::Control;
using test::Data;
using test::FakeDriver;
using test::QueuedBlocks;

constexpr const char* kIni = "ostrel_gps_monitor.ini";

// What the engine reported, in order where the order matters.
class RecordingView final : public PanelView {
 public:
  void ShowStatus(std::string_view text) override { statuses.emplace_back(text); }
  void ShowTrayTip(const std::string& tip) override { tray_tip = tip; }
  void ShowPort(const std::string& name, const std::string& link_path,
                const std::string& note) override {
    port = name;
    port_path = link_path;
    port_note = note;
  }
  void ShowMessageStatus(std::string_view text) override { message_status = text; }
  void ShowSerial(std::string_view text) override { serials.emplace_back(text); }
  void ShowFirmwareVersion(std::string_view text) override { version = text; }
  void ShowFix(const TGPS& gps) override {
    ++fixes;
    latitude = gps.LatitudeText;
  }
  void ShowFixCurrent(bool current) override { fix_current = current; }
  void ShowChunkSize(std::string_view text) override { chunk_size = text; }
  int32_t MemoLineCount() const override { return memo_lines; }
  void ClearMemo() override { memo_lines = 0; }
  void AppendMemo(std::string_view text) override {
    memo_lines += static_cast<int32_t>(std::count(text.begin(), text.end(), '\n'));
  }
  void ShowProcessGPS(bool on) override { process_gps = on; }
  void ShowDemonstration(bool on) override { demonstration = on; }
  void ShowNotice(const std::string& text) override { notices.push_back(text); }
  void ShowMessage(const std::string& caption, const std::string& text) override {
    messages.push_back(caption + ": " + text);
  }
  bool ConfirmErase() override {
    ++erase_questions;
    return erase_answer;
  }
  std::optional<std::string> AskDemoFileName() override { return demo_answer; }
  void EndRequested() override { ++end_requests; }

  std::string Status() const { return statuses.empty() ? std::string() : statuses.back(); }

  std::vector<std::string> statuses;
  std::vector<std::string> notices;
  std::string tray_tip;
  std::string port;
  std::string port_path;
  std::string port_note;
  std::string message_status;
  std::vector<std::string> serials;
  std::string version;
  int fixes = 0;
  std::string latitude;
  bool fix_current = true;
  std::string chunk_size;
  int32_t memo_lines = 0;
  bool process_gps = false;
  bool demonstration = false;
  std::vector<std::string> messages;
  int erase_questions = 0;
  bool erase_answer = false;
  std::optional<std::string> demo_answer;
  int end_requests = 0;
};

class EngineTest : public ::testing::Test {
 protected:
  void Ini(const std::string& text) { test::WriteFile(dir_.File(kIni), text); }
  std::string IniText() const { return test::ReadFile(dir_.File(kIni)); }

  // The engine over a fake module that acknowledges every block as the firmware does,
  // with `answers` for the blocks that carry content.
  PanelEngine& Start(bool module = true) {
    PanelEnvironment env{clock_, {}, dir_.Path()};
    env.make_driver = [this, module](std::vector<UsbId>, UsbNoticeSink) {
      auto driver = std::make_unique<FakeDriver>();
      driver->present = module;
      driver->reply = [this](std::string_view block) { return Answer(block); };
      driver->arrive = [this](const std::string& bytes) { test::Deliver(*engine_->Link(), bytes); };
      driver_ = driver.get();
      return driver;
    };
    engine_ = std::make_unique<PanelEngine>(std::move(env), view_);
    started_ = engine_->Start();
    return *engine_;
  }
  std::string Answer(std::string_view block) const {
    if (!acknowledge_) return {};
    if (block.starts_with("*v")) return "*v123";
    if (block.starts_with("*r")) return "*r0123456789\r\n";
    return std::string(block.substr(0, 2));
  }
  // Ticks until the queue is idle, as the receive timer would, 100 ms apart.
  int TickUntilIdle(int most = 50) {
    int ticks = 0;
    for (; engine_->Queue()->Pending() && ticks < most; ++ticks) Tick();
    return ticks;
  }
  void Tick() {
    clock_.now += 100;
    engine_->Tick();
  }
  std::vector<std::string> Queued() const { return QueuedBlocks(*engine_->Queue()); }
  // What reached the module after the open byte, without the poll bytes.
  std::vector<std::string> Sent() const {
    std::vector<std::string> sent;
    for (const std::string& w : driver_->WritesAfterOpen())
      if (w != "^") sent.push_back(w);
    return sent;
  }

  test::TempDir dir_;
  test::FakeClock clock_{50000};
  RecordingView view_;
  FakeDriver* driver_ = nullptr;
  bool acknowledge_ = true;
  bool started_ = false;
  std::unique_ptr<PanelEngine> engine_;
};

// ---------------------------------------------------------------------------------------
// Start-up

TEST_F(EngineTest, FirstStartWithoutModuleWritesComThenPassBinaryData) {
  Start(false);
  EXPECT_TRUE(started_);
  EXPECT_EQ(IniText(), "[GPS]\nCOM=0\nPassBinaryData=0\n");
  EXPECT_EQ(view_.Status(), "No Device");
  EXPECT_EQ(view_.tray_tip, "Status: No Device\nGPS Port: COM1");
  EXPECT_EQ(view_.port, "COM1");
  // What an application opens is the link's full path.
  EXPECT_EQ(view_.port_path, dir_.File("COM1"));
  EXPECT_TRUE(QFileInfo(QString::fromStdString(dir_.File("COM1"))).isSymLink());
  EXPECT_EQ(engine_->PortDescription(),
            "COM1 at " + dir_.File("COM1") + " (" + engine_->VSPort()->SlavePath() + ")");
  EXPECT_TRUE(view_.messages.empty());
}

// The whole sequence on the fake clock: no tick waits for real time.
TEST_F(EngineTest, FirstStartWithModuleSendsTheSettingsSequenceOneBlockPerTick) {
  Start();
  EXPECT_EQ(IniText(), "[GPS]\nCOM=0\nWAAS=1\nBaud=19200\nPassBinaryData=0\n");
  EXPECT_EQ(view_.Status(), "Connected...");
  EXPECT_EQ(view_.tray_tip, "Status: Connected...\nGPS Port: COM1");
  const std::vector<std::string> sequence{Control("c"), Data(ubx::kCfgPrt19200.data(), 28),
                                          Control("19200"), Data(ubx::kSbasOn.data(), 16),
                                          Control("*")};
  EXPECT_EQ(Queued(), sequence);

  // "Update GPS Status" while the sequence is being sent does nothing, not even a message.
  engine_->UpdateStatus();
  EXPECT_EQ(view_.Status(), "Connected...");
  EXPECT_TRUE(view_.messages.empty());

  const Millis started = clock_.now;
  EXPECT_EQ(TickUntilIdle(), 5);
  EXPECT_EQ(Sent(), sequence);
  EXPECT_EQ(view_.message_status, "Sending command..., 1 completed! (Failed: 0)");
  // Five ticks, and each block's reply wait on the same clock.
  EXPECT_EQ(clock_.now - started, 5 * 100 + 5 * 100);
}

TEST_F(EngineTest, RefusedBaudRateStopsAtDeviceFoundWithNothingStored) {
  Ini("[GPS]\nBaud=4800\n");
  Start();
  EXPECT_EQ(view_.messages,
            std::vector<std::string>{"Error: Please specify a different baud rate (9600, 19200)"});
  EXPECT_EQ(view_.Status(), "Device found!");
  EXPECT_EQ(engine_->Baud(), "4800");
  EXPECT_EQ(IniText(), "[GPS]\nBaud=4800\nCOM=0\nPassBinaryData=0\n");
  // The begin block stays queued without its end.
  EXPECT_EQ(Queued(), std::vector<std::string>{Control("c")});
}

// The USB ids are the user's text: start-up writes the value back as it read it (a first
// start writes no [USB] at all), and a word that is no id is told once, on stderr and in
// error.log, not shown as a message.
TEST_F(EngineTest, UsbIdsAreWrittenBackAsReadAndABadWordIsToldOnce) {
  Ini("[USB]\nDevice = 1209:4b53, zz\n");
  Start(false);
  EXPECT_EQ(IniText(), "[USB]\nDevice=1209:4b53, zz\n[GPS]\nCOM=0\nPassBinaryData=0\n");
  const std::string log = test::ReadFile(dir_.File("error.log"));
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_TRUE(log.starts_with("ostrel-panel: [USB] Device: \"zz\" ")) << log;
  EXPECT_EQ(log.find("1209"), std::string::npos) << log;
  EXPECT_TRUE(view_.messages.empty());
  EXPECT_EQ(view_.Status(), "No Device");
}

TEST_F(EngineTest, RefusedSettingsWriteEndsStartupBeforeThePortAndTheQueue) {
  // A directory where the file should be: every write is refused.
  ASSERT_TRUE(QDir().mkdir(QString::fromStdString(dir_.File(kIni))));
  Start();
  EXPECT_FALSE(started_);
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_TRUE(view_.messages[0].starts_with("Error: ")) << view_.messages[0];
  EXPECT_NE(view_.messages[0].find(kIni), std::string::npos) << view_.messages[0];
  EXPECT_EQ(engine_->VSPort(), nullptr);
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir_.File("COM1"))));
  EXPECT_EQ(engine_->Queue(), nullptr);
  // The operations still answer without touching what was never made.
  engine_->QueryVersion();
  engine_->SetWAAS(false);
  engine_->UpdateStatus();
  engine_->Tick();
}

// ---------------------------------------------------------------------------------------
// The module goes silent, and comes back

TEST_F(EngineTest, FiveSecondsOfSilenceKeepTheModuleAndOneMoreClosesIt) {
  Start();
  TickUntilIdle();
  ASSERT_EQ(view_.Status(), "Connected...");
  test::Deliver(*engine_->Link(), "$GPGGA,1*00\r\n");
  const Millis last = engine_->Link()->State().LastRxTime.load();
  clock_.Set(last + 5000);
  engine_->Tick();
  EXPECT_EQ(view_.Status(), "Connected...");
  clock_.Set(last + 5001);
  engine_->Tick();
  EXPECT_EQ(view_.Status(), "No Device");
  EXPECT_FALSE(engine_->Link()->State().DeviceOpen.load());
  EXPECT_EQ(view_.tray_tip, "Status: No Device\nGPS Port: COM1");

  // Back: the next tick opens it and the settings go out again.
  driver_->writes.clear();
  Tick();
  EXPECT_EQ(view_.Status(), "Connected...");
  EXPECT_EQ(TickUntilIdle(), 5);
  EXPECT_EQ(Sent().size(), 5u);
}

// ---------------------------------------------------------------------------------------
// Maintenance commands and the module's replies

TEST_F(EngineTest, VersionAndSerialRepliesReachTheView) {
  Start();
  TickUntilIdle();
  engine_->QueryVersion();
  EXPECT_EQ(Queued(), (std::vector<std::string>{Control("v"), Control("*")}));
  TickUntilIdle();
  EXPECT_EQ(view_.version, "123");

  engine_->ReadEEPROM();
  // Emptied at once, so a stale number is never taken for the module's answer.
  ASSERT_EQ(view_.serials.size(), 1u);
  EXPECT_EQ(view_.serials[0], "");
  TickUntilIdle();
  EXPECT_EQ(view_.serials.back(), "0123456789");
  EXPECT_EQ(view_.message_status, "Sending command..., 1 completed! (Failed: 0)");
}

TEST_F(EngineTest, SerialAndEraseAreCheckedBeforeAnythingIsQueued) {
  Start(false);
  engine_->WriteEEPROM("ABCDEFGHI");
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(view_.messages,
            std::vector<std::string>{"Error: The serial number must have ten characters."});
  engine_->WriteEEPROM("ABCDEFGHIJ");
  EXPECT_EQ(Queued(), (std::vector<std::string>{Control("wABCDEFGHIJ"), Control("*")}));
  engine_->ResetGPS();

  engine_->EraseEEPROM();  // answered No
  EXPECT_EQ(view_.erase_questions, 1);
  EXPECT_EQ(Queued(), std::vector<std::string>{Control("*")});
  view_.erase_answer = true;
  engine_->EraseEEPROM();
  EXPECT_EQ(Queued(), (std::vector<std::string>{Control("*"), Control("e"), Control("*")}));
}

TEST_F(EngineTest, UnacknowledgedBlockDropsTheRestOfItsSequence) {
  acknowledge_ = false;
  Start();
  Tick();
  EXPECT_EQ(Queued(), std::vector<std::string>{Control("*")});
  EXPECT_EQ(view_.message_status, "Sending command..., 1 failed! (Failed: 1)");
}

TEST_F(EngineTest, UpdateStatusWithoutDeviceSaysSo) {
  Start(false);
  engine_->UpdateStatus();
  EXPECT_EQ(view_.messages, std::vector<std::string>{"Error: There is no device detected."});
  EXPECT_TRUE(Queued().empty());
  EXPECT_EQ(view_.Status(), "No Device");
}

// ---------------------------------------------------------------------------------------
// Commands from an application on the GPS Data port

TEST_F(EngineTest, ApplicationCommandGoesOutAsOneSequence) {
  Start(false);
  const int fd = ::open(dir_.File("COM1").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  const std::string command = "$PUBX,40,GSV,0,0,0,0*59\r\n";
  ASSERT_EQ(::write(fd, command.data(), command.size()), static_cast<ssize_t>(command.size()));
  EXPECT_TRUE(test::WaitFor([&] { return engine_->Queue()->Pending(); }));
  ::close(fd);
  EXPECT_EQ(Queued(),
            (std::vector<std::string>{
                Control("c"),
                Data(reinterpret_cast<const unsigned char*>(command.data()), command.size()),
                Control("*")}));
}

// ---------------------------------------------------------------------------------------
// Demonstration, and the displays' age

TEST_F(EngineTest, DemonstrationReplaysAFileThroughTheDisplaysAndStops) {
  {
    std::ofstream demo(dir_.File("one.txt"), std::ios::binary);
    demo << "$GPGGA,092750.000,5321.6802,N,00630.3372,W,1,8,1.03,61.7,M,55.2,M,,*76\r\n";
  }
  Start(false);
  view_.demo_answer = "one.txt";
  engine_->ToggleDemonstration();
  EXPECT_TRUE(view_.demonstration);
  EXPECT_TRUE(engine_->DisplaysOn());
  EXPECT_TRUE(view_.process_gps);
  EXPECT_EQ(view_.Status(), "Demonstration!");
  EXPECT_EQ(view_.tray_tip, "Status: Demonstration!\nGPS Port: COM1");
  Tick();
  EXPECT_EQ(view_.fixes, 1);
  EXPECT_TRUE(view_.latitude.starts_with("53.36")) << view_.latitude;
  EXPECT_EQ(view_.chunk_size, "72");
  EXPECT_EQ(view_.memo_lines, 1);

  // Stopped: the device state again; three seconds later the displays show as old.
  engine_->ToggleDemonstration();
  EXPECT_FALSE(view_.demonstration);
  EXPECT_EQ(view_.Status(), "No Device");
  clock_.now += 3000;
  engine_->Tick();
  EXPECT_TRUE(view_.fix_current);
  clock_.now += 1;
  engine_->Tick();
  EXPECT_FALSE(view_.fix_current);
}

TEST_F(EngineTest, DemonstrationOfAMissingFileIsToldOnceAfterTheTick) {
  Start(false);
  view_.demo_answer = "no-such-file.txt";
  engine_->ToggleDemonstration();
  for (int i = 0; i < 5; ++i) Tick();
  // Said after the tick, not inside it.
  EXPECT_TRUE(view_.messages.empty());
  QCoreApplication::processEvents();
  EXPECT_EQ(view_.messages, std::vector<std::string>{"Error: Cannot open the demonstration file " +
                                                     dir_.File("no-such-file.txt") +
                                                     ": No such file or directory."});
  EXPECT_EQ(view_.Status(), "Demonstration!");
  EXPECT_EQ(view_.fixes, 0);
}

TEST_F(EngineTest, DemonstrationCancelledChangesNothing) {
  Start(false);
  engine_->ToggleDemonstration();  // the question is answered with nothing
  EXPECT_FALSE(view_.demonstration);
  EXPECT_FALSE(engine_->DemonstrationOn());
  EXPECT_EQ(view_.Status(), "No Device");
}

// ---------------------------------------------------------------------------------------
// Settings the window edits

// ProcessGPS is stored as 1 when the window hides with the displays on, never as 0: a
// window cleared by hand and hidden again keeps the 1, and the next restore turns the
// displays on again.
TEST_F(EngineTest, ProcessGpsIsStoredAsOneByHidingAndNeverAsZero) {
  Start(false);
  engine_->SetProcessGPS(true);
  engine_->WindowHidden();
  EXPECT_FALSE(view_.process_gps);
  EXPECT_NE(IniText().find("ProcessGPS=1\n"), std::string::npos);
  engine_->WindowRestored();
  EXPECT_TRUE(view_.process_gps);
  engine_->SetProcessGPS(false);
  engine_->WindowHidden();
  engine_->WindowRestored();
  EXPECT_TRUE(engine_->DisplaysOn());
  EXPECT_EQ(IniText().find("ProcessGPS=0"), std::string::npos);
}

TEST_F(EngineTest, MaskAngleTakesZeroToNinetyDegreesOnly) {
  Start(false);
  EXPECT_EQ(engine_->MaskAngle(), 0);
  EXPECT_TRUE(engine_->SetMaskAngle(90));
  EXPECT_FALSE(engine_->SetMaskAngle(91));
  EXPECT_FALSE(engine_->SetMaskAngle(-1));
  EXPECT_EQ(engine_->MaskAngle(), 90);
}

TEST_F(EngineTest, WaasChoiceIsStoredWithTheNextSequence) {
  Ini("[GPS]\nWAAS=1\n");
  Start();
  TickUntilIdle();
  engine_->SetWAAS(false);
  EXPECT_EQ(Queued(), (std::vector<std::string>{Control("c"), Data(ubx::kCfgPrt19200.data(), 28),
                                                Control("19200"), Data(ubx::kSbasOff.data(), 16),
                                                Control("*")}));
  EXPECT_NE(IniText().find("WAAS=0\n"), std::string::npos);
}

// After Exit nothing acts: no tick, no command.
TEST_F(EngineTest, StopEndsTicksAndOperations) {
  Start();
  engine_->Stop();
  EXPECT_TRUE(engine_->Link()->State().StopReading.load());
  const std::vector<std::string> before = Queued();
  engine_->QueryVersion();
  Tick();
  EXPECT_EQ(Queued(), before);
}

}  // namespace
}  // namespace ostrel
