#include "platform/x_display.h"

#include <xcb/xcb.h>

namespace ostrel {

bool XDisplayAnswers(const std::string& display) {
  xcb_connection_t* connection = xcb_connect(display.c_str(), nullptr);
  const bool answers = connection != nullptr && xcb_connection_has_error(connection) == 0;
  if (connection != nullptr) xcb_disconnect(connection);
  return answers;
}

}  // namespace ostrel
