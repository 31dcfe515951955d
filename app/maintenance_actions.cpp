#include "app/maintenance_actions.h"

#include "receiver/antaris.h"
#include "receiver/maintenance.h"

namespace ostrel {

void MaintenanceActions::B9600Click(CommandQueue* queue, int32_t block_size) {
  if (queue != nullptr) QueueBaud9600(*queue, block_size, receiver_);
}

void MaintenanceActions::B19200Click(CommandQueue* queue, int32_t block_size) {
  if (queue != nullptr) QueueBaud19200(*queue, block_size, receiver_);
}

void MaintenanceActions::ResetGPSClick(CommandQueue* queue, int32_t block_size) {
  if (queue != nullptr) ResetGPS(*queue, block_size);
}

void MaintenanceActions::QueryVersionClick(CommandQueue* queue, int32_t block_size) {
  if (queue != nullptr) QueueQueryVersion(*queue, block_size);
}

void MaintenanceActions::EraseEEPROMClick(CommandQueue* queue, int32_t block_size) {
  if (queue == nullptr) return;
  if (view_.ConfirmErase()) QueueEraseEEPROM(*queue, block_size);
}

void MaintenanceActions::ReadEEPROMClick(CommandQueue* queue, int32_t block_size) {
  if (queue == nullptr) return;
  // Emptied at once, so a stale number is never taken for the module's answer.
  view_.SetSerialText("");
  QueueReadEEPROM(*queue, block_size);
}

void MaintenanceActions::WriteEEPROMClick(CommandQueue* queue, int32_t block_size) {
  if (queue == nullptr) return;
  const std::string serial = view_.SerialText();
  if (serial.size() < kSerialLength) {
    view_.ShowError(kSerialTooShort);
    return;
  }
  QueueWriteEEPROM(*queue, block_size, serial);
}

void MaintenanceActions::GPSButtonReadClick(CommandQueue* queue, int32_t block_size,
                                            bool device_open) {
  if (!device_open) {
    view_.ShowError(kNoDeviceDetected);
    return;
  }
  if (queue == nullptr || queue->Pending()) return;
  view_.SetStatus("");
  QueueStatusRequest(*queue, block_size, receiver_);
}

}  // namespace ostrel
