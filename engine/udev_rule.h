#pragma once
// The udev rule that lets the user logged in at the seat open the Kastrel module, and
// the commands that install it. One text for the "refused" notice, for
// `ostrel-panel --udev-rule` and for the README: the rule goes to /etc (the package's
// files stay untouched), named for the ids in the settings.
#include <string>
#include <vector>

#include "platform/usb_driver.h"

namespace ostrel {

inline constexpr const char* kUdevRulePath = "/etc/udev/rules.d/60-ostrel-kastrel.rules";

// SUBSYSTEM=="usb", ATTR{idVendor}=="1209", ATTR{idProduct}=="4b53", TAG+="uaccess"
std::string UdevRuleLine(UsbId id);

// The whole rule file: a comment saying what it is for, then one line per id.
std::string UdevRuleFile(const std::vector<UsbId>& ids);

// Shell lines that write the rule file for `ids` and have udev read it, one command a
// line, each line ending in LF; after them the module is plugged in again.
std::string UdevInstallCommands(const std::vector<UsbId>& ids);

// `ostrel-panel --udev-rule VVVV:PPPP...`: the rule file on `out`, exit status 0; with
// no id or a word that is no id, a hint on `err` and status 2.
int UdevRuleCommand(const std::vector<std::string>& words, std::string& out, std::string& err);
// The same over argv[first..argc), written to stdout and stderr.
int UdevRuleMain(int argc, char** argv, int first);

}  // namespace ostrel
