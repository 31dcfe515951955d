#include "link/command_queue.h"

#include <cstring>

namespace ostrel {
namespace {

int32_t LoadInt32(const std::uint8_t* p) {
  int32_t v;
  std::memcpy(&v, p, sizeof v);  // host byte order; memcpy, as bytes are no int32 object
  return v;
}

void StoreInt32(std::uint8_t* p, int32_t v) { std::memcpy(p, &v, sizeof v); }

void Terminate(CommandQueue& queue) { queue.Data()[queue.EndPos()] = 0; }

}  // namespace

CommandQueue::CommandQueue() { ClearQueue(*this); }

int32_t CommandQueue::SendPos() const { return LoadInt32(buf_.data()); }
int32_t CommandQueue::EndPos() const { return LoadInt32(buf_.data() + 4); }
void CommandQueue::SetSendPos(int32_t pos) { StoreInt32(buf_.data(), pos); }
void CommandQueue::SetEndPos(int32_t pos) { StoreInt32(buf_.data() + 4, pos); }

int32_t CommandQueue::BlocksQueued(int32_t block_size) const {
  return (EndPos() - SendPos()) / EffectiveBlockSize(block_size);
}

int32_t EffectiveBlockSize(int32_t block_size) {
  return block_size > 1 ? block_size : kStdBlockSize;
}

void ClearQueue(CommandQueue& queue) {
  queue.SetSendPos(kFirstBlock);
  queue.SetEndPos(kFirstBlock);
  Terminate(queue);
}

std::size_t BlocksFor(std::size_t len, int32_t block_size) {
  const auto payload = static_cast<std::size_t>(EffectiveBlockSize(block_size) - 1);
  return (len + payload - 1) / payload;
}

bool HasRoomFor(const CommandQueue& queue, std::size_t blocks, int32_t block_size) {
  const auto size = static_cast<std::size_t>(EffectiveBlockSize(block_size));
  return static_cast<std::size_t>(queue.EndPos()) + blocks * size + 1 <=
         static_cast<std::size_t>(kQueueSize);
}

bool AppendBlocks(CommandQueue& queue, const std::uint8_t* bytes, std::size_t len, bool control,
                  int32_t block_size) {
  // Room for the blocks and the 0 byte that EndSequence or the caller puts after them.
  if (!HasRoomFor(queue, BlocksFor(len, block_size), block_size)) return false;

  const std::size_t payload = static_cast<std::size_t>(EffectiveBlockSize(block_size) - 1);
  std::uint8_t* p = queue.Data() + queue.EndPos();
  const std::uint8_t marker = control ? kControlMarker : kDataMarker;
  for (std::size_t i = 0; i < len;) {
    *p++ = marker;
    const std::size_t take = len - i < payload ? len - i : payload;
    std::memcpy(p, bytes + i, take);
    std::memset(p + take, kFill, payload - take);
    p += payload;
    i += take;
  }
  queue.SetEndPos(static_cast<int32_t>(p - queue.Data()));
  return true;
}

bool BeginSequence(CommandQueue& queue, int32_t block_size) {
  static constexpr std::uint8_t kBegin = 'c';
  ClearQueue(queue);
  const bool ok = AppendBlocks(queue, &kBegin, 1, true, block_size);
  Terminate(queue);
  return ok;
}

bool EndSequence(CommandQueue& queue, int32_t block_size) {
  static constexpr std::uint8_t kEnd = '*';
  const bool ok = AppendBlocks(queue, &kEnd, 1, true, block_size);
  Terminate(queue);
  return ok;
}

}  // namespace ostrel
