// How often the receiver-settings sequence fails against the real module emulator:
// real socket driver, real read thread, a tick every 100 ms on the system clock, the
// emulator pacing a recorded log at 19200 baud. Not part of the suite (it runs for
// minutes); run it by hand:
//
//   receive_ack_failure_rate [sequences=100] [stream_hold_us=0] [capture=ublox-lea-4h.log]
//                            [reopen=0]
//
// Each sequence is the five settings blocks; the next one is queued in the tick after
// the last one ended. With reopen=1 the device is closed instead, so every sequence is
// the one queued right after an open, as when a module is plugged in. A sequence counts as failed
// when any of its blocks went unacknowledged.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "emulator_rig.h"
#include "link/command_queue.h"
#include "link/read_thread.h"
#include "link/usb_link.h"
#include "platform/clock.h"
#include "receive/receive_cycle.h"
#include "receive_fakes.h"
#include "receiver/antaris.h"
#include "samples.h"

using namespace ostrel;
using namespace ostrel::testing;

namespace {

// NOLINTNEXTLINE(readability-function-size): one measuring run, top to bottom
int Measure(int argc, char** argv) {
  const int sequences = argc > 1 ? std::atoi(argv[1]) : 100;
  const long hold_us = argc > 2 ? std::atol(argv[2]) : 0;
  const std::string capture =
      std::string(OSTREL_CORPUS_DIR) + "/" + (argc > 3 ? argv[3] : "ublox-lea-4h.log");
  const bool reopen = argc > 4 && std::atoi(argv[4]) != 0;

  TempDir dir;
  const std::string socket = "ostrel-ack-rate-" + std::to_string(::getpid());
  EmulatorProcess emulator(socket, {"--replay", capture, "--eeprom", dir.File("eeprom.bin")});
  if (!emulator.ready()) {
    std::fprintf(stderr, "the emulator did not start\n");
    return 2;
  }

  LiveCycle live(socket);
  UsbLink& link = live.link;
  CommandQueue& queue = live.queue;
  SettingsView& view = live.view;
  ReceiveCycle& cycle = live.cycle;
  TReadThread& reader = live.reader;
  view.stream_hold = std::chrono::microseconds(hold_us);

  int done = 0;
  int failed = 0;
  int blocks = 0;
  int unacknowledged = 0;
  bool this_failed = false;
  bool was_busy = false;
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(5 + sequences * 2);
  for (long tick = 0; done < sequences && std::chrono::steady_clock::now() < deadline; ++tick) {
    std::this_thread::sleep_until(start + tick * std::chrono::milliseconds(100));
    if (was_busy && !queue.Pending()) {
      ++done;
      if (this_failed) ++failed;
      this_failed = false;
      was_busy = false;
      if (done == sequences) break;
      if (reopen) {
        link.CloseDevice();  // the next tick opens it again and queues the sequence
      } else {
        view.GPSButtonSetClick();  // the next sequence, from this tick on
      }
    }
    const bool sending = link.State().DeviceOpen.load() && queue.Pending();
    const int32_t failures_before = cycle.Sender().FailedCount;
    const std::uint8_t* block = queue.Data() + queue.SendPos();
    const char sent[2] = {static_cast<char>(block[0]), static_cast<char>(block[1])};
    cycle.Tick();
    if (sending) {
      ++blocks;
      was_busy = true;
      if (cycle.Sender().FailedCount != failures_before) {
        ++unacknowledged;
        this_failed = true;
        // What was taken as the reply, to tell a stale stream head from a late reply.
        std::fprintf(stderr, "tick %ld: block %c%c answered by %d bytes:", tick, sent[0], sent[1],
                     cycle.ChunkLength());
        for (int32_t i = 0; i < cycle.ChunkLength() && i < 24; ++i) {
          const std::uint8_t b = cycle.Chunk()[i];
          std::fprintf(stderr, b >= 32 && b < 127 ? " %c" : " %02X", b);
        }
        std::fprintf(stderr, "\n");
      }
    }
  }

  link.StopAndAbort();
  reader.QuitAndJoin(std::chrono::seconds(3));
  std::printf("sequences %d, failed %d (%.1f%%); blocks %d, unacknowledged %d; hold %ld us%s\n",
              done, failed, done > 0 ? 100.0 * failed / done : 0.0, blocks, unacknowledged, hold_us,
              reopen ? "; each after an open" : "");
  return done == sequences ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Measure(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ack_failure_rate: %s\n", e.what());
    return 2;
  }
}
