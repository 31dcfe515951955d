#include "tools/emulator/emulator.h"

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstddef>
#include <cstring>

#include "platform/abstract_socket.h"

namespace ostrel::emulator {
namespace {

using SteadyClock = std::chrono::steady_clock;
const SteadyClock::time_point kStart = SteadyClock::now();

std::int64_t UnixMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Packets handed to the socket per loop turn, so a flood never starves the reads.
constexpr int kSendBurst = 256;
// Bytes kept queued ahead of the line when flooding or streaming a log continuously.
constexpr std::size_t kFloodAhead = 8192;

}  // namespace

Emulator::Emulator(const Options& options)
    : options_(options),
      eeprom_(options.eeprom_path),
      firmware_(eeprom_, options.firmware_version),
      chip_(options.baud),
      scenario_(options.stationary ? Scenario(options.satellites, options.seed)
                                   : Scenario(options.satellites)),
      rng_(options.seed),
      baud_(options.baud) {}

Emulator::~Emulator() {
  for (const int fd : {client_fd_, listen_fd_, signal_fd_}) {
    if (fd >= 0) ::close(fd);
  }
}

double Emulator::Now() const {
  return std::chrono::duration<double>(SteadyClock::now() - kStart).count();
}

bool Emulator::Prepare(std::string& error, int& exit_status) {
  exit_status = 2;
  if (!eeprom_.Load(error)) return false;
  if (!options_.replay_path.empty()) {
    if (!replay_.Load(options_.replay_path, error)) return false;
    replaying_ = true;
  }
  if (!log_.Open(options_.log_path, options_.verbose, error)) return false;
  if (!trace_.Open(options_.trace_path, error)) return false;

  exit_status = 1;
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  if (sigprocmask(SIG_BLOCK, &stop, nullptr) != 0 ||
      (signal_fd_ = signalfd(-1, &stop, SFD_NONBLOCK | SFD_CLOEXEC)) < 0) {
    error = std::string("cannot take SIGTERM/SIGINT: ") + std::strerror(errno);
    return false;
  }
  if (!Listen()) {
    error = "cannot listen on @" + options_.socket_name + ": " + std::strerror(errno);
    return false;
  }
  ApplyRate(Now());
  return true;
}

bool Emulator::Listen() {
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const AbstractAddress address = MakeAbstractAddress(options_.socket_name);
  if (::bind(fd, address.Get(), address.length) != 0 || ::listen(fd, 8) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  listen_fd_ = fd;
  return true;
}

int Emulator::Run() {
  std::fprintf(stderr, "kastrel-emulator: listening on @%s\n", options_.socket_name.c_str());
  std::fflush(stderr);
  // Solutions fall on whole periods of UTC, as a receiver's epochs fall on whole seconds.
  const std::int64_t period = options_.period_ms;
  next_cycle_ = Now() + static_cast<double>(period - UnixMillis() % period) / 1000.0;

  while (true) {
    now_ = Now();
    Supervise(now_);
    if (now_ >= next_cycle_) {
      Cycle(now_);
      next_cycle_ += options_.period_ms / 1000.0;
      // After a stall (a stopped process, a loaded machine) pick up the beat, don't race.
      if (next_cycle_ < now_) next_cycle_ = now_ + options_.period_ms / 1000.0;
    }
    TopUp(now_);
    Deliver(now_);

    pollfd fds[3] = {{signal_fd_, POLLIN, 0}, {-1, 0, 0}, {-1, 0, 0}};
    if (client_fd_ >= 0) {
      fds[1] = {client_fd_, static_cast<short>(POLLIN | (want_write_ ? POLLOUT : 0)), 0};
    } else if (listen_fd_ >= 0) {
      // One client at a time: others wait in the backlog until this one ends.
      fds[2] = {listen_fd_, POLLIN, 0};
    }
    if (::poll(fds, 3, Timeout(now_)) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "kastrel-emulator: poll: %s\n", std::strerror(errno));
      return 1;
    }
    now_ = Now();
    if ((fds[0].revents & POLLIN) != 0) {
      signalfd_siginfo info{};
      if (::read(signal_fd_, &info, sizeof info) > 0) {
        log_.Event(now_,
                   std::string("stopped by ") + ::strsignal(static_cast<int>(info.ssi_signo)));
        return 0;
      }
    }
    if ((fds[1].revents & POLLOUT) != 0) want_write_ = false;
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) ReadClient(now_);
    if ((fds[2].revents & POLLIN) != 0) Accept(now_);
  }
}

int Emulator::Timeout(double now) const {
  double wait = next_cycle_ - now;
  const auto consider = [&](double t) {
    if (t >= 0) wait = std::min(wait, t);
  };
  if (listen_fd_ < 0) consider(replug_at_ - now);
  if (listen_fd_ >= 0 && options_.unplug_every > 0)
    consider(plugged_at_ + options_.unplug_every - now);
  if (client_fd_ >= 0 && options_.silent_after >= 0)
    consider(connected_at_ + options_.silent_after - now);
  // With the socket full, only POLLOUT can move packets on.
  if (!want_write_ && client_fd_ >= 0) {
    if (!replies_.empty()) consider(replies_.front().due - now);
    if (stream_packet_held_) consider(0);
    if (CanStream(now)) consider(pacer_.Due(now));
  }
  wait = std::clamp(wait, 0.0, 1.0);
  return static_cast<int>(std::ceil(wait * 1000.0));
}

void Emulator::Supervise(double now) {
  if (listen_fd_ < 0) {
    if (now < replug_at_) return;
    if (!Listen()) {
      replug_at_ = now + 0.1;  // the name is taken meanwhile; try again shortly
      return;
    }
    plugged_at_ = now;
    PowerOn(now);
    log_.Event(now, "plugged in");
    return;
  }
  if (options_.unplug_every > 0 && now >= plugged_at_ + options_.unplug_every) Unplug(now);
}

void Emulator::Unplug(double now) {
  // The listener goes first: a host that sees its connection end and opens again at once
  // must find nobody there. Closing it also drops whoever waits in its backlog.
  ::close(listen_fd_);
  listen_fd_ = -1;
  if (client_fd_ >= 0) Disconnect(now, "unplugged");
  replug_at_ = now + options_.unplug_down;
  log_.Event(now, "unplugged for " + std::to_string(options_.unplug_down) + " s");
}

void Emulator::PowerOn(double now) {
  chip_.PowerOn();
  baud_ = options_.baud;
  ApplyRate(now);
}

void Emulator::ApplyRate(double now) {
  if (options_.flood) {
    pacer_.SetRate(0, now);
  } else if (options_.rate > 0) {
    pacer_.SetRate(options_.rate, now);
  } else {
    pacer_.SetRate(baud_ / 10.0, now);  // 8N1: ten bits a byte
  }
}

void Emulator::Accept(double now) {
  const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  client_fd_ = fd;
  connected_at_ = now;
  streaming_ = false;
  silence_logged_ = false;
  want_write_ = false;
  ucred peer{};
  socklen_t size = sizeof peer;
  std::string who;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
    who = " (pid " + std::to_string(peer.pid) + ", uid " + std::to_string(peer.uid) + ")";
  }
  log_.Event(now, "connected" + who);
}

void Emulator::Disconnect(double now, const std::string& why) {
  ::close(client_fd_);
  client_fd_ = -1;
  streaming_ = false;
  want_write_ = false;
  ClearStream();
  replies_.clear();
  stream_packet_held_ = false;
  chip_.ResetInput();
  log_.Event(now, "disconnected: " + why);
}

void Emulator::ReadClient(double now) {
  // One recv is one packet; MSG_TRUNC reports a packet's full length even if it is longer
  // than the buffer, so an oversized write shows up as such in the log.
  std::uint8_t buffer[1024];
  for (int i = 0; i < 64 && client_fd_ >= 0; ++i) {
    const ssize_t n = ::recv(client_fd_, buffer, sizeof buffer, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      Disconnect(now, std::strerror(errno));
      return;
    }
    if (n == 0) {
      Disconnect(now, "closed by the host");
      return;
    }
    const std::span<const std::uint8_t> packet(
        buffer, std::min(sizeof buffer, static_cast<std::size_t>(n)));
    log_.Packet(now, "rx", packet);
    if (static_cast<std::size_t>(n) != packet.size())
      log_.Event(now, "packet of " + std::to_string(n) + " bytes, cut");
    firmware_.Handle(packet, *this);
  }
}

bool Emulator::Silent(double now) const {
  return client_fd_ >= 0 && options_.silent_after >= 0 &&
         now >= connected_at_ + options_.silent_after;
}

bool Emulator::CanStream(double now) const { return client_fd_ >= 0 && streaming_ && !Silent(now); }

Epoch Emulator::EpochNow(double now) {
  const std::int64_t period = options_.period_ms;
  const std::int64_t stamp = (UnixMillis() + period / 2) / period * period;
  return scenario_.At(now, stamp);
}

void Emulator::Cycle(double now) {
  if (!CanStream(now)) return;
  // A continuous replay is fed by TopUp, not by the beat.
  if (replaying_ && (options_.rate > 0 || options_.flood)) return;
  output_.clear();
  starts_.clear();
  if (replaying_) {
    // A log recorded at a higher rate than this line carries waits for the line, byte for
    // byte, rather than losing cycles.
    if (pacer_.Pending() > StreamPacer::kBacklog / 2) return;
    replay_.NextCycle(output_);
  } else {
    chip_.Solution(EpochNow(now), output_, &starts_);
  }
  Emit(output_, starts_, now);
}

void Emulator::TopUp(double now) {
  if (!CanStream(now)) return;
  const bool continuous_replay = replaying_ && options_.rate > 0;
  if (!options_.flood && !continuous_replay) return;
  std::size_t ahead = kFloodAhead;
  if (!options_.flood) {
    // A quarter second of stream, but at least a few packets.
    ahead = std::clamp(static_cast<std::size_t>(options_.rate / 4), std::size_t{1024},
                       StreamPacer::kBacklog / 2);
  }
  while (pacer_.Pending() < ahead) {
    output_.clear();
    starts_.clear();
    if (replaying_) {
      replay_.NextRun(512, output_);
    } else {
      chip_.Solution(EpochNow(now), output_, &starts_);
    }
    Emit(output_, starts_, now);
  }
}

void Emulator::Emit(std::vector<std::uint8_t>& bytes, const std::vector<std::size_t>& starts,
                    double now) {
  if (!CanStream(now) || bytes.empty()) return;
  if (options_.garbage) {
    // A burst of line noise between two messages, as a loose connector gives.
    std::size_t at = 0;
    if (!starts.empty())
      at = starts[std::uniform_int_distribution<std::size_t>(0, starts.size() - 1)(rng_)];
    std::uniform_int_distribution<int> byte(0, 255);
    const int count = std::uniform_int_distribution<int>(4, 32)(rng_);
    std::vector<std::uint8_t> noise;
    noise.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) noise.push_back(static_cast<std::uint8_t>(byte(rng_)));
    bytes.insert(bytes.begin() + static_cast<std::ptrdiff_t>(at), noise.begin(), noise.end());
  }
  Queue(bytes, now, true);
}

void Emulator::Queue(std::span<const std::uint8_t> bytes, double now, bool log_overrun) {
  const std::size_t kept = pacer_.Write(bytes, now);
  trace_.Queued(bytes.first(kept));
  if (log_overrun && kept < bytes.size()) {
    log_.Event(now, "serial line overrun: " + std::to_string(bytes.size() - kept) +
                        " stream bytes dropped");
  }
}

void Emulator::ClearStream() {
  pacer_.Clear();
  if (trace_.Active()) trace_.Clear(SendTrace::Monotonic());
}

bool Emulator::Send(double now, const std::uint8_t* bytes, std::size_t size, std::int64_t& handed) {
  // Stamped as the packet is handed over: a stamp taken after send() returns could fall
  // after the host has read it, when this process is preempted in between.
  handed = trace_.Active() ? SendTrace::Monotonic() : 0;
  // A packet of 0 bytes is sent only for --zero-length (SendZeroLength).
  if (size == 0) return true;
  return SendRaw(now, bytes, size);
}

bool Emulator::SendRaw(double now, const std::uint8_t* bytes, std::size_t size) {
  if (::send(client_fd_, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT) >= 0) return true;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
    want_write_ = true;
  } else {
    Disconnect(now, std::strerror(errno));
  }
  return false;
}

void Emulator::Deliver(double now) {
  if (client_fd_ < 0 || want_write_) return;
  if (Silent(now)) {
    if (!silence_logged_) log_.Event(now, "silent from now on (--silent-after)");
    silence_logged_ = true;
    ClearStream();
    stream_packet_held_ = false;
    for (const PendingReply& r : replies_)
      log_.Event(now, "reply withheld (silent): " + EscapeBytes(r.bytes));
    replies_.clear();
    return;
  }
  // Replies that are due go first, each its own packet, ahead of any stream bytes.
  while (!replies_.empty() && replies_.front().due <= now) {
    const std::vector<std::uint8_t>& r = replies_.front().bytes;
    std::int64_t handed;
    if (!Send(now, r.data(), r.size(), handed)) return;
    trace_.Reply(r, handed);
    log_.Packet(now, "tx", r);
    replies_.pop_front();
  }
  for (int i = 0; i < kSendBurst; ++i) {
    if (zero_length_owed_) {
      if (!SendRaw(now, stream_packet_.bytes.data(), 0)) return;
      zero_length_owed_ = false;
    }
    if (!stream_packet_held_) {
      if (!pacer_.Take(now, stream_packet_)) return;
      stream_packet_held_ = true;
    }
    std::int64_t handed;
    if (!Send(now, stream_packet_.bytes.data(), stream_packet_.size, handed)) return;
    trace_.Sent(stream_packet_.size, handed);
    stream_packet_held_ = false;
    zero_length_owed_ = options_.zero_length && stream_packet_.size == kBlockSize;
    if (options_.flood) TopUp(now);
  }
}

void Emulator::Open() {
  // The host opened the device: a fresh start of the stream, nothing stale from before.
  streaming_ = true;
  ClearStream();
  stream_packet_held_ = false;
  zero_length_owed_ = false;
  replies_.clear();
  chip_.ResetInput();
  if (replaying_) replay_.Rewind();
  log_.Event(now_, "open: streaming");
}

void Emulator::Poll() { pacer_.Poll(now_); }

void Emulator::Reply(std::span<const std::uint8_t> reply) {
  if (options_.no_ack) {
    log_.Event(now_, "reply withheld (--no-ack): " + EscapeBytes(reply));
    return;
  }
  replies_.push_back({now_ + options_.late_ack_ms / 1000.0, {reply.begin(), reply.end()}});
}

void Emulator::SetBaud(int baud) {
  baud_ = baud;
  ApplyRate(now_);
  std::string text = "firmware serial rate " + std::to_string(baud);
  if (chip_.Baud() != baud) text += " (the chip sends at " + std::to_string(chip_.Baud()) + ")";
  log_.Event(now_, text);
}

void Emulator::ToChip(std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> answer;
  notes_.clear();
  chip_.Receive(bytes, answer, notes_);
  for (const std::string& note : notes_) log_.Event(now_, note);
  // The chip's answers join its output stream behind what it has already written.
  if (CanStream(now_) && !answer.empty()) Queue(answer, now_, false);
}

void Emulator::Note(const std::string& text) {
  std::fprintf(stderr, "kastrel-emulator: %s\n", text.c_str());
  log_.Event(now_, text);
}

}  // namespace ostrel::emulator
