#include "engine/panel_environment.h"

#include <filesystem>
#include <utility>

namespace ostrel {

PanelEnvironment RealEnvironment() {
  PanelEnvironment env;
  env.make_driver = [](std::vector<UsbId> ids, UsbNoticeSink notice) {
    return MakeUsbDriver(std::move(ids), kUsbDeviceName, std::move(notice));
  };
  return env;
}

std::string InFolder(const std::string& folder, const std::string& path) {
  if (folder.empty() || folder == "." || (!path.empty() && path.front() == '/')) return path;
  std::string joined = (std::filesystem::path(folder) / path).lexically_normal().string();
  if (joined.size() > 1 && joined.back() == '/') joined.pop_back();
  return joined;
}

}  // namespace ostrel
