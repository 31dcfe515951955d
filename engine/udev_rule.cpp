#include "engine/udev_rule.h"

#include <cstdio>

#include "engine/settings.h"

namespace ostrel {
namespace {

std::string IdWords(const std::vector<UsbId>& ids) {
  std::string words;
  for (const UsbId& id : ids) {
    char text[12];
    std::snprintf(text, sizeof text, " %04x:%04x", id.vendor, id.product);
    words += text;
  }
  return words;
}

}  // namespace

std::string UdevRuleLine(UsbId id) {
  char rule[128];
  std::snprintf(rule, sizeof rule,
                "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"%04x\", ATTR{idProduct}==\"%04x\", "
                "TAG+=\"uaccess\"",
                id.vendor, id.product);
  return rule;
}

std::string UdevRuleFile(const std::vector<UsbId>& ids) {
  std::string file =
      "# Lets the user logged in at the seat open the Kastrel GPS module (ostrel-panel).\n"
      "# Written by: ostrel-panel --udev-rule" +
      IdWords(ids) + "\n";
  for (const UsbId& id : ids) file += UdevRuleLine(id) + "\n";
  return file;
}

std::string UdevInstallCommands(const std::vector<UsbId>& ids) {
  // The rule lines themselves, not `ostrel-panel --udev-rule`: the commands work
  // wherever the panel was built or installed. The rule has no single quote.
  std::string lines;
  for (const UsbId& id : ids) lines += " '" + UdevRuleLine(id) + "'";
  return "printf '%s\\n'" + lines + " | sudo tee " + kUdevRulePath +
         "\nsudo udevadm control --reload\n";
}

int UdevRuleCommand(const std::vector<std::string>& words, std::string& out, std::string& err) {
  std::string joined;
  for (const std::string& w : words) joined += w + " ";
  std::vector<std::string> rejected;
  const std::vector<UsbId> ids = ParseUsbIds(joined, &rejected);
  if (ids.empty() || !rejected.empty()) {
    err =
        "ostrel-panel: --udev-rule needs the module's USB ids, VVVV:PPPP in hexadecimal as "
        "lsusb shows them";
    if (!rejected.empty()) err += " (\"" + rejected.front() + "\" is none)";
    err += "; for example:\n  ostrel-panel --udev-rule 1209:4b53 | sudo tee " +
           std::string(kUdevRulePath) + "\n";
    return 2;
  }
  out = UdevRuleFile(ids);
  return 0;
}

int UdevRuleMain(int argc, char** argv, int first) {
  std::string out, err;
  const int status = UdevRuleCommand(std::vector<std::string>(argv + first, argv + argc), out, err);
  std::fputs(out.c_str(), stdout);
  std::fputs(err.c_str(), stderr);
  return status;
}

}  // namespace ostrel
