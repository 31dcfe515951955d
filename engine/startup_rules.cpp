#include "engine/startup_rules.h"

#include <cctype>
#include <cstdio>

#include "engine/udev_rule.h"

namespace ostrel {

std::string DgpsItem(std::string_view friendly_name) {
  const std::size_t open = friendly_name.find('(');
  if (open == std::string_view::npos) return std::string(friendly_name);
  std::string_view rest = friendly_name.substr(open + 1);
  if (!rest.empty()) rest.remove_suffix(1);
  return std::string(rest);
}

int FindItemNoCase(const std::vector<std::string>& items, std::string_view text) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string& item = items[i];
    if (item.size() != text.size()) continue;
    bool same = true;
    for (std::size_t k = 0; k < item.size() && same; ++k) {
      same = std::tolower(static_cast<unsigned char>(item[k])) ==
             std::tolower(static_cast<unsigned char>(text[k]));
    }
    if (same) return static_cast<int>(i);
  }
  return -1;
}

std::string UsbIdText(UsbId id) {
  char text[10];
  std::snprintf(text, sizeof text, "%04x:%04x", id.vendor, id.product);
  return text;
}

std::string UsbNoticeText(const UsbNotice& notice, std::string_view settings_file) {
  const std::string id = UsbIdText(notice.id);
  const std::string device = "ostrel-panel: USB device " + id + " (" + notice.node + ")";
  if (notice.kind == UsbNotice::Kind::kUnnamedModule) {
    return device + " has the Kastrel GPS module's endpoints but is not named in the " +
           "settings. To use it, add these lines to " + std::string(settings_file) +
           " (or the id to the Device line there) and start the panel again:\n[USB]\nDevice=" + id +
           "\n";
  }
  return device + " is named in the settings, but this user may not open it (permission " +
         "denied). A udev rule lets the user at the seat open it: these commands write it to " +
         kUdevRulePath + " and have udev read it; then plug the module in again.\n" +
         UdevInstallCommands({notice.id});
}

std::string UsbRejectedText(std::string_view word) {
  return "ostrel-panel: [USB] Device: \"" + std::string(word) +
         "\" is no USB id (VVVV:PPPP in hexadecimal, as lsusb shows it); left out\n";
}

}  // namespace ostrel
