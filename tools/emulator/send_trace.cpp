#include "tools/emulator/send_trace.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace ostrel::emulator {
namespace {

// Longer than any NMEA sentence (82 characters): a '$' this far from an LF is not one.
constexpr std::size_t kMaxSentence = 120;

bool Printable(char c) { return c >= 0x20 && c <= 0x7E; }

}  // namespace

SendTrace::~SendTrace() {
  if (file_ != nullptr) {
    Flush(Monotonic(), true);
    std::fclose(file_);
  }
}

bool SendTrace::Open(const std::string& path, std::string& error) {
  if (path.empty()) return true;
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    error = "cannot create trace file " + path + ": " + std::strerror(errno);
    return false;
  }
  // Lines go out in large writes; a flood would otherwise pay a syscall per sentence.
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
  return true;
}

std::int64_t SendTrace::Monotonic() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

void SendTrace::Queued(std::span<const std::uint8_t> bytes) {
  if (file_ == nullptr) return;
  held_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void SendTrace::Sent(std::size_t count, std::int64_t ns) {
  if (file_ == nullptr) return;
  sent_ = std::min(held_.size() - first_, sent_ + count);
  Flush(ns, false);
}

void SendTrace::Reply(std::span<const std::uint8_t> packet, std::int64_t ns) {
  if (file_ == nullptr) return;
  // On the wire the reply cuts into a sentence under way; so it does here.
  Flush(ns, true);
  Hex(ns, '@', packet.data(), packet.size());
}

void SendTrace::Clear(std::int64_t ns) {
  if (file_ == nullptr) return;
  // What went out of a sentence cut short is still traced, as plain bytes.
  Flush(ns, true);
  held_.clear();
  first_ = 0;
  sent_ = 0;
}

// Writes every sent byte it can: whole sentences once their LF has gone, other bytes up
// to the next '$'. `partial_sentences`: a sentence whose LF never goes is written as bytes.
void SendTrace::Flush(std::int64_t ns, bool partial_sentences) {
  const std::size_t stop = first_ + sent_;
  std::size_t at = first_;
  while (at < stop) {
    if (held_[at] == '$') {
      // A sentence is printable text ended by CR LF; a line that lacks the CR (a UBX
      // field can read "$H9" then LF) goes as bytes, or its reader would add the CR.
      const std::size_t limit = std::min(held_.size(), at + kMaxSentence);
      std::size_t text_end = at + 1;
      while (text_end < limit && Printable(held_[text_end])) ++text_end;
      const std::size_t lf = text_end + 1;
      const bool whole = lf < limit && held_[text_end] == '\r' && held_[lf] == '\n';
      if (whole && lf < stop) {
        std::fprintf(file_, "%lld %.*s\n", static_cast<long long>(ns),
                     static_cast<int>(text_end - at), held_.data() + at);
        at = lf + 1;
        continue;
      }
      // Not all of it has gone yet, or it is still arriving: it may yet be a sentence.
      const bool arriving =
          (text_end == held_.size() || (text_end + 1 == held_.size() && held_[text_end] == '\r')) &&
          text_end < at + kMaxSentence;
      if ((whole || arriving) && !partial_sentences) break;
    }
    // Plain bytes up to the next '$', as far as they have gone.
    std::size_t end = at + 1;
    while (end < stop && held_[end] != '$') ++end;
    Hex(ns, '~', reinterpret_cast<const std::uint8_t*>(held_.data()) + at, end - at);
    at = end;
  }
  sent_ -= at - first_;
  first_ = at;
  // Traced bytes are dropped in bulk, not per packet.
  if (first_ > 4096 && first_ * 2 > held_.size()) {
    held_.erase(0, first_);
    first_ = 0;
  }
}

void SendTrace::Hex(std::int64_t ns, char tag, const std::uint8_t* bytes, std::size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::fprintf(file_, "%lld %c", static_cast<long long>(ns), tag);
  for (std::size_t i = 0; i < size; ++i) {
    std::fputc(kDigits[bytes[i] >> 4], file_);
    std::fputc(kDigits[bytes[i] & 0x0F], file_);
  }
  std::fputc('\n', file_);
}

}  // namespace ostrel::emulator
