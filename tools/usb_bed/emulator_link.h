#pragma once
// The connection to a running kastrel-emulator on its abstract SOCK_SEQPACKET socket:
// one packet each way is one bulk transfer.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kastrel::usb_bed {

// A connected, non-blocking, close-on-exec socket, or -1 with errno set.
int ConnectEmulator(const std::string& name);

}  // namespace kastrel::usb_bed
