#include "tools/emulator/firmware.h"

#include <algorithm>
#include <string_view>
#include <vector>

namespace ostrel::emulator {
namespace {

bool StartsWith(std::span<const std::uint8_t> payload, std::string_view text) {
  return payload.size() >= text.size() && std::equal(text.begin(), text.end(), payload.begin());
}

}  // namespace

void Firmware::Handle(std::span<const std::uint8_t> packet, FirmwareHost& host) {
  if (packet.size() == 1) {
    if (packet[0] == 'j') host.Open();
    if (packet[0] == '^') host.Poll();
    return;
  }
  if (packet.size() != kBlockSize) return;  // the host never writes other sizes
  if (packet[0] == '*') {
    Command(packet, host);
    return;
  }
  const std::array<std::uint8_t, 4> ack{packet[0], packet[1], '\r', '\n'};
  host.Reply(ack);
  if (packet[0] == '!') host.ToChip(packet.subspan(1));
}

void Firmware::Command(std::span<const std::uint8_t> block, FirmwareHost& host) {
  const std::span<const std::uint8_t> payload = block.subspan(1);
  std::vector<std::uint8_t> reply{block[0], block[1]};
  int baud = 0;
  std::string error;
  switch (payload[0]) {
    case '9':
      if (StartsWith(payload, "9600")) baud = 9600;
      break;
    case '1':
      if (StartsWith(payload, "19200")) baud = 19200;
      break;
    case 'v':
      reply.insert(reply.end(), version_.begin(), version_.end());
      break;
    case 'r':
      reply.insert(reply.end(), eeprom_.SerialNumber().begin(), eeprom_.SerialNumber().end());
      break;
    case 'w':
      if (!eeprom_.Write(payload.subspan<1, kSerialLength>(), error)) host.Note(error);
      break;
    case 'e':
      if (!eeprom_.Erase(error)) host.Note(error);
      break;
    default:  // "c" begins a sequence, "*" ends it; nothing to do but answer
      break;
  }
  reply.push_back('\r');
  reply.push_back('\n');
  host.Reply(reply);
  // The new rate applies to what follows the answer.
  if (baud != 0) host.SetBaud(baud);
}

}  // namespace ostrel::emulator
