#include "dataport/share_stream.h"

#include <algorithm>
#include <cstring>

namespace ostrel {

namespace {

constexpr std::uint8_t kSync1 = 0xB5;
constexpr std::uint8_t kSync2 = 0x62;
constexpr std::size_t kUbxOverhead = 8;  // sync pair, class, id, length, checksum

}  // namespace

MessageSplitter::MessageSplitter() { pending_.reserve(2 * kMaxMessage); }

std::size_t MessageSplitter::FrontMessage(std::size_t from) const {
  const std::uint8_t* p = pending_.data() + from;
  const std::size_t n = pending_.size() - from;
  if (n >= 2 && p[0] == kSync1 && p[1] == kSync2) {
    if (n < 6) return 0;
    const std::size_t total = kUbxOverhead + (p[4] | (static_cast<std::size_t>(p[5]) << 8));
    if (total <= kMaxMessage) return n >= total ? total : 0;
    // Too long to be a frame of this receiver: bytes like any others.
  }
  const std::size_t scan = std::min(n, kMaxMessage);
  for (std::size_t i = 0; i < scan; ++i) {
    if (p[i] == '\n') return i + 1;
    if (i > 0 && p[i] == kSync1) {
      // A frame starts here, or may: its second byte is still to come.
      if (i + 1 == n) return 0;
      if (p[i + 1] == kSync2) return i;
    }
  }
  return n >= kMaxMessage ? kMaxMessage : 0;
}

void MessageSplitter::Feed(const std::uint8_t* bytes, std::size_t count, const Sink& sink) {
  pending_.insert(pending_.end(), bytes, bytes + count);
  std::size_t from = 0;
  for (std::size_t len = FrontMessage(from); len > 0; len = FrontMessage(from)) {
    sink(pending_.data() + from, len);
    from += len;
  }
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(from));
}

std::string_view SentenceType(const std::uint8_t* bytes, std::size_t count) {
  // "$" + two-letter talker + type, then ',' or '*'.
  if (count < 7 || bytes[0] != '$') return {};
  std::size_t end = 3;
  while (end < count && end < 9 && bytes[end] != ',' && bytes[end] != '*') ++end;
  if (end == 3 || end >= count) return {};
  return {reinterpret_cast<const char*>(bytes) + 3, end - 3};
}

bool SentenceFilter::Passes(const std::uint8_t* bytes, std::size_t count) const {
  if (types_.empty()) return true;
  const std::string_view type = SentenceType(bytes, count);
  return !type.empty() && std::find(types_.begin(), types_.end(), type) != types_.end();
}

ConsumerQueue::ConsumerQueue(std::size_t capacity) : buf_(capacity) {}

bool ConsumerQueue::Push(const std::uint8_t* bytes, std::size_t count) {
  if (count > buf_.size() - size_) {
    ++lost_messages_;
    lost_bytes_ += count;
    return false;
  }
  if (head_ + size_ + count > buf_.size()) {
    std::memmove(buf_.data(), buf_.data() + head_, size_);
    head_ = 0;
  }
  std::memcpy(buf_.data() + head_ + size_, bytes, count);
  size_ += count;
  return true;
}

void ConsumerQueue::Consume(std::size_t count) {
  count = std::min(count, size_);
  head_ += count;
  size_ -= count;
  sent_bytes_ += count;
  if (size_ == 0) head_ = 0;
}

void ConsumerQueue::Clear() {
  head_ = 0;
  size_ = 0;
}

void MessageBatch::Clear() {
  bytes_.clear();
  ends_.clear();
}

void MessageBatch::Add(const std::uint8_t* bytes, std::size_t count) {
  bytes_.insert(bytes_.end(), bytes, bytes + count);
  ends_.push_back(bytes_.size());
}

const MessageBatch& MessageBatcher::Next(const std::uint8_t* bytes, std::size_t count) {
  batch_.Clear();
  splitter_.Feed(bytes, count, [this](const std::uint8_t* message, std::size_t length) {
    if (filter_.Passes(message, length)) batch_.Add(message, length);
  });
  return batch_;
}

bool Drain(ConsumerQueue& queue, const SendBytes& send) {
  if (queue.Size() == 0) return true;
  // One try: a transport that took only part is full, and a second try would only cost a
  // system call more.
  queue.Consume(send(queue.Front(), queue.Size()));
  return queue.Size() == 0;
}

void Deliver(ConsumerQueue& queue, const MessageBatch& batch, const SendBytes& send) {
  const auto push_from = [&queue, &batch](std::size_t next) {
    for (; next < batch.Messages(); ++next)
      queue.Push(batch.Data() + batch.Begin(next), batch.End(next) - batch.Begin(next));
  };
  if (queue.Size() > 0 || batch.Size() == 0) {
    push_from(0);
    Drain(queue, send);
    return;
  }
  const std::size_t sent = std::min(send(batch.Data(), batch.Size()), batch.Size());
  queue.CountSent(sent);
  std::size_t next = 0;  // the first message not wholly sent
  while (next < batch.Messages() && batch.End(next) <= sent) ++next;
  if (next < batch.Messages() && sent > batch.Begin(next)) {
    // Begun on the wire: its rest goes first, whatever else is lost.
    queue.Push(batch.Data() + sent, batch.End(next) - sent);
    ++next;
  }
  // The transport is full: the rest waits for it.
  push_from(next);
}

}  // namespace ostrel
