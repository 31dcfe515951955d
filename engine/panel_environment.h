#pragma once
// What the engine takes from the world around it: the clock, the way to the module and
// the folder its files live in. The program hands over the real ones; a test hands a
// fake clock, a socket of its own and a temporary folder, and the process's current
// directory stays where it is.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/usb_driver.h"
#include "platform/usb_libusb.h"

namespace ostrel {

// Makes the module's driver from the ids of [USB] Device; `notice` says once what the
// user should hear about a device.
using UsbDriverFactory =
    std::function<std::unique_ptr<UsbDriver>(std::vector<UsbId> ids, UsbNoticeSink notice)>;

struct PanelEnvironment {
  // The panel's time: the link's silence rule, the sender's reply wait, the age of the
  // shown data and the pause after Exit. The read thread's own pauses stay in real time.
  Clock& clock = SystemClock();
  UsbDriverFactory make_driver;
  // Where the settings file, error.log, positions.log, a relative [Ports] Directory and a
  // relative demonstration file are. "." is the current directory, named as before.
  std::string folder = ".";
};

// The program's own: the system clock, the module by its ids or else on the socket
// Ezusb-0, the current directory.
PanelEnvironment RealEnvironment();

// `path` in `folder`: unchanged when it is absolute or the folder is "."; otherwise
// joined and made lexically normal, without a trailing '/'.
std::string InFolder(const std::string& folder, const std::string& path);

}  // namespace ostrel
