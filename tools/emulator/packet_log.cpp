#include "tools/emulator/packet_log.h"

#include <cerrno>
#include <cstring>

#include "receiver/ubx.h"
#include "tools/emulator/chip.h"

namespace ostrel::emulator {
namespace {

std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::string Hex2(std::uint8_t cls, std::uint8_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X-%02X", cls, id);
  return text;
}

std::string DescribeFrame(std::span<const std::uint8_t> f) {
  const std::uint8_t cls = f[2], id = f[3];
  const std::span<const std::uint8_t> p = f.subspan(6, f.size() - ubx::kOverhead);
  std::string text;
  if (cls == ubx::kClassCfg && id == ubx::kIdCfgPrt) {
    text = "CFG-PRT";
    if (p.size() >= 12) {
      text += " port=" + std::to_string(p[0]) + " baud=" + std::to_string(Get32(&p[8]));
    } else {
      text += " poll";
    }
  } else if (cls == ubx::kClassCfg && id == ubx::kIdCfgMsg) {
    text = "CFG-MSG";
    if (p.size() >= 2) {
      const char* name = OutputName(p[0], p[1]);
      text += " " + (name != nullptr ? std::string(name) : Hex2(p[0], p[1]));
      if (p.size() >= 3) text += " rate=" + std::to_string(p.size() == 3 ? p[2] : p[3]);
    }
  } else if (cls == ubx::kClassCfg && id == ubx::kIdCfgSbas) {
    text = "CFG-SBAS";
    text += p.size() >= 1 ? " mode=" + std::to_string(p[0]) : " poll";
  } else if (cls == ubx::kClassCfg && id == ubx::kIdCfgRst && p.size() >= 4) {
    char fields[40];
    std::snprintf(fields, sizeof fields, "CFG-RST nav=%04X mode=%u", p[0] | p[1] << 8, p[2]);
    text = fields;
  } else {
    text = "UBX " + Hex2(cls, id) + " len=" + std::to_string(p.size());
  }
  const ubx::Checksum ck = ubx::Fletcher(f.data() + 2, p.size() + 4);
  if (ck.a != f[f.size() - 2] || ck.b != f[f.size() - 1]) text += " (bad checksum)";
  return text;
}

// The frames of a data block's payload, found by their length fields; the bytes around
// them (application text, '_' fill) shown escaped, trailing fill left out.
std::string DescribeData(std::span<const std::uint8_t> payload) {
  std::string text;
  const auto add = [&text](const std::string& piece) {
    if (!text.empty()) text += " + ";
    text += piece;
  };
  std::size_t plain = 0;  // start of the bytes not shown yet
  std::size_t i = 0;
  while (i + 1 < payload.size()) {
    if (payload[i] != ubx::kSync1 || payload[i + 1] != ubx::kSync2) {
      ++i;
      continue;
    }
    if (i > plain) add(EscapeBytes(payload.subspan(plain, i - plain)));
    if (i + 6 > payload.size()) {
      add("UBX (continues)");
      return text;
    }
    const std::size_t n = payload[i + 4] | static_cast<std::size_t>(payload[i + 5]) << 8;
    if (i + n + ubx::kOverhead > payload.size()) {
      add("UBX " + Hex2(payload[i + 2], payload[i + 3]) + " (continues)");
      return text;
    }
    add(DescribeFrame(payload.subspan(i, n + ubx::kOverhead)));
    i += n + ubx::kOverhead;
    plain = i;
  }
  std::size_t end = payload.size();
  while (end > plain && payload[end - 1] == '_') --end;
  if (end > plain) add(EscapeBytes(payload.subspan(plain, end - plain)));
  return text;
}

}  // namespace

std::string EscapeBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (const std::uint8_t b : bytes) {
    if (b == '\\') {
      text += "\\\\";
    } else if (b == '\r') {
      text += "\\r";
    } else if (b == '\n') {
      text += "\\n";
    } else if (b >= 0x20 && b < 0x7F) {
      text += static_cast<char>(b);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", b);
      text += hex;
    }
  }
  return text;
}

std::string HexBytes(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 3);
  for (const std::uint8_t b : bytes) {
    char hex[4];
    std::snprintf(hex, sizeof hex, text.empty() ? "%02X" : " %02X", b);
    text += hex;
  }
  return text;
}

std::string DescribePacket(std::span<const std::uint8_t> packet) {
  if (packet.size() == 64 && packet[0] == '!') return "! " + DescribeData(packet.subspan(1));
  if (packet.size() == 64 && packet[0] == '*') {
    std::size_t end = packet.size();
    while (end > 2 && packet[end - 1] == '_') --end;
    return EscapeBytes(packet.first(end));
  }
  return EscapeBytes(packet);
}

PacketLog::~PacketLog() {
  if (file_ != nullptr) std::fclose(file_);
}

bool PacketLog::Open(const std::string& path, bool to_stderr, std::string& error) {
  stderr_ = to_stderr;
  if (path.empty()) return true;
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) {
    error = "cannot create log file '" + path + "': " + std::strerror(errno);
    return false;
  }
  return true;
}

void PacketLog::Packet(double now, const char* direction, std::span<const std::uint8_t> packet) {
  if (file_ == nullptr && !stderr_) return;
  Line(now, std::string(direction) + " " + std::to_string(packet.size()) + " " +
                DescribePacket(packet) + " | " + HexBytes(packet));
}

void PacketLog::Event(double now, const std::string& text) {
  if (file_ == nullptr && !stderr_) return;
  Line(now, "-- " + text);
}

void PacketLog::Line(double now, const std::string& text) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%.3f ", now);
  // Flushed per line: tests read the file while the emulator runs.
  if (file_ != nullptr) {
    std::fprintf(file_, "%s%s\n", stamp, text.c_str());
    std::fflush(file_);
  }
  if (stderr_) std::fprintf(stderr, "%s%s\n", stamp, text.c_str());
}

}  // namespace ostrel::emulator
