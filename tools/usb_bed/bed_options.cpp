#include "tools/usb_bed/bed_options.h"

#include <cstdlib>

namespace kastrel::usb_bed {

const char* const kBedUsage =
    "usage: kastrel-usb-bed [OPTIONS] -- PROGRAM [ARGS...]\n"
    "Runs PROGRAM in a umockdev test bed holding one emulated USB device that is\n"
    "bridged to a running kastrel-emulator.\n"
    "  --emulator-socket NAME  abstract socket of the emulator (required)\n"
    "  --id VVVV:PPPP          USB ids, hexadecimal (default 1209:4b53)\n"
    "  --shape module|other    the module's two bulk endpoints, or a device of another shape\n"
    "  --absent                start with the device unplugged\n"
    "  --node-mode OCTAL       mode of the device node (default 0666)\n"
    "  --user NAME             run PROGRAM as this user\n"
    "  --bus N --dev N         bus and device number (default 1 and 2)\n"
    "  --follow-emulator       unplug when the emulator drops the connection, plug again\n"
    "                          when it listens again\n"
    "  --stats                 print the URB counts before PROGRAM's exit status\n"
    "stdin: plug | unplug | stats | quit\n"
    "stdout: ready | plugged NODE | unplugged | opened | claimed | closed | stats ... |\n"
    "        exited STATUS\n";

namespace {

bool Number(const std::string& text, int base, long low, long high, long& out) {
  if (text.empty()) return false;
  char* end = nullptr;
  out = std::strtol(text.c_str(), &end, base);
  return *end == '\0' && out >= low && out <= high;
}

}  // namespace

std::string ParseBedOptions(const std::vector<std::string>& args, BedOptions& out) {
  std::size_t i = 0;
  auto value = [&](std::string& into) {
    if (i + 1 >= args.size()) return false;
    into = args[++i];
    return true;
  };
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string v;
    long n = 0;
    if (a == "--") {
      out.program.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    } else if (a == "--emulator-socket") {
      if (!value(out.emulator_socket) || out.emulator_socket.empty() ||
          out.emulator_socket.size() > 100)
        return "--emulator-socket needs a name of 1 to 100 bytes";
    } else if (a == "--id") {
      long vendor = 0;
      long product = 0;
      if (!value(v) || v.size() != 9 || v[4] != ':' ||
          !Number(v.substr(0, 4), 16, 0, 0xFFFF, vendor) ||
          !Number(v.substr(5), 16, 0, 0xFFFF, product))
        return "--id needs VVVV:PPPP in hexadecimal";
      out.device.vendor = static_cast<std::uint16_t>(vendor);
      out.device.product = static_cast<std::uint16_t>(product);
    } else if (a == "--shape") {
      if (!value(v) || (v != "module" && v != "other")) return "--shape is module or other";
      out.device.shape = v == "module" ? Shape::kModule : Shape::kOther;
    } else if (a == "--absent") {
      out.absent = true;
    } else if (a == "--node-mode") {
      if (!value(v) || !Number(v, 8, 0, 07777, n)) return "--node-mode needs an octal mode";
      out.node_mode = static_cast<unsigned>(n);
    } else if (a == "--user") {
      if (!value(out.user) || out.user.empty()) return "--user needs a name";
    } else if (a == "--bus" || a == "--dev") {
      if (!value(v) || !Number(v, 10, 1, 127, n)) return a + " needs a number from 1 to 127";
      (a == "--bus" ? out.device.bus : out.device.device) = static_cast<int>(n);
    } else if (a == "--follow-emulator") {
      out.follow_emulator = true;
    } else if (a == "--stats") {
      out.stats = true;
    } else {
      return "unknown option " + a;
    }
  }
  if (out.emulator_socket.empty()) return "--emulator-socket is required";
  if (out.program.empty()) return "no PROGRAM after --";
  return {};
}

}  // namespace kastrel::usb_bed
