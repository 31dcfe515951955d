#pragma once
// What the receive tick and the command sender report to, and ask of, the panel. The
// engine implements it; tests use a recording fake.
#include <cstdint>
#include <string>
#include <string_view>

namespace ostrel {

class ReceiveView {
 public:
  virtual ~ReceiveView() = default;

  // Connection_Label: the UBX status text.
  virtual void SetConnectionLabel(std::string_view text) = 0;
  // MessageStatus: the command sender's progress, the whole text each time.
  virtual void SetMessageStatus(std::string_view text) = 0;
  // EEPROMSerial and FirmwareVersion: the module's replies to "*r" and "*v".
  virtual void SetEEPROMSerial(std::string_view text) = 0;
  virtual void SetFirmwareVersion(std::string_view text) = 0;

  // Whether NMEA is parsed and the stream shown: the displays run, or someone listens.
  virtual bool ProcessGPS() const = 0;
  // Fix labels, SatGrid and the sky plot from the receiver object's state.
  virtual void UpdateFixDisplay() = 0;
  // The Data Stream page; `chunk` has a NUL at chunk[len].
  virtual void ShowDataStream(const std::uint8_t* chunk, int32_t len) = 0;

  // The demonstration file `name` could not be opened; said once per name while the
  // tick keeps trying.
  virtual void DemoFileUnavailable(const std::string& name, const std::string& reason) = 0;

  // A note for the user that asks for no answer (recording has stopped on a full disk,
  // and goes on again), given once: stderr, error.log and the window say it.
  virtual void ShowNotice(const std::string& text) = 0;

  // Shows the device state and, when the device is open, queues the receiver settings.
  virtual void GPSButtonSetClick() = 0;
};

}  // namespace ostrel
