#pragma once
// The maintenance buttons' logic: the Yes/No question before an erase, the length test
// of a serial number, the device and queue tests of "Update GPS Status".
// The blocks themselves come from receiver/maintenance.h; the sender delivers them.
#include <cstdint>
#include <string>

#include "engine/settings_applier.h"
#include "link/command_queue.h"

namespace ostrel {

inline constexpr const char* kEraseQuestion = "Are you sure you want to erase the EEPROM?";
inline constexpr const char* kEraseCaption = "EEPROM Erase";
inline constexpr const char* kNoDeviceDetected = "There is no device detected.";
inline constexpr const char* kSerialTooShort = "The serial number must have ten characters.";

class MaintenanceView {
 public:
  virtual ~MaintenanceView() = default;
  // The Yes/No box, No the default; true for Yes.
  virtual bool ConfirmErase() = 0;
  virtual void ShowError(const std::string& text) = 0;
  virtual void SetSerialText(const std::string& text) = 0;
  virtual void SetStatus(const std::string& text) = 0;
};

// Every action does nothing while `queue` is null (start-up stopped before the buffers).
// The blocks are framed as `framing` (the settings applier's) says.
class MaintenanceActions {
 public:
  MaintenanceActions(MaintenanceView& view, const CommandFraming& framing)
      : view_(view), framing_(framing) {}

  void B9600Click(CommandQueue* queue);
  void B19200Click(CommandQueue* queue);
  void ResetGPSClick(CommandQueue* queue);
  void QueryVersionClick(CommandQueue* queue);
  void EraseEEPROMClick(CommandQueue* queue);
  void ReadEEPROMClick(CommandQueue* queue);
  // `serial`: the text of the serial number box.
  void WriteEEPROMClick(CommandQueue* queue, const std::string& serial);
  void GPSButtonReadClick(CommandQueue* queue, bool device_open);

 private:
  MaintenanceView& view_;
  const CommandFraming& framing_;
};

}  // namespace ostrel
