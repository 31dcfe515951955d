#pragma once
// Small rules of the start-up sequence that need no window.
#include <string>
#include <string_view>
#include <vector>

#include "platform/usb_libusb.h"

namespace ostrel {

// The baud list, in the order it is shown.
inline constexpr const char* kBaudItems[] = {"1200",  "2400",  "4800", "9600",
                                             "19200", "38400", "57600"};

// "Communications Port (COM3)" -> "COM3": the text after the first "(" less the last
// character. A name without "(" is used whole.
std::string DgpsItem(std::string_view friendly_name);

// The index of the first item equal to `text` without regard to letter case, or -1.
int FindItemNoCase(const std::vector<std::string>& items, std::string_view text);

// "1209:4b53": an id as the settings and lsusb write it.
std::string UsbIdText(UsbId id);

// The one-time help for stderr and error.log, whole lines: what was found and the exact
// line that makes it work (the settings line, or the udev rule).
std::string UsbNoticeText(const UsbNotice& notice, std::string_view settings_file);

// A word of [USB] Device that is no id.
std::string UsbRejectedText(std::string_view word);

}  // namespace ostrel
