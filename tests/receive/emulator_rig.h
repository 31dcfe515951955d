#pragma once
// The window's part of the settings sequence and the cycle wired as the window wires it,
// for the runs of the receive cycle against the real emulator (support/emulator_harness.h).
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "link/command_queue.h"
#include "link/read_thread.h"
#include "link/usb_link.h"
#include "platform/clock.h"
#include "platform/usb_driver.h"
#include "receive/receive_cycle.h"
#include "receive/receive_view.h"
#include "receive_fakes.h"
#include "receiver/antaris.h"
#include "support/emulator_harness.h"

namespace ostrel::testing {

using emulator_test::EmulatorProcess;

// The window's part: the settings sequence on open, as GPSButtonSetClick queues it
// ("*c", CFG-PRT, "*19200", CFG-SBAS, "**"). `stream_hold` stands for the time the Data
// Stream page takes to show a chunk, during which the tick holds RxBuffer.
class SettingsView final : public ReceiveView {
 public:
  SettingsView(UsbLink& link, CommandQueue& queue) : link_(link), queue_(queue) {}

  void SetConnectionLabel(std::string_view) override {}
  void SetMessageStatus(std::string_view text) override { message_status = text; }
  void SetEEPROMSerial(std::string_view) override {}
  void SetFirmwareVersion(std::string_view) override {}
  bool ProcessGPS() const override { return true; }
  void UpdateFixDisplay() override { ++fix_updates; }
  void ShowDataStream(const std::uint8_t*, int32_t) override {
    if (stream_hold.count() > 0) std::this_thread::sleep_for(stream_hold);
  }
  void DemoFileUnavailable(const std::string&, const std::string&) override {}
  void ShowNotice(const std::string&) override {}
  void GPSButtonSetClick() override {
    if (!link_.State().DeviceOpen.load()) return;
    const int32_t block_size = link_.State().BlockSize.load();
    BeginSequence(queue_, block_size);
    TAntaris::SetBaud19200(queue_, block_size);
    TAntaris::SetWAAS(queue_, block_size, true);
    EndSequence(queue_, block_size);
    ++settings_queued;
  }

  std::string message_status;
  int fix_updates = 0;
  int settings_queued = 0;
  std::chrono::microseconds stream_hold{0};

 private:
  UsbLink& link_;
  CommandQueue& queue_;
};

// The receive cycle wired as the window wires it, on the real socket driver, the system
// clock and the real read thread, against the module on `socket`.
struct LiveCycle {
  explicit LiveCycle(const std::string& socket) : driver(MakeSocketUsbDriver(socket)) {}

  std::unique_ptr<UsbDriver> driver;
  CommandQueue queue;
  UsbLink link{*driver, SystemClock(), queue};
  TAntaris gps;
  FakePort port;
  SettingsView view{link, queue};
  ReceiveCycle cycle{link, queue, gps, port, view};
  TReadThread reader{link};
};

}  // namespace ostrel::testing
