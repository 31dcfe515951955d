#include "dataport/create_virtual_port.h"

#include <cstdio>
#include <string>

namespace ostrel {

std::string Create_Virtual_Port(int configured, VirtualPortSetup& setup) {
  if (configured < 0 || configured > kMaxPortNumber) configured = 0;
  if (setup.SetPortLabel) setup.SetPortLabel("");

  ComPortList list;
  const int listed = setup.Ports.EnumerateComPorts(list);
  const int count = listed < 0 ? 0 : (listed > kMaxComPorts ? kMaxComPorts : listed);

  char name[16] = "";
  std::string reason;
  for (int attempt = 1; attempt <= kPortAttempts; ++attempt) {
    std::snprintf(name, sizeof name, "COM%d", configured != 0 ? configured : attempt);

    const ComPortEntry* taken = nullptr;
    for (int i = 0; i < count && taken == nullptr; ++i)
      if (list[static_cast<std::size_t>(i)].FriendlyName.find(name) != std::string::npos)
        taken = &list[static_cast<std::size_t>(i)];

    bool held = false;
    if (taken == nullptr) {
      held = setup.Port.CreatePort(name);
      reason = setup.Port.Failure();
    } else if (taken->FriendlyName.find(kVirtualPortMarker) != std::string::npos) {
      if (!setup.Port.Open(name)) {
        setup.Messages.ShowMessage(
            "Information", "The GPS Data COM port is already being used by another application.");
        if (setup.ExitClick) setup.ExitClick();
        return "";
      }
      held = true;
    } else {
      reason = std::string(name) + " is the name of a serial port of this machine (" +
               taken->FriendlyName + ").";
    }
    if (held) {
      if (setup.SetPortLabel) setup.SetPortLabel(name);
      return name;
    }
  }

  char text[64];
  std::snprintf(text, sizeof text, "%s could not be used as the GPS Data COM port!", name);
  if (setup.Note) setup.Note(std::string(text) + (reason.empty() ? "" : " ") + reason + "\n");
  setup.Messages.ShowMessage("Error", text);
  if (setup.ExitClick) setup.ExitClick();
  return "";
}

}  // namespace ostrel
