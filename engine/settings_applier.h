#pragma once
// Applying the receiver settings (GPSButtonSetClick): brings the module in line with
// the chosen baud rate and WAAS mode, stores what was sent, and reports the outcome in
// the status text and the tray tip. It only queues blocks; the sender delivers them.
//
// A full apply at 19200 with WAAS on leaves five blocks:
//   "*c" | "!" CFG-PRT 19200 | "*19200" | "!" CFG-SBAS on | "**"
#include <cstdint>
#include <string>

#include "link/command_queue.h"

namespace ostrel {

class TSettings;

inline constexpr std::size_t kTrayTipMax = 127;

inline constexpr const char* kNoDevice = "No Device";
inline constexpr const char* kDemonstration = "Demonstration!";
inline constexpr const char* kDeviceFound = "Device found!";
inline constexpr const char* kConnecting = "Connected...";
inline constexpr const char* kBaudRefused = "Please specify a different baud rate (9600, 19200)";

// "Status: <status>\nGPS Port: <port>", cut to what the tray shows.
std::string TrayTipText(const std::string& status, const std::string& port);
// At most kTrayTipMax characters of `tip`.
std::string CutTrayTip(std::string tip);

// What the apply reads (the chosen values) and where it shows its outcome.
class ApplyView {
 public:
  virtual ~ApplyView() = default;
  virtual bool DemoRunning() const = 0;
  virtual std::string BaudText() const = 0;
  virtual bool WAASChecked() const = 0;
  virtual std::string PortName() const = 0;
  virtual void SetStatus(const std::string& text) = 0;
  virtual void EnableReceiveTimer() = 0;
  // An "Error" box with OK only.
  virtual void ShowError(const std::string& text) = 0;
  virtual void SetTrayTip(const std::string& tip) = 0;
};

// What the last apply left for the commands after it: whether the shared queue existed
// then, and the link's block size at that moment. The baud and status buttons speak to
// the receiver chip, so they wait for an apply that saw the queue; the firmware's own
// commands work from the start, framed with the block size of the last apply (0 before
// the first, so the standard 64).
struct CommandFraming {
  bool receiver_ready = false;
  int32_t block_size = 0;
};

class SettingsApplier {
 public:
  SettingsApplier(ApplyView& view, TSettings& settings) : view_(view), settings_(settings) {}

  // `queue` is null until start-up has allocated it (the WAAS box is set before that);
  // `device_open` and `block_size` are the link's at the moment of the call.
  // Throws SettingsError when [GPS] WAAS or [GPS] Baud cannot be stored; the blocks are
  // queued by then and the status stays "Device found!".
  void GPSButtonSetClick(CommandQueue* queue, bool device_open, int32_t block_size);

  const CommandFraming& Framing() const { return framing_; }

 private:
  ApplyView& view_;
  TSettings& settings_;
  CommandFraming framing_;
};

}  // namespace ostrel
