#include "dataport/external_commands.h"

namespace ostrel {

int32_t MaxExternalCommand(int32_t block_size) {
  const int32_t size = EffectiveBlockSize(block_size);
  // Room for the blocks and the 0 byte after the last one.
  const int32_t blocks = (kQueueSize - kFirstBlock - 1) / size;
  return (blocks - 2) * (size - 1);
}

ExternalCommands::ExternalCommands(VirtualPort& port, OneShotTimer& timer, MessageSink& messages,
                                   CommandQueue& queue, const std::atomic<int32_t>& block_size,
                                   const Clock& clock)
    : port_(port),
      timer_(timer),
      messages_(messages),
      queue_(queue),
      block_size_(block_size),
      clock_(clock),
      external_buffer_(static_cast<std::size_t>(kExternalBufferSize)) {}

void ExternalCommands::ShowError(const char* text) {
  if (box_up_) return;
  box_up_ = true;
  messages_.ShowMessage("Error", text);
  box_up_ = false;
}

void ExternalCommands::VSPortRxChar(std::uint32_t count) {
  if (dropping_) {
    const Millis now = clock_.Now();
    if (now - last_dropped_ <= kRefusedRestGap) {
      // The rest of a refused command: dropped, and the quiet time starts again.
      DropWaiting(count);
      last_dropped_ = now;
      timer_.Disable();
      timer_.Enable();
      return;
    }
    // After a pause: the refused command is over and this one gets its own 200 ms.
    dropping_ = false;
    timer_.Disable();
  }
  const bool busy = queue_.Pending();
  const auto room = static_cast<std::uint32_t>(kExternalBufferSize - external_length_);
  if (count > static_cast<std::uint32_t>(kExternalBufferSize) || count > room) {
    // A pseudo-terminal hands one write of the application over in pieces of a few KB,
    // so what was collected is the start of this same command. A cut command could do
    // anything to the receiver: none of it goes out. What was collected, what waits in
    // the port and the rest of the write, which follows without a pause, are dropped;
    // the next command is collected as usual.
    external_length_ = 0;
    DropWaiting(count);
    dropping_ = true;
    last_dropped_ = clock_.Now();
    timer_.Disable();
    timer_.Enable();
    ShowError(kCommandTooLong);
    return;
  }
  int32_t got = port_.Read(external_buffer_.data() + external_length_, static_cast<int32_t>(count));
  if (got < 0) got = 0;
  if (got > static_cast<int32_t>(count)) got = static_cast<int32_t>(count);
  external_length_ += got;

  if (busy)
    timer_.Disable();
  else if (got > 0 && !timer_.IsActive())
    timer_.Enable();
}

void ExternalCommands::DropWaiting(std::uint32_t count) {
  // The buffer is free: nothing is collected while a refused command is dropped.
  while (count > 0) {
    const std::uint32_t want =
        count < static_cast<std::uint32_t>(kExternalBufferSize) ? count : kExternalBufferSize;
    const int32_t got = port_.Read(external_buffer_.data(), static_cast<int32_t>(want));
    if (got <= 0) return;
    const auto n = static_cast<std::uint32_t>(got);
    count = n < count ? count - n : 0;
  }
}

void ExternalCommands::VSPortReadTimer() {
  timer_.Disable();
  if (dropping_) {
    // Quiet for the collection time: the refused command is over.
    dropping_ = false;
    external_length_ = 0;
    return;
  }
  if (external_length_ == 0) return;
  const int32_t size = block_size_.load();
  if (external_length_ > MaxExternalCommand(size)) {
    // It would not fit the queue between a begin and an end block; a cut command could
    // do anything to the receiver, so none of it goes out. The queue is left as it was.
    external_length_ = 0;
    ShowError(kCommandTooLong);
    return;
  }
  BeginSequence(queue_, size);
  AppendBlocks(queue_, external_buffer_.data(), static_cast<std::size_t>(external_length_), false,
               size);
  EndSequence(queue_, size);
  external_length_ = 0;
}

}  // namespace ostrel
