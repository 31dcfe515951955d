// The receive cycle against the real module emulator: real socket driver, real read
// thread, a tick every 100 ms on the system clock. The emulator replays a recorded
// Antaris log while the settings sequence queued on open is sent block by block.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "link/command_queue.h"
#include "link/read_thread.h"
#include "link/usb_link.h"
#include "platform/clock.h"
#include "receive/receive_cycle.h"
#include "receiver/antaris.h"
#include "emulator_rig.h"
#include "receive_fakes.h"
#include "samples.h"

namespace ostrel::testing {
namespace {

#ifdef KASTREL_EMULATOR

constexpr const char* kCapture = "ublox-lea-4h.log";

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t lf = text.find('\n'); lf != std::string::npos; lf = text.find('\n', start)) {
    lines.push_back(text.substr(start, lf + 1 - start));
    start = lf + 1;
  }
  return lines;
}

// True when `got` is a run of consecutive lines of the looping `capture`.
bool ContiguousInCapture(const std::vector<std::string>& got,
                         const std::vector<std::string>& capture) {
  if (got.empty() || capture.empty()) return false;
  for (std::size_t i = 0; i < capture.size(); ++i) {
    std::size_t k = 0;
    while (k < got.size() && got[k] == capture[(i + k) % capture.size()]) ++k;
    if (k == got.size()) return true;
  }
  return false;
}

TEST(ReceiveCycleIntegration, ReplayedSentencesArriveOnceInOrderAndSettingsAreAcknowledged) {
  TempDir dir;
  const std::string capture_path = std::string(OSTREL_CORPUS_DIR) + "/" + kCapture;
  const std::string socket = "ostrel-receive-it-" + std::to_string(::getpid());
  Emulator emulator(KASTREL_EMULATOR, {"--socket", socket, "--replay", capture_path, "--eeprom",
                     dir.Path("eeprom.bin"), "--log", dir.Path("packets.log")});
  ASSERT_TRUE(emulator.Started());

  LiveCycle live(socket);
  UsbLink& link = live.link;
  CommandQueue& queue = live.queue;
  FakePort& port = live.port;
  SettingsView& view = live.view;
  ReceiveCycle& cycle = live.cycle;
  TReadThread& reader = live.reader;

  // What each tick forwarded, and the status text at the end of each tick that sent.
  std::vector<std::pair<int, std::string>> forwarded;
  std::vector<std::string> statuses;
  int completed_at = -1;
  constexpr int kSettleTicks = 5;  // acknowledgements and UBX replies have passed
  constexpr int kWatchTicks = 30;  // three navigation cycles of the log
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(20);
  for (int tick = 0; std::chrono::steady_clock::now() < deadline; ++tick) {
    std::this_thread::sleep_until(start + tick * std::chrono::milliseconds(100));
    const std::size_t before = port.writes.size();
    const bool sending = link.State().DeviceOpen.load() && queue.Pending();
    cycle.Tick();
    for (std::size_t i = before; i < port.writes.size(); ++i)
      forwarded.emplace_back(tick, port.writes[i]);
    if (sending) statuses.push_back(view.message_status);
    if (completed_at < 0 && view.message_status.find("completed!") != std::string::npos)
      completed_at = tick;
    if (completed_at >= 0 && tick >= completed_at + kSettleTicks + kWatchTicks) break;
  }

  link.StopAndAbort();
  EXPECT_TRUE(reader.QuitAndJoin(std::chrono::seconds(3)));

  // Opened once and the five blocks ("*c", CFG-PRT, "*19200", CFG-SBAS, "**") were
  // acknowledged one per tick.
  EXPECT_EQ(view.settings_queued, 1);
  ASSERT_GE(completed_at, 0) << "the settings sequence never completed";
  EXPECT_EQ(statuses, (std::vector<std::string>{
                          "Sending command..., 1, OK", "Sending command..., 1, OK",
                          "Sending command..., 1, OK", "Sending command..., 1, OK",
                          "Sending command..., 1 completed! (Failed: 0)"}));
  EXPECT_EQ(cycle.Sender().FailedCount, 0);

  // After the sequence: every sentence exactly once, in the order of the log.
  std::string after;
  for (const auto& [tick, bytes] : forwarded)
    if (tick > completed_at + kSettleTicks) after += bytes;
  const std::vector<std::string> got = Lines(after);
  std::vector<std::string> capture;
  for (const auto& line : Lines(ReadFile(capture_path)))
    if (!line.empty() && line[0] == '$') capture.push_back(line);
  EXPECT_GE(got.size(), 14u) << "too little data after the sequence";
  EXPECT_TRUE(ContiguousInCapture(got, capture)) << "forwarded:\n" << after;
}

#else

TEST(ReceiveCycleIntegration, NeedsTheEmulator) {
  GTEST_SKIP() << "kastrel-emulator is not built in this tree";
}

#endif

}  // namespace
}  // namespace ostrel::testing
