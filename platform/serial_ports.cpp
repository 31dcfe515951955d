#include "platform/serial_ports.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <utility>
#include <vector>

#include "platform/port_directory.h"

namespace ostrel {
namespace {

constexpr char kGetClassDevs[] = "SetupDiGetClassDevs";
constexpr char kEnumInterfaces[] = "SetupDiEnumDeviceInterfaces";
constexpr char kInterfaceDetail[] = "SetupDiGetDeviceInterfaceDetail";

std::string Capped(std::string text) {
  if (text.size() > kPortTextMax) text.resize(kPortTextMax);
  return text;
}

// The DGPS list takes the text after the first "(" as the device, so a description
// may not carry parentheses of its own.
std::string CleanDescription(std::string text) {
  std::replace(text.begin(), text.end(), '(', '[');
  std::replace(text.begin(), text.end(), ')', ']');
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// ttyS2 before ttyS10.
bool NaturalLess(const std::string& a, const std::string& b) {
  const auto split = [](const std::string& s) {
    std::size_t i = s.size();
    while (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9') --i;
    const long n = i < s.size() ? std::strtol(s.c_str() + i, nullptr, 10) : -1;
    return std::make_pair(s.substr(0, i), n);
  };
  return split(a) < split(b);
}

// Reads the first line of a sysfs attribute; false when it cannot be read.
bool ReadLine(const std::string& path, std::string& line) {
  std::ifstream in(path);
  return static_cast<bool>(std::getline(in, line));
}

// serial_core ports have a "type" attribute; 0 (PORT_UNKNOWN) is a legacy 8250 slot with
// no UART behind it. USB and other ttys have no such attribute and are always real.
bool UartPresent(const std::string& tty_dir) {
  std::string type;
  struct stat st {};
  if (::stat((tty_dir + "/type").c_str(), &st) != 0) return errno == ENOENT;
  return ReadLine(tty_dir + "/type", type) && std::atoi(type.c_str()) != 0;
}

std::string DeviceDescription(const std::string& name, const std::string& tty_dir) {
  char target[PATH_MAX];
  const ssize_t n = ::readlink((tty_dir + "/device/driver").c_str(), target, sizeof target - 1);
  const std::string driver = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "";
  if (name.rfind("ttyS", 0) == 0 || driver.find("serial8250") != std::string::npos)
    return "Communications Port";
  // A USB adapter names itself: the product string sits on the USB device, one or two
  // levels above the tty's device (port or interface).
  std::string up = tty_dir + "/device";
  for (int level = 0; level < 3; ++level, up += "/..") {
    std::string product;
    if (ReadLine(up + "/product", product) && !product.empty()) return CleanDescription(product);
  }
  return "Serial Port";
}

}  // namespace

SystemComPorts::SystemComPorts(std::string port_dir, ListingErrorSink error_sink,
                               std::string sys_tty_dir)
    : port_dir_(std::move(port_dir)),
      error_sink_(std::move(error_sink)),
      sys_tty_dir_(std::move(sys_tty_dir)) {}

void SystemComPorts::Fail(const char* step, int err) {
  if (!error_sink_) return;
  char text[96];
  std::snprintf(text, sizeof text, "%s failed. (err=%lx)", step, static_cast<unsigned long>(err));
  error_sink_(text);
}

int SystemComPorts::EnumerateComPorts(ComPortList& list) {
  int count = 0;
  ListPortDirectory(list, count);
  ListDevices(list, count);
  return count;
}

bool SystemComPorts::SortedNames(const std::string& path, bool (*keep)(const char*),
                                 std::vector<std::string>& names) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    Fail(kGetClassDevs, errno);
    return false;
  }
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(dir);
    if (e == nullptr) {
      if (errno != 0) Fail(kEnumInterfaces, errno);
      break;
    }
    if (keep(e->d_name)) names.emplace_back(e->d_name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end(), NaturalLess);
  return true;
}

bool SystemComPorts::ListPortDirectory(ComPortList& list, int& count) {
  std::vector<std::string> names;
  const auto com_name = [](const char* name) { return IsComPortName(name); };
  if (!SortedNames(port_dir_.empty() ? "." : port_dir_, com_name, names)) return false;
  for (const std::string& name : names) {
    if (count >= kMaxComPorts) break;
    ComPortEntry& entry = list[static_cast<std::size_t>(count)];
    if (IsVirtualPortEntry(port_dir_, name)) {
      entry.Description = std::string(kVirtualPortMarker) + " Virtual Serial Port";
    } else {
      entry.Description = "Serial Port";
    }
    entry.FriendlyName = Capped(entry.Description + " (" + name + ")");
    ++count;
  }
  return true;
}

void SystemComPorts::ListDevices(ComPortList& list, int& count) {
  std::vector<std::string> names;
  const auto visible = [](const char* name) { return name[0] != '.'; };
  if (!SortedNames(sys_tty_dir_, visible, names)) return;
  for (const std::string& name : names) {
    if (count >= kMaxComPorts) break;
    const std::string tty_dir = sys_tty_dir_ + "/" + name;
    struct stat st {};
    if (::lstat((tty_dir + "/device").c_str(), &st) != 0) {
      if (errno == ENOENT) continue;  // a virtual console, ptmx, ...: no device behind it
      Fail(kInterfaceDetail, errno);
      return;
    }
    if (!UartPresent(tty_dir)) continue;
    ComPortEntry& entry = list[static_cast<std::size_t>(count)];
    entry.Description = Capped(DeviceDescription(name, tty_dir));
    entry.FriendlyName = Capped(entry.Description + " (/dev/" + name + ")");
    ++count;
  }
}

}  // namespace ostrel
