#pragma once
// The send trace (--trace FILE): for measuring what a host adds on the way, the moment
// each stream message has been handed to the socket in full, on CLOCK_MONOTONIC (taken as
// the send() of the packet with its last byte begins).
//
//   3523877612345 $GPRMC,101010.00,A,4807.03800,N,...*4F     a sentence (no CR LF)
//   3523877698765 ~B562050102000601...                       other stream bytes, hex
//   3523878001234 @2A630D0A                                  a reply packet, hex
//
// A sentence's line is written when its last byte (the LF) has gone; other stream bytes
// as soon as they have gone, possibly over several lines; a sentence a reply cut into is
// written as other bytes. Taken in order, the lines are every byte the host was sent.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace ostrel::emulator {

class SendTrace {
 public:
  SendTrace() = default;
  SendTrace(const SendTrace&) = delete;
  SendTrace& operator=(const SendTrace&) = delete;
  ~SendTrace();

  // An empty path traces nothing. False with a reason when the file cannot be created.
  bool Open(const std::string& path, std::string& error);
  bool Active() const { return file_ != nullptr; }

  // Stream bytes the pacer has taken on, in the order they will go out.
  void Queued(std::span<const std::uint8_t> bytes);
  // `count` stream bytes have been handed to the socket, at `ns`.
  void Sent(std::size_t count, std::int64_t ns);
  // A reply packet handed to the socket at `ns`, ahead of the stream.
  void Reply(std::span<const std::uint8_t> packet, std::int64_t ns);
  // The pacer forgot what it had not sent yet.
  void Clear(std::int64_t ns);

  // CLOCK_MONOTONIC in nanoseconds, the clock every line carries.
  static std::int64_t Monotonic();

 private:
  void Flush(std::int64_t ns, bool partial_sentences);
  void Hex(std::int64_t ns, char tag, const std::uint8_t* bytes, std::size_t size);

  std::FILE* file_ = nullptr;
  // Queued bytes; those before `first_` are in the trace, the `sent_` after it have gone
  // out but wait for the rest of their sentence.
  std::string held_;
  std::size_t first_ = 0;
  std::size_t sent_ = 0;
};

}  // namespace ostrel::emulator
