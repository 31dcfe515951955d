#include "dataport/external_commands.h"

namespace ostrel {

int32_t MaxExternalCommand(int32_t block_size) {
  const int32_t size = EffectiveBlockSize(block_size);
  // Room for the blocks and the 0 byte after the last one.
  const int32_t blocks = (kQueueSize - kFirstBlock - 1) / size;
  return (blocks - 2) * (size - 1);
}

ExternalCommands::ExternalCommands(VirtualPort& port, OneShotTimer& timer, MessageSink& messages,
                                   CommandQueue& queue, const std::atomic<int32_t>& block_size)
    : port_(port),
      timer_(timer),
      messages_(messages),
      queue_(queue),
      block_size_(block_size),
      external_buffer_(static_cast<std::size_t>(kExternalBufferSize)) {}

void ExternalCommands::ShowError(const char* text) {
  if (box_up_) return;
  box_up_ = true;
  messages_.ShowMessage("Error", text);
  box_up_ = false;
}

void ExternalCommands::VSPortRxChar(std::uint32_t count) {
  const bool busy = queue_.Pending();
  const auto room = static_cast<std::uint32_t>(kExternalBufferSize - external_length_);
  if (count > static_cast<std::uint32_t>(kExternalBufferSize) || count > room) {
    // The bytes stay in the port. Held bytes must still go out once the queue is idle,
    // or every later arrival (counting these too) would be refused for ever.
    if (!busy && external_length_ > 0 && !timer_.IsActive()) timer_.Enable();
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

void ExternalCommands::VSPortReadTimer() {
  timer_.Disable();
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
