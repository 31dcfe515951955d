#pragma once
// The serial-port listing: the serial devices this machine really has, plus the COM<n>
// entries of the port directory. The GPS Data port choice and the DGPS port list read it.
//
// Real device   friendly "Communications Port (/dev/ttyS0)", description "Communications Port"
// Our link      friendly "ELTIMA Virtual Serial Port (COM3)"  (the marker tells it apart)
// Other COM5    friendly "Serial Port (COM5)"                 (anything else there is real)
#include <array>
#include <functional>
#include <string>
#include <vector>

namespace ostrel {

inline constexpr int kMaxComPorts = 10;
inline constexpr std::size_t kPortTextMax = 255;
inline constexpr char kVirtualPortMarker[] = "ELTIMA";

struct ComPortEntry {
  std::string FriendlyName;  // at most kPortTextMax characters
  std::string Description;   // at most kPortTextMax characters
};
using ComPortList = std::array<ComPortEntry, kMaxComPorts>;

class ComPortLister {
 public:
  virtual ~ComPortLister() = default;
  // Fills `list` from its first entry; returns how many were filled (0..kMaxComPorts).
  virtual int EnumerateComPorts(ComPortList& list) = 0;
};

// Receives a failure message of a listing step, e.g. "SetupDiGetClassDevs failed. (err=2)".
using ListingErrorSink = std::function<void(const std::string&)>;

// The listing of this machine. The port directory's entries come first, so the 10-entry
// cap never hides a COM name from the port choice; then the devices of `sys_tty_dir`.
class SystemComPorts final : public ComPortLister {
 public:
  SystemComPorts(std::string port_dir, ListingErrorSink error_sink,
                 std::string sys_tty_dir = "/sys/class/tty");
  int EnumerateComPorts(ComPortList& list) override;

 private:
  bool ListPortDirectory(ComPortList& list, int& count);
  void ListDevices(ComPortList& list, int& count);
  // The entries of `path` that `keep` accepts, in natural order; false when the folder
  // cannot be opened. Failures go to the error sink.
  bool SortedNames(const std::string& path, bool (*keep)(const char*),
                   std::vector<std::string>& names);
  void Fail(const char* step, int err);

  std::string port_dir_;
  ListingErrorSink error_sink_;
  std::string sys_tty_dir_;
};

}  // namespace ostrel
