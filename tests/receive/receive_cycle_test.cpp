#include "receive/receive_cycle.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "receive/logs.h"
#include "receiver/maintenance.h"
#include "receiver/ubx.h"
#include "rig.h"
#include "samples.h"

namespace ostrel::testing {
namespace {

using Strings = std::vector<std::string>;

// NAV-SOL with gpsFix at payload byte 10, flags at 11 and numSV at 47.
std::string NavSol(std::uint8_t fix, std::uint8_t flags, std::uint8_t svs) {
  std::vector<std::uint8_t> payload(52, 0);
  payload[10] = fix;
  payload[11] = flags;
  payload[47] = svs;
  const auto frame = ubx::MakeFrame(ubx::kClassNav, ubx::kIdNavSol, payload);
  return {frame.begin(), frame.end()};
}

std::string AckAck() {
  const std::vector<std::uint8_t> payload = {ubx::kClassCfg, ubx::kIdCfgMsg};
  const auto frame = ubx::MakeFrame(ubx::kClassAck, ubx::kIdAckAck, payload);
  return {frame.begin(), frame.end()};
}

const std::string kSixLines = kGGA + kGSA + kGSV1 + kGSV2 + kGSV3 + kRMC;

TEST(ReceiveCycleDemo, FileGoesThroughTheWholeChainWithoutDeviceWork) {
  TempDir dir;
  Rig rig;
  rig.cycle.Demo().DemoFileName = dir.Write("nmea.txt", kSixLines);
  for (int i = 0; i < 5; ++i) rig.cycle.Tick();

  const Strings groups = {kGGA, kGSA, kGSV1 + kGSV2 + kGSV3, kRMC, kGGA};
  EXPECT_EQ(rig.port.writes, groups);
  EXPECT_EQ(rig.view.stream, groups);
  EXPECT_EQ(rig.view.fix_updates, 4);  // RMC is not parsed
  EXPECT_EQ(rig.gps.FixModeText, "SPS");
  EXPECT_TRUE(rig.gps.Sat[17].Used);
  EXPECT_EQ(rig.gps.Sat[17].Elevation, 72);
  EXPECT_EQ(rig.driver.opens, 0);
  EXPECT_TRUE(rig.driver.writes.empty());
}

TEST(ReceiveCycleDemo, TakesPrecedenceOverAnOpenDevice) {
  TempDir dir;
  Rig rig;
  rig.Open();
  ASSERT_TRUE(QueueQueryVersion(rig.queue, 64));
  Deliver(rig.link, "$GPGGA,0307");
  rig.clock.now += 10000;  // no silence check either
  rig.cycle.Demo().DemoFileName = dir.Write("nmea.txt", kGGA);
  rig.cycle.Tick();
  EXPECT_EQ(rig.port.writes, Strings{kGGA});
  EXPECT_TRUE(rig.driver.writes.empty());  // no block, no poll
  EXPECT_TRUE(rig.State().DeviceOpen.load());
  EXPECT_EQ(rig.RxLength(), 11);
  EXPECT_TRUE(rig.queue.Pending());  // the block waits for the device
}

TEST(ReceiveCycleDemo, MissingFileEndsEveryTickAndIsReportedOnce) {
  TempDir dir;
  Rig rig;
  rig.cycle.PassBinaryData = true;  // would write even an empty chunk if the tick went on
  rig.cycle.Demo().DemoFileName = dir.File("missing.txt");
  for (int i = 0; i < 3; ++i) rig.cycle.Tick();
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_TRUE(rig.view.stream.empty());
  EXPECT_EQ(rig.driver.opens, 0);
  EXPECT_EQ(rig.view.demo_failures,
            Strings{dir.File("missing.txt") + ": No such file or directory"});
}

TEST(ReceiveCycleDevice, OpensWhenTheModuleAppears) {
  Rig rig;
  rig.driver.present = false;
  for (int i = 0; i < 3; ++i) rig.cycle.Tick();
  EXPECT_EQ(rig.driver.opens, 3);  // once per tick, silently
  EXPECT_EQ(rig.view.button_set_clicks, 0);

  rig.driver.present = true;
  rig.cycle.Tick();
  EXPECT_TRUE(rig.State().DeviceOpen.load());
  EXPECT_EQ(rig.view.button_set_clicks, 1);
  EXPECT_EQ(rig.view.connection_label, "Connected...");
  EXPECT_EQ(rig.driver.writes, Strings{"j"});
  EXPECT_TRUE(rig.port.writes.empty());
}

struct SilenceCase {
  Millis silence;
  bool closed;
};

TEST(ReceiveCycleDevice, SilenceOfMoreThan5000MsClosesTheDevice) {
  for (const SilenceCase c :
       {SilenceCase{4999, false}, {5000, false}, {5001, true}, {60000, true}}) {
    SCOPED_TRACE(c.silence);
    Rig rig;
    rig.Open();
    rig.view.connection_label = "Connected...";
    rig.clock.now += c.silence;
    rig.cycle.Tick();
    EXPECT_EQ(rig.State().DeviceOpen.load(), !c.closed);
    EXPECT_EQ(rig.view.button_set_clicks, c.closed ? 1 : 0);
    EXPECT_EQ(rig.view.connection_label, c.closed ? "No Device" : "Connected...");
    EXPECT_EQ(rig.driver.opens, 1);  // reopened by a later tick, not this one
    EXPECT_TRUE(rig.driver.writes.empty());
  }
}

TEST(ReceiveCycleDevice, LostDeviceFailsThePendingBlockAndIsReopenedNextTick) {
  Rig rig;
  rig.Open();
  ASSERT_TRUE(QueueQueryVersion(rig.queue, 64));
  rig.clock.now += 4950;  // the 100 ms wait carries it past the limit; no reply comes
  rig.cycle.Tick();
  EXPECT_FALSE(rig.State().DeviceOpen.load());
  EXPECT_EQ(rig.view.message_status, "Sending command..., 1 failed! (Failed: 1)");
  EXPECT_EQ(rig.view.connection_label, "No Device");
  EXPECT_TRUE(rig.view.stream.empty());

  rig.cycle.Tick();
  EXPECT_TRUE(rig.State().DeviceOpen.load());
  EXPECT_FALSE(rig.queue.Pending());  // the open emptied the queue
}

TEST(ReceiveCycleDevice, UnfinishedBytesWaitAndAPollIsWrittenEachTick) {
  Rig rig;
  rig.Open();
  const std::string head = kGGA.substr(0, kGGA.size() - 1);  // up to the CR
  Deliver(rig.link, head);
  rig.cycle.Tick();
  rig.cycle.Tick();
  EXPECT_EQ(rig.driver.writes, (Strings{"^", "^"}));
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_TRUE(rig.view.stream.empty());
  EXPECT_EQ(rig.RxLength(), static_cast<int32_t>(head.size()));

  Deliver(rig.link, "\n" + kRMC);
  rig.cycle.Tick();
  EXPECT_EQ(rig.driver.writes.size(), 2u);
  EXPECT_EQ(rig.port.writes, Strings{kGGA + kRMC});
  EXPECT_EQ(rig.view.stream, Strings{kGGA + kRMC});
  EXPECT_EQ(rig.RxLength(), 0);
  EXPECT_FALSE(rig.State().RxHold.load());
}

// A stream that never pauses at a line end: each tick forwards the whole sentences and
// keeps the one under way, so nothing piles up to the discard point.
TEST(ReceiveCycleDevice, WholeSentencesGoOnAndTheUnfinishedOneWaits) {
  Rig rig;
  rig.Open();
  const std::size_t cut = kRMC.size() / 2;
  Deliver(rig.link, kGGA + kRMC.substr(0, cut));
  rig.cycle.Tick();
  EXPECT_EQ(rig.port.writes, Strings{kGGA});
  EXPECT_EQ(rig.driver.writes, Strings{"^"});  // the rest is polled for
  EXPECT_EQ(rig.RxLength(), static_cast<int32_t>(cut));

  Deliver(rig.link, kRMC.substr(cut));
  rig.cycle.Tick();
  EXPECT_EQ(rig.port.writes, (Strings{kGGA, kRMC}));
  EXPECT_EQ(rig.RxLength(), 0);
}

TEST(ReceiveCycleDevice, NothingWaitingAndNothingQueuedWritesNothing) {
  Rig rig;
  rig.Open();
  for (int i = 0; i < 5; ++i) rig.cycle.Tick();
  EXPECT_TRUE(rig.driver.writes.empty());
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_TRUE(rig.view.stream.empty());
}

TEST(ReceiveCycleDevice, UbxStatusRewritesTheConnectionLabel) {
  Rig rig;
  rig.Open();
  Deliver(rig.link, NavSol(3, 0x03, 9) + kGGA);
  rig.cycle.Tick();
  EXPECT_EQ(rig.view.connection_label, "Connected, 3D Fix, DGPS, 9 SVs");
  EXPECT_FALSE(rig.gps.StatusUpdated);

  // Frames without a status message leave the label as it was.
  rig.view.connection_label = "kept";
  Deliver(rig.link, AckAck() + kGGA);
  rig.cycle.Tick();
  EXPECT_EQ(rig.view.connection_label, "kept");
}

// Steps 1 to 6 run in one trap; whatever ends the tick early, RxHold is cleared.
struct TrapCase {
  const char* name;
  Throw throws;
  std::string chunk;
  int fix_updates;
};

TEST(ReceiveCycleDevice, ErrorEndsTheTickAndTheBufferIsStillReleased) {
  const std::vector<TrapCase> cases = {
      {"fix display raises", Throw::kUpdateFixDisplayError, kGGA, 1},
      {"stream view raises", Throw::kShowDataStreamStd, kGGA, 1},
      {"status label raises", Throw::kConnectionLabel, NavSol(3, 1, 5) + kGGA, 0},
      // Too few fields: the parser raises after the satellite flags.
      {"ParseNMEA raises", Throw::kNothing, WithChecksum("GPGSA,A,3,05"), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig;
    rig.Open();
    rig.view.throws = c.throws;
    Deliver(rig.link, c.chunk);
    rig.cycle.Tick();
    EXPECT_FALSE(rig.State().RxHold.load());
    EXPECT_EQ(rig.view.fix_updates, c.fix_updates);
    EXPECT_TRUE(rig.view.stream.empty());

    // The next tick starts afresh.
    rig.view.throws = Throw::kNothing;
    Deliver(rig.link, kGSA);
    rig.cycle.Tick();
    EXPECT_EQ(rig.view.stream, Strings{kGSA});
    EXPECT_FALSE(rig.State().RxHold.load());
  }
}

TEST(ReceiveCycleDevice, ProcessGpsOffLeavesTheDisplayAlone) {
  Rig rig;
  rig.Open();
  rig.view.process_gps = false;
  Deliver(rig.link, kGGA + kGSA + kGSV1);
  rig.cycle.Tick();
  EXPECT_EQ(rig.port.writes, Strings{kGGA + kGSA + kGSV1});
  EXPECT_EQ(rig.view.fix_updates, 0);
  EXPECT_TRUE(rig.view.stream.empty());
  EXPECT_EQ(rig.gps.FixModeText, "");
  EXPECT_FALSE(rig.gps.Sat[17].Used);
}

TEST(ReceiveCycleDevice, StreamViewGetsATerminatedChunk) {
  Rig rig;
  rig.Open();
  Deliver(rig.link, kGGA + kGSA);
  rig.cycle.Tick();
  Deliver(rig.link, kGSV3);  // shorter: the NUL must follow it, not the old bytes
  rig.cycle.Tick();
  EXPECT_EQ(rig.view.stream, (Strings{kGGA + kGSA, kGSV3}));
  EXPECT_EQ(rig.view.stream_terminated, (std::vector<bool>{true, true}));
}

TEST(ReceiveCyclePositionsLog, RecordThenReplay) {
  TempDir dir;
  {
    PositionsLog log(PositionsLog::kRecord, dir.Path().string());
    Rig rig(&log);
    EXPECT_EQ(rig.cycle.PositionsLogMode, PositionsLog::kRecord);
    rig.cycle.Demo().DemoFileName = dir.Write("nmea.txt", kSixLines);
    for (int i = 0; i < 4; ++i) rig.cycle.Tick();
  }
  {
    // Replay replaces even the live chunk; the device is absent here.
    PositionsLog log(PositionsLog::kReplay, dir.Path().string());
    Rig rig(&log);
    rig.driver.present = false;
    for (int i = 0; i < 5; ++i) rig.cycle.Tick();
    EXPECT_EQ(rig.port.writes, (Strings{kGGA, kGSA, kGSV1 + kGSV2 + kGSV3, kRMC}));
    EXPECT_EQ(rig.view.fix_updates, 3);
  }
}

// Files may grow no further than `bytes` while it lives: a write past that fails as on a
// full disk (EFBIG for ENOSPC), whole or cut short, and the process is not signalled.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &old_);
    old_signal_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = old_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &old_);
    std::signal(SIGXFSZ, old_signal_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;

 private:
  rlimit old_{};
  void (*old_signal_)(int) = nullptr;
};

TEST(ReceiveCyclePositionsLog, FullDiskIsSaidOnceAndAgainWhenRecordingGoesOn) {
  TempDir dir;
  {
    PositionsLog log(PositionsLog::kRecord, dir.Path().string());
    Rig rig(&log);
    rig.cycle.Demo().DemoFileName = dir.Write("nmea.txt", kSixLines);
    rig.cycle.Tick();
    EXPECT_TRUE(rig.view.notices.empty());
    {
      FileSizeLimit full(std::filesystem::file_size(log.FileName()) + 10);
      for (int i = 0; i < 3; ++i) rig.cycle.Tick();  // GSA, GSV 1-3 and RMC are lost
    }
    ASSERT_EQ(rig.view.notices.size(), 1u);
    EXPECT_EQ(rig.view.notices[0], log.FileName() +
                                       ": File too large: recording has stopped; it goes on by "
                                       "itself once the file can be written again.");
    rig.cycle.Tick();  // the demonstration starts again: GGA
    rig.cycle.Tick();
    EXPECT_EQ(rig.view.notices,
              (Strings{rig.view.notices[0], log.FileName() + ": recording goes on again."}));
  }
  // Every record in the file is whole.
  PositionsLog log(PositionsLog::kReplay, dir.Path().string());
  Rig rig(&log);
  rig.driver.present = false;
  for (int i = 0; i < 4; ++i) rig.cycle.Tick();
  EXPECT_EQ(rig.port.writes, (Strings{kGGA, kGGA, kGSA}));
}

TEST(ReceiveCyclePositionsLog, ModeOffLeavesTheLogAlone) {
  TempDir dir;
  PositionsLog log(PositionsLog::kRecord, dir.Path().string());
  Rig rig(&log);
  rig.cycle.PositionsLogMode = PositionsLog::kOff;
  rig.cycle.Demo().DemoFileName = dir.Write("nmea.txt", kSixLines);
  for (int i = 0; i < 4; ++i) rig.cycle.Tick();
  EXPECT_FALSE(std::filesystem::exists(log.FileName()));
  EXPECT_EQ(rig.port.writes.size(), 4u);
}

// ---- A completed line between ticks ----------------------------------------------

// What a completed line does before the next tick: it goes through the data steps at
// once, unless the tick must have it; then it waits in RxBuffer untouched, and nothing
// is written to the module either way (no poll, no block, no open).
TEST(ReceiveCycleArrival, LineGoesOnAtOnceUnlessTheTickMustHaveIt) {
  struct Case {
    const char* name;
    std::function<void(Rig&, TempDir&)> setup;
    bool goes_on;
  };
  const Case cases[] = {
      {"no block pending", [](Rig&, TempDir&) {}, true},
      {"block pending", [](Rig& r, TempDir&) { ASSERT_TRUE(QueueQueryVersion(r.queue, 64)); },
       false},
      {"late reply owed",
       [](Rig& r, TempDir&) {
         // The version block goes unanswered, the end block after it is answered: the
         // queue is empty, but the version's reply may still come.
         r.driver.reply = [](std::string_view block) {
           return block.substr(0, 2) == "**" ? Echo(block) : std::string();
         };
         ASSERT_TRUE(QueueQueryVersion(r.queue, 64));
         r.cycle.Tick();
         r.cycle.Tick();
         ASSERT_FALSE(r.queue.Pending());
         ASSERT_NE(r.cycle.Sender().Owed(), nullptr);
         r.driver.writes.clear();
         r.view.stream.clear();
         r.port.writes.clear();
         r.clock.slept = 0;
       },
       false},
      {"demonstration",
       [](Rig& r, TempDir& d) { r.cycle.Demo().DemoFileName = d.Write("nmea.txt", kRMC); }, false},
      {"replayed log", [](Rig& r, TempDir&) { r.cycle.PositionsLogMode = PositionsLog::kReplay; },
       false},
  };
  for (const Case& c : cases) {
    TempDir dir;
    Rig rig;
    rig.Open();
    c.setup(rig, dir);
    const int32_t send_pos = rig.queue.SendPos();
    Deliver(rig.link, kGGA + kGSA + "$GPGSV,3,1");
    rig.cycle.OnLineArrived();
    if (c.goes_on) {
      EXPECT_EQ(rig.port.writes, Strings{kGGA + kGSA}) << c.name;
      EXPECT_EQ(rig.view.stream, Strings{kGGA + kGSA}) << c.name;
      EXPECT_EQ(rig.view.fix_updates, 1) << c.name;
      EXPECT_EQ(rig.gps.FixModeText, "SPS") << c.name;
      EXPECT_EQ(rig.RxLength(), 10) << c.name;  // the unfinished GSV waits for its end
    } else {
      EXPECT_TRUE(rig.port.writes.empty()) << c.name;
      EXPECT_TRUE(rig.view.stream.empty()) << c.name;
      EXPECT_EQ(rig.RxLength(), static_cast<int32_t>(kGGA.size() + kGSA.size() + 10)) << c.name;
    }
    EXPECT_TRUE(rig.driver.WritesAfterOpen().empty()) << c.name;
    EXPECT_EQ(rig.queue.SendPos(), send_pos) << c.name;
    EXPECT_EQ(rig.driver.opens, 1) << c.name;
    EXPECT_FALSE(rig.State().RxHold.load()) << c.name;
    EXPECT_EQ(rig.clock.slept, 0) << c.name;
    // The read thread's news is wanted only while the lines may go on.
    EXPECT_EQ(rig.link.ArrivalsWanted(), c.goes_on) << c.name;
  }
}

// With a block pending the waiting line belongs to the tick that sends the block: it
// takes the line with the reply, as if no line had been announced.
TEST(ReceiveCycleArrival, PendingBlockStillGetsItsReplyAtTheNextTick) {
  Rig rig;
  rig.Open();
  rig.driver.reply = [](std::string_view block) { return Echo(block) + "123\r\n"; };
  ASSERT_TRUE(QueueQueryVersion(rig.queue, 64));
  Deliver(rig.link, kGGA);
  rig.cycle.OnLineArrived();
  EXPECT_TRUE(rig.port.writes.empty());
  rig.cycle.Tick();
  EXPECT_FALSE(rig.link.ArrivalsWanted());  // the end block goes next
  rig.cycle.Tick();
  EXPECT_TRUE(rig.link.ArrivalsWanted());
  EXPECT_EQ(rig.view.firmware_version, "123");
  EXPECT_EQ(rig.cycle.Sender().FailedCount, 0);
  EXPECT_EQ(rig.port.All(), kGGA);
}

// A module not yet open is the tick's business: nothing is taken or opened.
TEST(ReceiveCycleArrival, ClosedModuleIsLeftToTheTick) {
  Rig rig;
  Deliver(rig.link, kGGA);
  rig.cycle.OnLineArrived();
  EXPECT_EQ(rig.driver.opens, 0);
  EXPECT_TRUE(rig.port.writes.empty());
  EXPECT_EQ(rig.RxLength(), static_cast<int32_t>(kGGA.size()));
}

}  // namespace
}  // namespace ostrel::testing
