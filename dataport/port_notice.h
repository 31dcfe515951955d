#pragma once
// The one-time notice when the GPS Data port could not be given to the group dialout:
// the system's gpsd (which drops to a user in dialout) cannot open it then, and says
// only "Permission denied". Shown in the port's tool tip, on stderr and in error.log.
#include <string>

namespace ostrel {

// Whole lines naming the device and the cure; empty when the port is shared with dialout.
std::string PortAccessNotice(bool shared_with_dialout, const std::string& slave_path);

}  // namespace ostrel
