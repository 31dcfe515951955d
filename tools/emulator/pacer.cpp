#include "tools/emulator/pacer.h"

#include <algorithm>
#include <cmath>

namespace ostrel::emulator {

void StreamPacer::SetRate(double bytes_per_second, double now) {
  Advance(now);
  rate_ = bytes_per_second > 0 ? bytes_per_second : 0;
}

void StreamPacer::Advance(double now) {
  if (rate_ <= 0) {
    arrived_ = size_;
  } else if (arrived_ < size_) {
    credit_ += std::max(0.0, now - last_) * rate_;
    const double whole = std::floor(credit_);
    const std::size_t moved =
        std::min(size_ - arrived_, static_cast<std::size_t>(std::min(whole, double(kBacklog))));
    arrived_ += moved;
    credit_ -= static_cast<double>(moved);
  }
  // An idle line saves no time for later.
  if (arrived_ == size_) credit_ = 0;
  last_ = now;
}

std::size_t StreamPacer::Write(std::span<const std::uint8_t> bytes, double now) {
  Advance(now);
  const std::size_t kept = std::min(bytes.size(), kBacklog - size_);
  for (std::size_t i = 0; i < kept; ++i) ring_[(head_ + size_ + i) % kBacklog] = bytes[i];
  size_ += kept;
  if (rate_ <= 0) arrived_ = size_;
  return kept;
}

void StreamPacer::Poll(double now) {
  Advance(now);
  poll_ = arrived_ > 0;
}

void StreamPacer::Clear() {
  head_ = size_ = arrived_ = 0;
  credit_ = 0;
  poll_ = false;
}

bool StreamPacer::Take(double now, Packet& out) {
  Advance(now);
  std::size_t n = 0;
  if (arrived_ >= kPacketSize) {
    n = kPacketSize;
  } else if (arrived_ > 0 && (arrived_ == size_ || poll_)) {
    n = arrived_;
  }
  if (n == 0) return false;
  poll_ = false;
  for (std::size_t i = 0; i < n; ++i) out.bytes[i] = ring_[(head_ + i) % kBacklog];
  out.size = n;
  head_ = (head_ + n) % kBacklog;
  size_ -= n;
  arrived_ -= n;
  return true;
}

double StreamPacer::Due(double now) const {
  if (size_ == 0) return -1;
  if (arrived_ >= kPacketSize || (arrived_ > 0 && (arrived_ == size_ || poll_)) || rate_ <= 0)
    return 0;
  // Bytes still to cross before the next packet is complete (or the burst is over).
  const double missing = static_cast<double>(std::min(size_, kPacketSize) - arrived_);
  const double credit = credit_ + std::max(0.0, now - last_) * rate_;
  return std::max(0.0, (missing - credit) / rate_);
}

}  // namespace ostrel::emulator
