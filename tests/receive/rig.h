#pragma once
// One receive cycle over the real UsbLink, CommandQueue and TAntaris, with the fakes of
// receive_fakes.h under and around it.
#include <gtest/gtest.h>

#include "link/command_queue.h"
#include "link/usb_link.h"
#include "receive/receive_cycle.h"
#include "receive_fakes.h"
#include "receiver/antaris.h"

namespace ostrel::testing {

struct Rig {
  // `window` stands in for the recording FakeView when given.
  explicit Rig(PositionsLog* log = nullptr, ReceiveView* window = nullptr)
      : cycle(link, queue, gps, port, window != nullptr ? *window : view, log) {
    driver.arrive = [this](const std::string& bytes) { Deliver(link, bytes); };
  }

  // Opens the device as a tick would, without running a tick.
  void Open() {
    ASSERT_TRUE(link.OpenDevice());
    driver.writes.clear();
  }
  LinkState& State() { return link.State(); }
  int32_t RxLength() {
    std::lock_guard lock(link.State().HandOver);
    return link.State().RxLength;
  }
  std::string Block(int32_t pos) const { return Bytes(queue.Data() + pos, 64); }

  FakeClock clock{1000};
  FakeDriver driver;
  CommandQueue queue;
  UsbLink link{driver, clock, queue};
  TAntaris gps;
  FakePort port;
  FakeView view{&link.State()};
  ReceiveCycle cycle;
};

// The firmware's acknowledgement: the block's first two bytes.
inline std::string Echo(std::string_view block) { return std::string(block.substr(0, 2)); }

}  // namespace ostrel::testing
