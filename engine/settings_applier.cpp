#include "engine/settings_applier.h"

#include "engine/settings.h"
#include "receiver/antaris.h"

namespace ostrel {

std::string CutTrayTip(std::string tip) {
  if (tip.size() > kTrayTipMax) tip.resize(kTrayTipMax);
  return tip;
}

std::string TrayTipText(const std::string& status, const std::string& port) {
  return CutTrayTip("Status: " + status + "\nGPS Port: " + port);
}

void SettingsApplier::GPSButtonSetClick(CommandQueue* queue, bool device_open, int32_t block_size) {
  framing_ = {queue != nullptr, block_size};

  std::string status = kNoDevice;
  view_.SetStatus(status);
  if (view_.DemoRunning()) {
    status = kDemonstration;
    view_.SetStatus(status);
    view_.EnableReceiveTimer();
  } else if (device_open && queue != nullptr) {
    status = kDeviceFound;
    view_.SetStatus(status);
    BeginSequence(*queue, block_size);
    const std::string baud = view_.BaudText();
    if (baud == "9600") {
      TAntaris::SetBaud9600(*queue, block_size);
    } else if (baud == "19200") {
      TAntaris::SetBaud19200(*queue, block_size);
    } else {
      // The begin block stays queued without its end; the next apply begins afresh.
      view_.ShowError(kBaudRefused);
      return;
    }
    const bool waas = view_.WAASChecked();
    TAntaris::SetWAAS(*queue, block_size, waas);
    EndSequence(*queue, block_size);
    settings_.WriteBool("GPS", "WAAS", waas);
    settings_.WriteString("GPS", "Baud", baud);
    status = kConnecting;
    view_.SetStatus(status);
    view_.EnableReceiveTimer();
  }
  view_.SetTrayTip(TrayTipText(status, view_.PortName()));
}

}  // namespace ostrel
