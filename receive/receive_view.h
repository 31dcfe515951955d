#pragma once
// What the receive tick and the command sender need of the main window. The window
// implements it; tests use a recording fake.
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

  // The ProcessGPS check box.
  virtual bool ProcessGPS() const = 0;
  // Fix labels, SatGrid and the sky plot from the receiver object's state.
  virtual void UpdateFixDisplay() = 0;
  // The Data Stream page; `chunk` has a NUL at chunk[len].
  virtual void ShowDataStream(const std::uint8_t* chunk, int32_t len) = 0;
  // The receiver's part of every chunk, processed or not: what the tray's state is read
  // from while the window is away.
  virtual void StreamTaken(const std::uint8_t* stream, int32_t len) {
    (void)stream;
    (void)len;
  }

  // The demonstration file `name` could not be opened; said once per name while the
  // tick keeps trying.
  virtual void DemoFileUnavailable(const std::string& name, const std::string& reason) = 0;

  // Shows the device state and, when the device is open, queues the receiver settings.
  virtual void GPSButtonSetClick() = 0;
};

}  // namespace ostrel
