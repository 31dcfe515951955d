#pragma once
// Choosing and obtaining the GPS Data port at start-up.
//
// Nine attempts: COM1..COM9 in turn, or the configured number nine times. A name is
// taken when some listed port's friendly name contains it (so COM1 is taken by COM12);
// a taken name is ours to re-open when that name carries the "ELTIMA" marker, otherwise
// it belongs to a real port and the attempt fails.
#include <functional>
#include <string>

#include "dataport/message_sink.h"
#include "platform/serial_ports.h"
#include "platform/virtual_port.h"

namespace ostrel {

inline constexpr int kPortAttempts = 9;
inline constexpr int kMaxPortNumber = 9999;  // "COM" and four digits

struct VirtualPortSetup {
  ComPortLister& Ports;
  VirtualPort& Port;
  MessageSink& Messages;
  std::function<void()> ExitClick;
  // The caption of GPS_Virtual_Port.
  std::function<void(const std::string&)> SetPortLabel;
  // The box's text with the reason after it, for stderr and error.log, when no port
  // could be had: the box names only the last number tried.
  std::function<void(const std::string&)> Note;
};

// `configured`: [GPS] COM, 0 for automatic; a number that does not fit "COM" and four
// digits (below 0, above 9999) counts as 0. Returns the port name obtained, or "" when
// none could be had (the message has been shown and ExitClick called).
std::string Create_Virtual_Port(int configured, VirtualPortSetup& setup);

}  // namespace ostrel
