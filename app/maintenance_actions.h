#pragma once
// The maintenance buttons' side of the window: the Yes/No box before an erase, the
// length test of a serial number, the device and queue tests of "Update GPS Status".
// The blocks themselves come from receiver/maintenance.h; the sender delivers them.
#include <cstdint>
#include <string>

#include "link/command_queue.h"

namespace ostrel {

class TAntaris;

inline constexpr const char* kEraseQuestion = "Are you sure you want to erase the EEPROM?";
inline constexpr const char* kEraseCaption = "EEPROM Erase";
inline constexpr const char* kNoDeviceDetected = "There is no device detected.";
inline constexpr const char* kSerialTooShort =
    "The serial number must have ten characters.";

class MaintenanceView {
 public:
  virtual ~MaintenanceView() = default;
  // The Yes/No box, No the default; true for Yes.
  virtual bool ConfirmErase() = 0;
  virtual void ShowError(const std::string& text) = 0;
  virtual std::string SerialText() const = 0;
  virtual void SetSerialText(const std::string& text) = 0;
  virtual void SetStatus(const std::string& text) = 0;
};

// Every action does nothing while `queue` is null (start-up stopped before the buffers).
class MaintenanceActions {
 public:
  MaintenanceActions(MaintenanceView& view, TAntaris& receiver)
      : view_(view), receiver_(receiver) {}

  void B9600Click(CommandQueue* queue, int32_t block_size);
  void B19200Click(CommandQueue* queue, int32_t block_size);
  void ResetGPSClick(CommandQueue* queue, int32_t block_size);
  void QueryVersionClick(CommandQueue* queue, int32_t block_size);
  void EraseEEPROMClick(CommandQueue* queue, int32_t block_size);
  void ReadEEPROMClick(CommandQueue* queue, int32_t block_size);
  void WriteEEPROMClick(CommandQueue* queue, int32_t block_size);
  void GPSButtonReadClick(CommandQueue* queue, int32_t block_size, bool device_open);

 private:
  MaintenanceView& view_;
  TAntaris& receiver_;
};

}  // namespace ostrel
