#include "engine/maintenance_actions.h"

#include "receiver/maintenance.h"

namespace ostrel {

void MaintenanceActions::B9600Click(CommandQueue* queue) {
  if (queue != nullptr && framing_.receiver_ready) QueueBaud9600(*queue, framing_.block_size);
}

void MaintenanceActions::B19200Click(CommandQueue* queue) {
  if (queue != nullptr && framing_.receiver_ready) QueueBaud19200(*queue, framing_.block_size);
}

void MaintenanceActions::ResetGPSClick(CommandQueue* queue) {
  if (queue != nullptr) ResetGPS(*queue, framing_.block_size);
}

void MaintenanceActions::QueryVersionClick(CommandQueue* queue) {
  if (queue != nullptr) QueueQueryVersion(*queue, framing_.block_size);
}

void MaintenanceActions::EraseEEPROMClick(CommandQueue* queue) {
  if (queue == nullptr) return;
  if (view_.ConfirmErase()) QueueEraseEEPROM(*queue, framing_.block_size);
}

void MaintenanceActions::ReadEEPROMClick(CommandQueue* queue) {
  if (queue == nullptr) return;
  // Emptied at once, so a stale number is never taken for the module's answer.
  view_.SetSerialText("");
  QueueReadEEPROM(*queue, framing_.block_size);
}

void MaintenanceActions::WriteEEPROMClick(CommandQueue* queue, const std::string& serial) {
  if (queue == nullptr) return;
  if (serial.size() < kSerialLength) {
    view_.ShowError(kSerialTooShort);
    return;
  }
  QueueWriteEEPROM(*queue, framing_.block_size, serial);
}

void MaintenanceActions::GPSButtonReadClick(CommandQueue* queue, bool device_open) {
  if (!device_open) {
    view_.ShowError(kNoDeviceDetected);
    return;
  }
  if (queue == nullptr || queue->Pending()) return;
  view_.SetStatus("");
  if (framing_.receiver_ready) QueueStatusRequest(*queue, framing_.block_size);
}

}  // namespace ostrel
