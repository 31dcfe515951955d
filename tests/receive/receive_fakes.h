#pragma once
// Fakes for the receive cycle's tests: the clock and USB driver seams under the real
// UsbLink (from tests/support), a recording GPS Data port and a recording window.
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "link/usb_link.h"
#include "platform/clock.h"
#include "platform/data_port.h"
#include "platform/error.h"
#include "platform/usb_driver.h"
#include "receive/receive_view.h"
#include "support/fake_clock.h"
#include "support/fake_driver.h"

namespace ostrel::testing {

inline std::string Bytes(const std::uint8_t* p, int32_t n) {
  return std::string(reinterpret_cast<const char*>(p), static_cast<std::size_t>(n));
}

// The receive tests' clock starts at 1000 ms, as the window's first tick may.
using test::FakeClock;

// The module behind the seam; the receive tests drive it from one thread through its
// fields (`reply`, `arrive`, `writes`, `present`).
using test::FakeDriver;

using test::Deliver;

class FakePort final : public DataPortWriter {
 public:
  int32_t Write(const std::uint8_t* bytes, int32_t count) override {
    writes.push_back(Bytes(bytes, count));
    return count;
  }
  std::string All() const {
    std::string s;
    for (const auto& w : writes) s += w;
    return s;
  }
  std::vector<std::string> writes;
};

// Which of the window's calls throws, to see the tick's error trap at work.
enum class Throw { kNothing, kUpdateFixDisplayError, kShowDataStreamStd, kConnectionLabel };

class FakeView final : public ReceiveView {
 public:
  explicit FakeView(LinkState* link = nullptr) : link_(link) {}

  void SetConnectionLabel(std::string_view text) override {
    if (throws == Throw::kConnectionLabel) throw Error("label");
    connection_label = text;
    ++label_sets;
  }
  void SetMessageStatus(std::string_view text) override { message_status = text; }
  void SetEEPROMSerial(std::string_view text) override { eeprom_serial = text; }
  void SetFirmwareVersion(std::string_view text) override { firmware_version = text; }
  bool ProcessGPS() const override { return process_gps; }
  void UpdateFixDisplay() override {
    ++fix_updates;
    if (throws == Throw::kUpdateFixDisplayError) throw Error("fix display");
  }
  void ShowDataStream(const std::uint8_t* chunk, int32_t len) override {
    if (throws == Throw::kShowDataStreamStd) throw std::runtime_error("stream");
    // The chunk must be NUL-terminated for the stream view.
    stream.push_back(Bytes(chunk, len));
    stream_terminated.push_back(chunk[len] == 0);
  }
  void DemoFileUnavailable(const std::string& name, const std::string& reason) override {
    demo_failures.push_back(name + ": " + reason);
  }
  void ShowNotice(const std::string& text) override { notices.push_back(text); }
  void GPSButtonSetClick() override {
    ++button_set_clicks;
    connection_label = "No Device";
    if (link_ != nullptr && link_->DeviceOpen.load()) connection_label = "Connected...";
    if (on_button_set) on_button_set();
  }

  bool process_gps = true;
  Throw throws = Throw::kNothing;
  std::string connection_label;
  std::string message_status;
  std::string eeprom_serial;
  std::string firmware_version;
  int fix_updates = 0;
  int label_sets = 0;
  int button_set_clicks = 0;
  std::vector<std::string> stream;
  std::vector<bool> stream_terminated;
  std::vector<std::string> demo_failures;
  std::vector<std::string> notices;
  std::function<void()> on_button_set;

 private:
  LinkState* link_;
};

}  // namespace ostrel::testing
