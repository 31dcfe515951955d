#pragma once
// Command line of kastrel-usb-bed: [OPTIONS] -- PROGRAM [ARGS...]
#include <string>
#include <vector>

#include "tools/usb_bed/descriptors.h"

namespace kastrel::usb_bed {

struct BedOptions {
  DeviceIdentity device;
  std::string emulator_socket;
  bool absent = false;
  unsigned node_mode = 0666;
  std::string user;
  bool follow_emulator = false;
  bool stats = false;
  std::vector<std::string> program;
};

// Empty on success, else the complaint.
std::string ParseBedOptions(const std::vector<std::string>& args, BedOptions& out);
extern const char* const kBedUsage;

}  // namespace kastrel::usb_bed
