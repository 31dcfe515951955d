#pragma once
// The packet log: one line per packet the host wrote (rx) and per reply (tx), plus "--"
// lines for what happened to the connection. Tests read it to see exactly what a panel
// sent, so every line ends with the packet's bytes in hex:
//   12.345 rx 1 j | 6A
//   12.456 rx 64 *19200 | 2A 31 39 32 30 30 5F ... 5F
//   12.567 rx 64 ! CFG-SBAS mode=1 | 21 B5 62 06 16 08 00 01 07 ... 5F
//   12.568 tx 4 *c\r\n | 2A 63 0D 0A
//   12.569 -- chip: CFG-SBAS mode=1, ACK-ACK
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace ostrel::emulator {

// Printable ASCII as is; backslash, CR, LF and other bytes escaped (\\ \r \n \xHH).
std::string EscapeBytes(std::span<const std::uint8_t> bytes);

std::string HexBytes(std::span<const std::uint8_t> bytes);

// The summary between the length and the "|": the text of a control block without its
// '_' fill, the UBX frames of a data block by name, or the escaped bytes.
std::string DescribePacket(std::span<const std::uint8_t> packet);

class PacketLog {
 public:
  PacketLog() = default;
  PacketLog(const PacketLog&) = delete;
  PacketLog& operator=(const PacketLog&) = delete;
  ~PacketLog();

  // False with a reason when the file cannot be created.
  bool Open(const std::string& path, bool to_stderr, std::string& error);

  void Packet(double now, const char* direction, std::span<const std::uint8_t> packet);
  void Event(double now, const std::string& text);

 private:
  void Line(double now, const std::string& text);

  std::FILE* file_ = nullptr;
  bool stderr_ = false;
};

}  // namespace ostrel::emulator
