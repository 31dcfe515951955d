// Commands from applications under fuzzed arrivals: sizes from none to past the 64 KB
// buffer, counts that over- or under-state what waits, short reads, a box that lets more
// bytes arrive while it is up, the timer and the sender in any order. Every byte the
// application wrote is, in order, either framed into one sequence, dropped with the box
// for a command too long for the buffer or the queue, collected, or still waiting in the
// port; a framed sequence is exactly "*c", the bytes in '!' blocks with '_' fill, and
// "**"; a refused command is dropped whole, with what arrives until the timer runs out;
// bytes that found the queue idle have the timer running.
#include <fuzzer/FuzzedDataProvider.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "dataport/external_commands.h"
#include "dataport/message_sink.h"
#include "link/command_queue.h"
#include "platform/virtual_port.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

// The application's n-th byte; 0 bytes and marker look-alikes come up often.
std::uint8_t Pattern(std::uint64_t n) { return static_cast<std::uint8_t>((n * 0x9E3779B1u) >> 27); }

// The port's input queue: bytes the application wrote, numbered from 0.
class AppPort final : public ostrel::VirtualPort {
 public:
  bool CreatePort(const std::string&) override { return true; }
  bool Open(const std::string&) override { return true; }
  int32_t Write(const std::uint8_t*, int32_t count) override { return count; }
  int32_t Read(std::uint8_t* bytes, int32_t count) override {
    Check(count >= 0);
    std::uint64_t n = written - read;
    if (n > static_cast<std::uint64_t>(count)) n = static_cast<std::uint64_t>(count);
    if (n > short_read) n = short_read;
    for (std::uint64_t i = 0; i < n; ++i) bytes[i] = Pattern(read + i);
    read += n;
    return static_cast<int32_t>(n);
  }
  std::uint64_t Waiting() const { return written - read; }
  std::uint64_t written = 0;
  std::uint64_t read = 0;
  std::uint64_t short_read = ~std::uint64_t{0};
};

class Timer final : public ostrel::OneShotTimer {
 public:
  void Enable() override {
    Check(!active);  // a running timer is never restarted
    active = true;
  }
  void Disable() override { active = false; }
  bool IsActive() const override { return active; }
  bool active = false;
};

class Boxes final : public ostrel::MessageSink {
 public:
  void ShowMessage(const std::string& caption, const std::string& text) override {
    Check(caption == "Error" && text == ostrel::kCommandTooLong);
    Check(!up);  // one box at a time
    ++shown;
    up = true;
    if (while_up) {
      auto arrive = while_up;
      while_up = nullptr;
      arrive();
    }
    up = false;
  }
  int shown = 0;
  bool up = false;
  void (*while_up)() = nullptr;
};

// Time stands still: every arrival after a refused command is its rest. The pause that
// ends a refused command is the unit tests' business.
class StillClock final : public ostrel::Clock {
 public:
  ostrel::Millis Now() const override { return 0; }
  void Sleep(ostrel::Millis) override {}
};

AppPort* g_port;
ostrel::ExternalCommands* g_ext;
std::uint32_t g_nested_count;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  AppPort port;
  Timer timer;
  Boxes boxes;
  ostrel::CommandQueue queue;
  std::atomic<int32_t> block_size{in.ConsumeBool() ? 64 : 0};
  StillClock clock;
  ostrel::ExternalCommands ext(port, timer, boxes, queue, block_size, clock);
  g_port = &port;
  g_ext = &ext;
  std::uint64_t framed = 0;  // bytes queued or dropped as too long, from byte 0 on

  for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
    const int boxes_before = boxes.shown;
    switch (in.ConsumeIntegralInRange<int>(0, 5)) {
      case 0:
      case 1: {  // the application writes, and the port reports what waits
        std::uint64_t n;
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
          case 0:
            n = in.ConsumeIntegralInRange<std::uint64_t>(0, 70);
            break;
          case 1:
            n = in.ConsumeIntegralInRange<std::uint64_t>(0, 4096);
            break;
          case 2:
            n = in.ConsumeIntegralInRange<std::uint64_t>(64000, 66000);
            break;
          default:
            n = in.ConsumeIntegralInRange<std::uint64_t>(0, 200000);
            break;
        }
        port.written += n;
        std::uint32_t count = static_cast<std::uint32_t>(port.Waiting());
        if (in.ConsumeBool()) count = in.ConsumeIntegral<std::uint32_t>();  // a stale count
        port.short_read =
            in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint64_t>(0, 100) : ~std::uint64_t{0};
        if (in.ConsumeBool()) {
          g_nested_count = in.ConsumeIntegralInRange<std::uint32_t>(0, 70000);
          boxes.while_up = [] {
            g_port->written += g_nested_count;
            g_ext->VSPortRxChar(g_nested_count);
          };
        }
        const bool busy = queue.Pending();
        const bool dropping = ext.Dropping();
        const int32_t length = ext.ExternalLength();
        const std::uint64_t read = port.read;
        ext.VSPortRxChar(count);
        const auto room = static_cast<std::uint32_t>(ostrel::kExternalBufferSize - length);
        if (dropping || count > room) {
          // Refused with one box, or the rest of a refused command: nothing collected,
          // nothing of it left behind, and the timer runs to end the dropping.
          Check(boxes.shown == boxes_before + (dropping ? 0 : 1));
          Check(ext.ExternalLength() == 0 && ext.Dropping() && timer.active);
          Check(port.read >= read);
          framed = port.read;
        } else {
          Check(boxes.shown == boxes_before);
          Check(port.read - read <= count);
          Check(ext.ExternalLength() == length + static_cast<int32_t>(port.read - read));
          // Bytes read on an idle queue start the collection; a busy queue holds them.
          if (busy) Check(!timer.active);
          if (!busy && port.read > read) Check(timer.active);
        }
        boxes.while_up = nullptr;
        port.short_read = ~std::uint64_t{0};
        break;
      }
      case 2: {  // the VSPortRead timer runs out
        if (!timer.active) break;
        const int32_t length = ext.ExternalLength();
        const int32_t bs = block_size.load();
        const int32_t queued_before = queue.EndPos();
        const int32_t send_before = queue.SendPos();
        const bool dropping = ext.Dropping();
        ext.VSPortReadTimer();
        Check(!timer.active && ext.ExternalLength() == 0 && !ext.Dropping());
        if (dropping || length == 0) {
          Check(queue.EndPos() == queued_before);
        } else if (length > ostrel::MaxExternalCommand(bs)) {
          // Too long for the queue: refused whole, the queue left as it was.
          Check(boxes.shown == boxes_before + 1);
          Check(queue.EndPos() == queued_before && queue.SendPos() == send_before);
        } else {
          Check(boxes.shown == boxes_before);
          const std::uint8_t* q = queue.Data();
          Check(queue.SendPos() == ostrel::kFirstBlock);
          const std::string begin = "*c" + std::string(62, '_');
          Check(std::memcmp(q + ostrel::kFirstBlock, begin.data(), 64) == 0);
          int32_t at = ostrel::kFirstBlock + 64;
          const int32_t blocks = (length + 62) / 63;
          for (int32_t k = 0; k < blocks; ++k, at += 64) {
            Check(q[at] == ostrel::kDataMarker);
            for (int32_t j = 0; j < 63; ++j) {
              const int32_t i = k * 63 + j;
              Check(q[at + 1 + j] ==
                    (i < length ? Pattern(framed + static_cast<std::uint64_t>(i)) : ostrel::kFill));
            }
          }
          const std::string end = "**" + std::string(62, '_');
          Check(std::memcmp(q + at, end.data(), 64) == 0);
          Check(queue.EndPos() == at + 64 && q[at + 64] == 0);
        }
        framed += static_cast<std::uint64_t>(length);
        break;
      }
      case 3: {  // the sender gets one block acknowledged
        if (!queue.Pending()) break;
        queue.SetSendPos(queue.SendPos() + ostrel::kStdBlockSize);
        if (!queue.Pending()) ostrel::ClearQueue(queue);
        break;
      }
      case 4: {  // a button queues its own sequence
        ostrel::BeginSequence(queue, block_size.load());
        ostrel::EndSequence(queue, block_size.load());
        break;
      }
      default: {  // the device is opened: sizes 64 and the queue emptied
        block_size.store(64);
        ostrel::ClearQueue(queue);
        break;
      }
    }
    // Nothing lost, repeated or reordered: collected bytes follow the framed ones, and
    // what was not read still waits in the port.
    const int32_t length = ext.ExternalLength();
    Check(length >= 0 && length <= ostrel::kExternalBufferSize);
    Check(framed + static_cast<std::uint64_t>(length) == port.read);
    for (int32_t i = 0; i < length; ++i)
      Check(ext.ExternalBuffer()[i] == Pattern(framed + static_cast<std::uint64_t>(i)));
    Check(queue.EndPos() < ostrel::kQueueSize && queue.Data()[queue.EndPos()] == 0);
    Check(!boxes.up);
  }
  return 0;
}
