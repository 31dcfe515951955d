#include "receiver/command_decode.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace ostrel {

namespace {

struct Named {
  std::uint8_t code;
  std::string_view name;
};

constexpr std::array<Named, 9> kClasses = {{{0x01, "NAV"},
                                            {0x02, "RXM"},
                                            {0x04, "INF"},
                                            {0x05, "ACK"},
                                            {0x06, "CFG"},
                                            {0x0A, "MON"},
                                            {0x0B, "AID"},
                                            {0x0D, "TIM"},
                                            {0x10, "ESF"}}};

struct NamedId {
  std::uint8_t cls;
  std::uint8_t id;
  std::string_view name;
};

constexpr std::array<NamedId, 37> kIds = {{
    {0x01, 0x02, "POSLLH"}, {0x01, 0x03, "STATUS"}, {0x01, 0x04, "DOP"},     {0x01, 0x06, "SOL"},
    {0x01, 0x07, "PVT"},    {0x01, 0x12, "VELNED"}, {0x01, 0x21, "TIMEUTC"}, {0x01, 0x30, "SVINFO"},
    {0x01, 0x32, "SBAS"},   {0x02, 0x10, "RAW"},    {0x02, 0x11, "SFRB"},    {0x05, 0x00, "NAK"},
    {0x05, 0x01, "ACK"},    {0x06, 0x00, "PRT"},    {0x06, 0x01, "MSG"},     {0x06, 0x02, "INF"},
    {0x06, 0x04, "RST"},    {0x06, 0x06, "DAT"},    {0x06, 0x07, "TP"},      {0x06, 0x08, "RATE"},
    {0x06, 0x09, "CFG"},    {0x06, 0x0E, "FXN"},    {0x06, 0x11, "RXM"},     {0x06, 0x13, "ANT"},
    {0x06, 0x16, "SBAS"},   {0x06, 0x17, "NMEA"},   {0x06, 0x1B, "USB"},     {0x06, 0x23, "NAVX5"},
    {0x06, 0x24, "NAV5"},   {0x06, 0x31, "TP5"},    {0x06, 0x3E, "GNSS"},    {0x06, 0x8A, "VALSET"},
    {0x06, 0x8B, "VALGET"}, {0x0A, 0x04, "VER"},    {0x0A, 0x09, "HW"},      {0x0B, 0x01, "INI"},
    {0x0D, 0x01, "TP"},
}};

constexpr std::size_t kHeader = 6;  // sync pair, class, id, 16-bit length

std::string Hex(unsigned value, int digits) {
  std::array<char, 16> text{};
  std::snprintf(text.data(), text.size(), "%0*X", digits, value);
  return text.data();
}

unsigned U16(const std::uint8_t* p) { return p[0] | (static_cast<unsigned>(p[1]) << 8); }
unsigned long U32(const std::uint8_t* p) {
  return U16(p) | (static_cast<unsigned long>(U16(p + 2)) << 16);
}

std::string CfgPrt(const std::uint8_t* p, std::size_t n) {
  if (n == 1) return " poll port=" + std::to_string(p[0]);
  if (n != 20) return " len=" + std::to_string(n);
  return " port=" + std::to_string(p[0]) + " mode=0x" + Hex(static_cast<unsigned>(U32(p + 4)), 8) +
         " baud=" + std::to_string(U32(p + 8)) + " in=0x" + Hex(U16(p + 12), 4) + " out=0x" +
         Hex(U16(p + 14), 4);
}

std::string CfgMsg(const std::uint8_t* p, std::size_t n) {
  std::string text = " ";
  if (n == 2) text += "poll ";
  // A rate for the current port, or one per port (four or six of them).
  if (n < 2 || n > 8) return " len=" + std::to_string(n);
  text += UbxMessageName(p[0], p[1]);
  if (n == 3) text += " rate=";
  if (n > 3) text += " rates=";
  for (std::size_t i = 2; i < n; ++i) {
    if (i > 2) text += ',';
    text += std::to_string(p[i]);
  }
  return text;
}

std::string CfgSbas(const std::uint8_t* p, std::size_t n) {
  if (n != 8) return " len=" + std::to_string(n);
  return std::string(" mode=") + ((p[0] & 1) != 0 ? "enabled" : "disabled") +
         ((p[0] & 2) != 0 ? ",test" : "") + " usage=0x" + Hex(p[1], 2) +
         " maxSBAS=" + std::to_string(p[2]);
}

std::string CfgRst(const std::uint8_t* p, std::size_t n) {
  if (n != 4) return " len=" + std::to_string(n);
  const unsigned mask = U16(p);
  const std::string_view start = mask == 0x0000   ? " (hot start)"
                                 : mask == 0x0001 ? " (warm start)"
                                 : mask == 0xFFFF ? " (cold start)"
                                                  : "";
  std::string_view mode;
  switch (p[2]) {
    case 0x00:
      mode = " (hardware reset)";
      break;
    case 0x01:
      mode = " (software reset)";
      break;
    case 0x02:
      mode = " (GNSS reset)";
      break;
    case 0x04:
      mode = " (hardware reset after shutdown)";
      break;
    case 0x08:
      mode = " (GNSS stop)";
      break;
    case 0x09:
      mode = " (GNSS start)";
      break;
    default:
      break;
  }
  return " navBbrMask=0x" + Hex(mask, 4) + std::string(start) + " resetMode=0x" + Hex(p[2], 2) +
         std::string(mode);
}

std::string CfgRate(const std::uint8_t* p, std::size_t n) {
  if (n != 6) return " len=" + std::to_string(n);
  return " measRate=" + std::to_string(U16(p)) + "ms navRate=" + std::to_string(U16(p + 2)) +
         " timeRef=" + std::to_string(U16(p + 4));
}

std::string UbxFields(std::uint8_t cls, std::uint8_t id, const std::uint8_t* p, std::size_t n) {
  if (n == 0) return " poll";
  if (cls == 0x06) {
    switch (id) {
      case 0x00:
        return CfgPrt(p, n);
      case 0x01:
        return CfgMsg(p, n);
      case 0x04:
        return CfgRst(p, n);
      case 0x08:
        return CfgRate(p, n);
      case 0x16:
        return CfgSbas(p, n);
      default:
        break;
    }
  }
  return " len=" + std::to_string(n);
}

// The length of the UBX frame at `p`, or 0 when none is there whole.
std::size_t FrameLength(const std::uint8_t* p, std::size_t n) {
  if (n < kHeader + 2 || p[0] != 0xB5 || p[1] != 0x62) return 0;
  const std::size_t total = kHeader + U16(p + 4) + 2;
  return total <= n ? total : 0;
}

std::string UbxPart(const std::uint8_t* p, std::size_t total) {
  std::uint8_t a = 0;
  std::uint8_t b = 0;
  for (std::size_t i = 2; i < total - 2; ++i) {
    a = static_cast<std::uint8_t>(a + p[i]);
    b = static_cast<std::uint8_t>(b + a);
  }
  std::string text = UbxMessageName(p[2], p[3]) + UbxFields(p[2], p[3], p + kHeader, total - 8);
  if (a != p[total - 2] || b != p[total - 1]) text += " (checksum wrong)";
  return text;
}

std::string FirmwarePart(std::uint8_t letter) {
  std::string_view what;
  switch (letter) {
    case 'c':
      what = "begin";
      break;
    case '*':
      what = "end";
      break;
    case 'r':
      what = "read serial number";
      break;
    case 'w':
      what = "write serial number";
      break;
    case 'e':
      what = "erase EEPROM";
      break;
    case 'v':
      what = "query version";
      break;
    default:
      return {};
  }
  return std::string("firmware *") + static_cast<char>(letter) + " (" + std::string(what) + ")";
}

// The NMEA text at `p`: "$" through the line end (or the end); its length in `used`.
std::string NmeaPart(const std::uint8_t* p, std::size_t n, std::size_t& used) {
  std::size_t end = 1;
  while (end < n && p[end] != '\r' && p[end] != '\n' && p[end] >= 0x20 && p[end] < 0x7F) ++end;
  used = end;
  while (used < n && (p[used] == '\r' || p[used] == '\n')) ++used;
  return "NMEA " + std::string(reinterpret_cast<const char*>(p), end);
}

}  // namespace

std::string UbxMessageName(std::uint8_t cls, std::uint8_t id) {
  std::string name;
  for (const Named& c : kClasses)
    if (c.code == cls) name = c.name;
  if (name.empty()) return Hex(cls, 2) + "-" + Hex(id, 2);
  for (const NamedId& i : kIds)
    if (i.cls == cls && i.id == id) return name + "-" + std::string(i.name);
  return name + "-" + Hex(id, 2);
}

std::string DecodeCommand(const std::uint8_t* bytes, std::size_t count) {
  std::string text;
  std::size_t unknown = 0;
  auto append = [&text](const std::string& part) {
    if (!text.empty()) text += "; ";
    text += part;
  };
  auto add = [&](const std::string& part) {
    if (unknown > 0) append(std::to_string(unknown) + " bytes not understood");
    unknown = 0;
    append(part);
  };
  std::size_t i = 0;
  while (i < count) {
    const std::uint8_t* p = bytes + i;
    const std::size_t n = count - i;
    if (const std::size_t frame = FrameLength(p, n); frame > 0) {
      add(UbxPart(p, frame));
      i += frame;
    } else if (n >= 2 && p[0] == '*' && !FirmwarePart(p[1]).empty()) {
      add(FirmwarePart(p[1]));
      i += 2;
    } else if (p[0] == '$') {
      std::size_t used = 0;
      add(NmeaPart(p, n, used));
      i += used;
    } else {
      ++unknown;
      ++i;
    }
  }
  if (unknown > 0) append(std::to_string(unknown) + " bytes not understood");
  return text.empty() ? "nothing" : text;
}

}  // namespace ostrel
