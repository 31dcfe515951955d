#pragma once
// The forwarded stream as the extra consumers get it: cut into whole messages, chosen by
// sentence type, and queued per consumer so that one that does not read loses whole
// messages and delays no one.
//
//   "$GPGGA,...*59\r\n"  B5 62 01 06 34 00 ... CK CK  "$GNRMC,...*7D\r\n"
//    ^ one message        ^ one message (UBX frame)    ^ one message, type RMC
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel {

// A message longer than this without its end is passed on as it stands, so that noise
// with no line end cannot hold the stream back without bound.
inline constexpr std::size_t kMaxMessage = 4096;

// Cuts the bytes given to the GPS Data port into messages: an NMEA line through its LF,
// a UBX frame through its checksum, other bytes up to an LF or a frame's start. A message
// whose end has not come yet waits for the next bytes.
class MessageSplitter {
 public:
  using Sink = std::function<void(const std::uint8_t* bytes, std::size_t count)>;
  MessageSplitter();
  void Feed(const std::uint8_t* bytes, std::size_t count, const Sink& sink);
  std::size_t Waiting() const { return pending_.size(); }

 private:
  // Length of the whole message at pending_[from], 0 while it is incomplete.
  std::size_t FrontMessage(std::size_t from) const;
  std::vector<std::uint8_t> pending_;
};

// "$GPRMC,..." -> "RMC", "$GNGGA,..." -> "GGA"; "" for what is no NMEA sentence.
std::string_view SentenceType(const std::uint8_t* bytes, std::size_t count);

// Whole messages whose type is in `types` (any talker); an empty list lets all through.
class SentenceFilter {
 public:
  explicit SentenceFilter(std::vector<std::string> types) : types_(std::move(types)) {}
  bool Passes(const std::uint8_t* bytes, std::size_t count) const;
  bool Empty() const { return types_.empty(); }

 private:
  std::vector<std::string> types_;
};

// One consumer's bounded queue. A message goes in whole or not at all; what is queued
// leaves in order, a message begun on the wire is always finished. Its capacity must hold
// the longest message (kMaxMessage), so that the rest of one cut by the wire always fits.
class ConsumerQueue {
 public:
  explicit ConsumerQueue(std::size_t capacity);
  // False when it does not fit: the message is lost and counted.
  bool Push(const std::uint8_t* bytes, std::size_t count);
  // What waits, contiguous, and how much of it went out.
  const std::uint8_t* Front() const { return buf_.data() + head_; }
  std::size_t Size() const { return size_; }
  void Consume(std::size_t count);
  // Bytes that went out straight from a batch, past the queue.
  void CountSent(std::size_t count) { sent_bytes_ += count; }
  // Forgets what waits (the consumer went away); not counted as lost.
  void Clear();

  std::uint64_t SentBytes() const { return sent_bytes_; }
  std::uint64_t LostMessages() const { return lost_messages_; }
  std::uint64_t LostBytes() const { return lost_bytes_; }

 private:
  std::vector<std::uint8_t> buf_;  // capacity bytes, allocated once
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  std::uint64_t sent_bytes_ = 0;
  std::uint64_t lost_messages_ = 0;
  std::uint64_t lost_bytes_ = 0;
};

// One receive batch for every consumer: the whole messages that passed the filter, end to
// end, copied once however many consumers there are, and where each one ends.
class MessageBatch {
 public:
  void Clear();
  void Add(const std::uint8_t* bytes, std::size_t count);
  const std::uint8_t* Data() const { return bytes_.data(); }
  std::size_t Size() const { return bytes_.size(); }
  std::size_t Messages() const { return ends_.size(); }
  std::size_t Begin(std::size_t i) const { return i == 0 ? 0 : ends_[i - 1]; }
  std::size_t End(std::size_t i) const { return ends_[i]; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::size_t> ends_;
};

// Each write of the stream as one batch of the whole messages that pass the filter; a
// message cut between writes joins the batch of the write that ends it.
class MessageBatcher {
 public:
  explicit MessageBatcher(std::vector<std::string> types) : filter_(std::move(types)) {}
  const MessageBatch& Next(const std::uint8_t* bytes, std::size_t count);

 private:
  MessageSplitter splitter_;
  SentenceFilter filter_;
  MessageBatch batch_;  // kept between writes for its memory
};

// A consumer's transport: how many of `count` bytes it took now, without waiting (0: none).
using SendBytes = std::function<std::size_t(const std::uint8_t* bytes, std::size_t count)>;

// A batch to one consumer, in one send while it keeps up: straight from the batch when
// nothing of its own waits, else queued behind what waits and sent with it. What the
// transport leaves is queued: the rest of the message it cut, then whole messages while
// they fit; the others are lost whole and counted.
void Deliver(ConsumerQueue& queue, const MessageBatch& batch, const SendBytes& send);

// What waits in the queue, in one send: the transport takes what it can. True when
// nothing waits any more.
bool Drain(ConsumerQueue& queue, const SendBytes& send);

}  // namespace ostrel
