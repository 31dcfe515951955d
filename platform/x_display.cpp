#include "platform/x_display.h"

#include <xcb/xcb.h>

namespace ostrel {

namespace {

xcb_connection_t* g_probe = nullptr;

}  // namespace

bool XDisplayAnswers(const std::string& display) {
  ReleaseXDisplayProbe();
  g_probe = xcb_connect(display.c_str(), nullptr);
  if (g_probe != nullptr && xcb_connection_has_error(g_probe) == 0) return true;
  ReleaseXDisplayProbe();
  return false;
}

void ReleaseXDisplayProbe() {
  if (g_probe != nullptr) xcb_disconnect(g_probe);
  g_probe = nullptr;
}

}  // namespace ostrel
