#include "dataport/port_notice.h"

namespace ostrel {

std::string PortAccessNotice(bool shared_with_dialout, const std::string& slave_path) {
  if (shared_with_dialout) return {};
  return "ostrel-panel: the GPS Data port " + slave_path +
         " could not be given to the group dialout (this user is not in it), so only this "
         "user's programs may open it; the system's gpsd gets \"Permission denied\". "
         "To let gpsd read it: sudo usermod -aG dialout $USER, then log out and in again.\n";
}

}  // namespace ostrel
