// The command sender over a queued sequence and one fuzzed reply per tick. The send step
// writes exactly the block at the tick's position and drops the waiting bytes; the check
// step acknowledges exactly when the reply's first two bytes (the NUL after a one-byte
// reply counting as the second) repeat the block's, and then changes no byte of the reply
// but the NUL after a serial number or version and CR LF at 64 and 65, all inside the
// chunk (whose buffer has exactly len + 1 bytes, so a byte past it shows). A refused
// block leaves the end block "**" alone in the queue.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "link/command_queue.h"
#include "link/usb_link.h"
#include "platform/clock.h"
#include "platform/usb_driver.h"
#include "receive/command_sender.h"
#include "receive/receive_view.h"

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

class StillClock final : public ostrel::Clock {
 public:
  ostrel::Millis Now() const override { return now; }
  void Sleep(ostrel::Millis ms) override { now += ms; }
  ostrel::Millis now = 1000;
};

class Module final : public ostrel::UsbDriver {
 public:
  bool Open() override { return open = true; }
  int BulkRead(std::uint8_t*, int) override { return 0; }
  void BulkWrite(const std::uint8_t* src, int len) override {
    writes.emplace_back(reinterpret_cast<const char*>(src), static_cast<std::size_t>(len));
  }
  void AbortRead() override {}
  void Close() override { open = false; }
  bool IsOpen() const override { return open; }
  bool open = false;
  std::vector<std::string> writes;
};

class Window final : public ostrel::ReceiveView {
 public:
  void SetConnectionLabel(std::string_view) override {}
  void SetMessageStatus(std::string_view text) override { status = std::string(text); }
  void SetEEPROMSerial(std::string_view text) override { serial = std::string(text); }
  void SetFirmwareVersion(std::string_view text) override { version = std::string(text); }
  bool ProcessGPS() const override { return false; }
  void UpdateFixDisplay() override {}
  void ShowDataStream(const std::uint8_t*, int32_t) override {}
  void DemoFileUnavailable(const std::string&, const std::string&) override {}
  void ShowNotice(const std::string&) override {}
  void GPSButtonSetClick() override {}
  std::string status;
  std::optional<std::string> serial;
  std::optional<std::string> version;
};

// The reply's text from byte 2: at most `max` bytes, up to a NUL or the chunk's end.
std::string ReplyText(const std::string& reply, std::size_t max) {
  std::string text;
  for (std::size_t i = 2; i < reply.size() && text.size() < max && reply[i] != '\0'; ++i)
    text += reply[i];
  return text;
}

// The firmware's letters and a few data payloads, queued as a producer would.
void QueueSequence(FuzzedDataProvider& in, ostrel::CommandQueue& queue) {
  static constexpr char kLetters[] = "crvwe*^9j!";
  ostrel::BeginSequence(queue, ostrel::kStdBlockSize);
  const int blocks = in.ConsumeIntegralInRange<int>(0, 4);
  for (int i = 0; i < blocks; ++i) {
    std::string content;
    const bool control = in.ConsumeBool();
    if (control)
      content = std::string(1, kLetters[in.ConsumeIntegralInRange<std::size_t>(0, 9)]);
    else
      content = in.ConsumeRandomLengthString(130);
    if (content.empty()) continue;
    ostrel::AppendBlocks(queue, reinterpret_cast<const std::uint8_t*>(content.data()),
                         content.size(), control, ostrel::kStdBlockSize);
  }
  ostrel::EndSequence(queue, ostrel::kStdBlockSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  StillClock clock;
  Module module;
  ostrel::CommandQueue queue;
  ostrel::UsbLink link(module, clock, queue);
  Check(link.OpenDevice());
  Window window;
  ostrel::CommandSender sender(link, queue, window);
  QueueSequence(in, queue);

  for (int tick = 0; tick < 16 && queue.Pending() && in.remaining_bytes() > 0; ++tick) {
    const int32_t pos = queue.SendPos();
    const std::string block(reinterpret_cast<const char*>(queue.Data() + pos),
                            ostrel::kStdBlockSize);
    const int32_t failed = sender.FailedCount;

    const int32_t waiting = in.ConsumeIntegralInRange<int32_t>(0, 2047);
    {  // bytes waiting from before the block went out
      std::lock_guard lock(link.State().HandOver);
      link.State().RxLength = waiting;
    }
    module.writes.clear();
    const ostrel::Millis before = clock.now;
    sender.SendStep(pos);
    Check(module.writes.size() == 1 && module.writes[0] == block);
    // The stream waiting when a block goes out is delivered, not dropped.
    {
      std::lock_guard lock(link.State().HandOver);
      Check(link.State().RxLength == waiting);
    }
    Check(clock.now - before == ostrel::kReplyWait);
    Check(window.status == "Sending command..., 1");

    // The reply: often the block's own two bytes, so the acknowledged path is reached.
    std::string reply = in.ConsumeRandomLengthString(200);
    if (in.ConsumeBool() && !reply.empty()) {
      reply[0] = block[0];
      if (reply.size() > 1) reply[1] = block[1];
    }
    const auto len = static_cast<int32_t>(reply.size());
    auto chunk = std::make_unique<std::uint8_t[]>(reply.size() + 1);
    std::memcpy(chunk.get(), reply.data(), reply.size());
    chunk[reply.size()] = 0;
    window.serial.reset();
    window.version.reset();
    sender.CheckStep(pos, chunk.get(), len);

    const char second = reply.size() > 1 ? reply[1] : '\0';
    const bool ack = len > 0 && reply[0] == block[0] && second == block[1];
    // The reply is read, never changed: none of it reaches the stream.
    const std::string expected = reply;
    if (ack) {
      Check(sender.FailedCount == failed);
      if (block[0] == '*' && block[1] == 'r') {
        Check(window.serial == ReplyText(reply, 10) && !window.version);
      } else if (block[0] == '*' && block[1] == 'v') {
        Check(window.version == ReplyText(reply, 3) && !window.serial);
      } else {
        Check(!window.serial && !window.version);
      }
      if (queue.Pending()) {
        Check(queue.SendPos() == pos + ostrel::kStdBlockSize);
        Check(window.status == "Sending command..., 1, OK");
      } else {
        Check(queue.SendPos() == ostrel::kFirstBlock && queue.EndPos() == ostrel::kFirstBlock);
        Check(window.status ==
              "Sending command..., 1 completed! (Failed: " + std::to_string(failed) + ")");
      }
    } else {
      Check(sender.FailedCount == failed + 1);
      Check(!window.serial && !window.version);
      Check(queue.SendPos() == ostrel::kFirstBlock &&
            queue.EndPos() == ostrel::kFirstBlock + ostrel::kStdBlockSize);
      const std::string end = "**" + std::string(62, '_');
      Check(std::memcmp(queue.Data() + ostrel::kFirstBlock, end.data(), end.size()) == 0);
      Check(queue.Data()[queue.EndPos()] == 0);
      Check(window.status ==
            "Sending command..., 1 failed! (Failed: " + std::to_string(failed + 1) + ")");
    }
    Check(std::memcmp(chunk.get(), expected.data(), expected.size()) == 0);
    Check(chunk[reply.size()] == 0);
    Check(sender.SendCount == 0);
  }
  return 0;
}
