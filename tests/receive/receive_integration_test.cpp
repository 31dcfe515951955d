// The receive cycle against the real module emulator: real socket driver, real read
// thread, a tick every 100 ms on the system clock. The emulator replays a recorded
// Antaris log while the settings sequence queued on open is sent block by block.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "emulator_rig.h"
#include "link/command_queue.h"
#include "link/read_thread.h"
#include "link/usb_link.h"
#include "platform/clock.h"
#include "receive/receive_cycle.h"
#include "receive_fakes.h"
#include "receiver/antaris.h"
#include "receiver/maintenance.h"
#include "samples.h"
#include "support/corpus.h"

namespace ostrel::testing {
namespace {

#ifdef KASTREL_EMULATOR_PATH

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
  const std::string capture_path = test::CapturePath(kCapture);
  const std::string socket = "ostrel-receive-it-" + std::to_string(::getpid());
  EmulatorProcess emulator(socket, {"--replay", capture_path, "--eeprom", dir.File("eeprom.bin"),
                                    "--log", dir.File("packets.log")});
  ASSERT_TRUE(emulator.ready());

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
  EXPECT_EQ(statuses,
            (std::vector<std::string>{"Sending command..., 1, OK", "Sending command..., 1, OK",
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

// The emulator's send trace: what the chip sent (sentences with their CR LF, other stream
// bytes decoded) and the firmware's reply packets, in order.
struct SendTrace {
  std::string stream;
  std::vector<std::string> replies;
};

std::string FromHex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

SendTrace ReadTrace(const std::string& path) {
  SendTrace trace;
  for (const std::string& line : Lines(ReadFile(path))) {
    const std::size_t space = line.find(' ');
    if (space == std::string::npos || space + 1 >= line.size()) continue;
    std::string_view text(line);
    text = text.substr(space + 1, text.size() - space - 2);  // without the stamp and LF
    if (text[0] == '$') {
      trace.stream.append(text);
      trace.stream += "\r\n";
    } else if (text[0] == '~') {
      trace.stream += FromHex(text.substr(1));
    } else if (text[0] == '@') {
      trace.replies.push_back(FromHex(text.substr(1)));
    }
  }
  return trace;
}

// The NMEA sentences of `bytes`, each with its CR LF.
std::vector<std::string> Sentences(const std::string& bytes) {
  std::vector<std::string> out;
  for (std::size_t at = bytes.find('$'); at != std::string::npos; at = bytes.find('$', at + 1)) {
    const std::size_t lf = bytes.find('\n', at);
    if (lf == std::string::npos) break;
    const std::string s = bytes.substr(at, lf + 1 - at);
    if (s.find('$', 1) == std::string::npos && s.size() > 6 && s[s.size() - 5] == '*')
      out.push_back(s);
  }
  return out;
}

class CommandsInAContinuousStream : public ::testing::TestWithParam<bool> {};

// The settings sequence on open, a command from an application and an "Update GPS Status"
// while the chip streams without pause: the client of the GPS Data port gets what the
// chip sent, nothing lost, nothing altered, and no byte of the firmware's replies.
TEST_P(CommandsInAContinuousStream, ClientGetsExactlyWhatTheChipSent) {
  const bool pass = GetParam();
  TempDir dir;
  const std::string socket =
      "ostrel-exchange-it-" + std::to_string(::getpid()) + (pass ? "b" : "n");
  std::vector<std::string> statuses;
  std::string got;
  {
    EmulatorProcess emulator(socket, {"--period", "130", "--rate", "40000", "--eeprom",
                                      dir.File("eeprom.bin"), "--trace", dir.File("trace")});
    ASSERT_TRUE(emulator.ready());
    LiveCycle live(socket);
    live.cycle.PassBinaryData = pass;

    // An application's command: "*c", its bytes as data blocks, "**".
    const std::string app = "$PUBX,40,GLL,0,0,0,0,0,0*5C\r\n";
    int sequences_done = 0;
    int idle_ticks = 0;
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(25);
    for (int tick = 0; std::chrono::steady_clock::now() < deadline; ++tick) {
      std::this_thread::sleep_until(start + tick * std::chrono::milliseconds(100));
      const bool sending = live.link.State().DeviceOpen.load() && live.queue.Pending();
      live.cycle.Tick();
      if (!sending) {
        ++idle_ticks;
        continue;
      }
      statuses.push_back(live.view.message_status);
      if (live.view.message_status.find("completed!") == std::string::npos) continue;
      idle_ticks = 0;
      ++sequences_done;
      if (sequences_done == 1) {
        ASSERT_TRUE(BeginSequence(live.queue, 64));
        ASSERT_TRUE(AppendBlocks(live.queue, reinterpret_cast<const std::uint8_t*>(app.data()),
                                 app.size(), false, 64));
        ASSERT_TRUE(EndSequence(live.queue, 64));
      } else if (sequences_done == 2) {
        ASSERT_TRUE(QueueStatusRequest(live.queue, 64));
      }
      if (sequences_done == 3) break;
    }
    for (int tick = 0; tick < 10; ++tick) {  // the stream goes on after the last reply
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      live.cycle.Tick();
    }
    live.link.StopAndAbort();
    EXPECT_TRUE(live.reader.QuitAndJoin(std::chrono::seconds(3)));
    EXPECT_EQ(live.cycle.Sender().FailedCount, 0);
    EXPECT_EQ(sequences_done, 3) << "statuses: " << statuses.size();
    got = live.port.All();
  }  // the emulator ends and its trace is complete

  const SendTrace trace = ReadTrace(dir.File("trace"));
  // Five blocks of settings, three of the application's, four of the status request.
  EXPECT_EQ(trace.replies.size(), 12u);
  ASSERT_GT(got.size(), 2000u);
  if (pass) {
    // Every byte, in order, up to the last whole message taken.
    ASSERT_LE(got.size(), trace.stream.size());
    EXPECT_EQ(got, trace.stream.substr(0, got.size()));
    EXPECT_GT(got.size() + 1000, trace.stream.size());
  } else {
    const std::vector<std::string> sent = Sentences(trace.stream);
    const std::vector<std::string> forwarded = Sentences(got);
    ASSERT_LE(forwarded.size(), sent.size());
    EXPECT_EQ(forwarded, std::vector<std::string>(sent.begin(), sent.begin() + forwarded.size()));
    EXPECT_GT(forwarded.size() + 20, sent.size());
    std::string joined;
    for (const auto& s : forwarded) joined += s;
    EXPECT_EQ(got, joined) << "bytes other than whole sentences were forwarded";
  }
  for (const std::string& reply : trace.replies)
    EXPECT_EQ(got.find(reply), std::string::npos) << "reply " << reply << " forwarded";
}

INSTANTIATE_TEST_SUITE_P(PassBinaryData, CommandsInAContinuousStream, ::testing::Bool(),
                         [](const auto& row) { return row.param ? "EveryByte" : "NmeaOnly"; });

#else

TEST(ReceiveCycleIntegration, NeedsTheEmulator) {
  GTEST_SKIP() << "kastrel-emulator is not built in this tree";
}

#endif

}  // namespace
}  // namespace ostrel::testing
