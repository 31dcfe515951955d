#pragma once
// The whole module on its socket: one client at a time, a single-threaded poll() loop.
//
//   host packet -> Firmware -> reply (own packet, first) / baud / data -> ReceiverChip
//   every period: Scenario or Replay -> ReceiverChip output -> StreamPacer -> packets
//
// Faults (silence, unplugging, withheld or late replies, garbage, flooding) are applied
// here, around the firmware and the chip, which stay faithful.
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "tools/emulator/chip.h"
#include "tools/emulator/eeprom.h"
#include "tools/emulator/firmware.h"
#include "tools/emulator/options.h"
#include "tools/emulator/pacer.h"
#include "tools/emulator/packet_log.h"
#include "tools/emulator/replay.h"
#include "tools/emulator/scenario.h"
#include "tools/emulator/send_trace.h"

namespace ostrel::emulator {

class Emulator : private FirmwareHost {
 public:
  explicit Emulator(const Options& options);
  ~Emulator() override;
  Emulator(const Emulator&) = delete;
  Emulator& operator=(const Emulator&) = delete;

  // Loads the EEPROM and the replay file, opens the log, takes the signals and starts
  // listening. On failure: false, a one-line reason and the exit status to use.
  bool Prepare(std::string& error, int& exit_status);

  // Serves until SIGTERM or SIGINT; returns the exit status.
  int Run();

 private:
  struct PendingReply {
    double due;
    std::vector<std::uint8_t> bytes;
  };

  double Now() const;
  bool Listen();
  void Accept(double now);
  void Disconnect(double now, const std::string& why);
  void Unplug(double now);
  void PowerOn(double now);
  void Supervise(double now);
  void ReadClient(double now);
  void Cycle(double now);
  void TopUp(double now);
  void Deliver(double now);
  int Timeout(double now) const;
  bool Silent(double now) const;
  bool CanStream(double now) const;
  void Emit(std::vector<std::uint8_t>& bytes, const std::vector<std::size_t>& starts, double now);
  Epoch EpochNow(double now);
  void ApplyRate(double now);
  void ClearStream();
  void Queue(std::span<const std::uint8_t> bytes, double now, bool log_overrun);
  // Sends one packet, with `handed` the trace stamp taken as it is handed over. False when
  // it did not go: the socket is full (wait for room) or the host has gone (disconnected).
  bool Send(double now, const std::uint8_t* bytes, std::size_t size, std::int64_t& handed);
  // send() as it is, a zero-length packet too; false when it must wait or the host left.
  bool SendRaw(double now, const std::uint8_t* bytes, std::size_t size);

  // FirmwareHost
  void Open() override;
  void Poll() override;
  void Reply(std::span<const std::uint8_t> reply) override;
  void SetBaud(int baud) override;
  void ToChip(std::span<const std::uint8_t> bytes) override;
  void Note(const std::string& text) override;

  Options options_;
  Eeprom eeprom_;
  Firmware firmware_;
  ReceiverChip chip_;
  Scenario scenario_;
  Replay replay_;
  bool replaying_ = false;
  StreamPacer pacer_;
  PacketLog log_;
  SendTrace trace_;
  std::mt19937 rng_;

  int signal_fd_ = -1;
  int listen_fd_ = -1;
  int client_fd_ = -1;

  double now_ = 0;  // time of the event being handled
  double next_cycle_ = 0;
  double plugged_at_ = 0;
  double replug_at_ = 0;
  double connected_at_ = 0;
  bool streaming_ = false;  // "j" received on this connection
  bool silence_logged_ = false;
  bool want_write_ = false;        // the socket is full; wait for POLLOUT
  bool zero_length_owed_ = false;  // --zero-length: it goes before the next packet
  int baud_ = 0;                   // the firmware's serial rate

  std::deque<PendingReply> replies_;
  Packet stream_packet_;
  bool stream_packet_held_ = false;
  std::vector<std::uint8_t> output_;
  std::vector<std::size_t> starts_;
  std::vector<std::string> notes_;
};

}  // namespace ostrel::emulator
