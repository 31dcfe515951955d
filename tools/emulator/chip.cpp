#include "tools/emulator/chip.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "receiver/ubx.h"
#include "tools/emulator/nmea.h"

namespace ostrel::emulator {
namespace {

// Longest frame the chip takes in; a longer length field is line noise.
constexpr std::size_t kMaxInputPayload = 1024;
constexpr std::uint8_t kClassNmea = 0xF0;

void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}
void Put32(std::uint8_t* p, std::int32_t v) { Put32(p, static_cast<std::uint32_t>(v)); }
std::uint32_t Get32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::int32_t Centi(double metres) { return static_cast<std::int32_t>(std::lround(metres * 100.0)); }

// SBAS satellite of the scan mask: the lowest PRN allowed, 120 when all are.
int GeoPrn(const SbasConfig& sbas) {
  for (int bit = 0; bit < 19; ++bit) {
    if ((sbas.scan_mask >> bit & 1U) != 0) return 120 + bit;
  }
  return 120;
}

// 0 WAAS, 1 EGNOS, 2 MSAS, 3 GAGAN, as NAV-SBAS numbers the systems.
std::int8_t SbasSystem(int prn) {
  switch (prn) {
    case 120:
    case 123:
    case 124:
    case 126:
    case 136:
      return 1;
    case 129:
    case 137:
      return 2;
    case 127:
    case 128:
      return 3;
    default:
      return 0;
  }
}

struct OutputId {
  std::uint8_t cls, id;
  Output output;
  const char* name;
};
constexpr std::array<OutputId, static_cast<std::size_t>(Output::kCount)> kOutputs = {{
    {ubx::kClassNav, ubx::kIdNavSol, Output::kNavSol, "NAV-SOL"},
    {ubx::kClassNav, ubx::kIdNavSbas, Output::kNavSbas, "NAV-SBAS"},
    {kClassNmea, 0x04, Output::kRmc, "RMC"},
    {kClassNmea, 0x05, Output::kVtg, "VTG"},
    {kClassNmea, 0x00, Output::kGga, "GGA"},
    {kClassNmea, 0x02, Output::kGsa, "GSA"},
    {kClassNmea, 0x03, Output::kGsv, "GSV"},
    {kClassNmea, 0x01, Output::kGll, "GLL"},
}};

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Hex(std::uint8_t cls, std::uint8_t id) {
  char text[8];
  std::snprintf(text, sizeof text, "%02X-%02X", cls, id);
  return text;
}

}  // namespace

const char* OutputName(std::uint8_t cls, std::uint8_t id) {
  for (const OutputId& o : kOutputs) {
    if (o.cls == cls && o.id == id) return o.name;
  }
  return nullptr;
}

void AppendFrame(std::vector<std::uint8_t>& out, std::uint8_t cls, std::uint8_t id,
                 std::span<const std::uint8_t> payload) {
  const std::size_t start = out.size();
  out.push_back(ubx::kSync1);
  out.push_back(ubx::kSync2);
  out.push_back(cls);
  out.push_back(id);
  out.push_back(static_cast<std::uint8_t>(payload.size()));
  out.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
  out.insert(out.end(), payload.begin(), payload.end());
  const ubx::Checksum ck = ubx::Fletcher(out.data() + start + 2, payload.size() + 4);
  out.push_back(ck.a);
  out.push_back(ck.b);
}

std::array<std::uint8_t, kNavSolLength> NavSolPayload(const Epoch& e, bool dgps) {
  std::array<std::uint8_t, kNavSolLength> p{};
  const GpsTime t = ToGpsTime(e.unix_ms);
  const Ecef pos = ToEcef(e.latitude, e.longitude, e.altitude + e.geoid_separation);
  const Ecef vel =
      VelocityToEcef(e.latitude, e.longitude, e.velocity_north, e.velocity_east, e.velocity_up);
  Put32(&p[0], t.tow_ms);
  Put32(&p[4], std::int32_t{0});  // fTOW: solutions fall on whole milliseconds
  Put16(&p[8], static_cast<std::uint32_t>(t.week));
  p[10] = 3;                   // gpsFix: 3D
  p[11] = dgps ? 0x0F : 0x0D;  // fix valid, DGPS, week and TOW valid
  Put32(&p[12], Centi(pos.x));
  Put32(&p[16], Centi(pos.y));
  Put32(&p[20], Centi(pos.z));
  Put32(&p[24], static_cast<std::uint32_t>(dgps ? 180 : 320));  // pAcc, cm
  Put32(&p[28], Centi(vel.x));
  Put32(&p[32], Centi(vel.y));
  Put32(&p[36], Centi(vel.z));
  Put32(&p[40], static_cast<std::uint32_t>(dgps ? 35 : 50));  // sAcc, cm/s
  Put16(&p[44], static_cast<std::uint32_t>(std::lround(e.pdop * 100.0)));
  p[47] = static_cast<std::uint8_t>(e.used);
  return p;
}

std::vector<std::uint8_t> NavSbasPayload(const Epoch& e, const SbasConfig& sbas) {
  const bool on = sbas.Enabled();
  const int geo = GeoPrn(sbas);
  const int count = on ? e.used : 0;
  std::vector<std::uint8_t> p(12 + 12 * static_cast<std::size_t>(count), 0);
  Put32(&p[0], ToGpsTime(e.unix_ms).tow_ms);
  p[4] = on ? static_cast<std::uint8_t>(geo) : 0;
  p[5] = on ? ((sbas.mode & 0x02) != 0 ? 3 : 1) : 0;  // 0 off, 1 integrity, 3 test mode
  p[6] = on ? static_cast<std::uint8_t>(SbasSystem(geo)) : 0xFF;
  p[7] = on ? static_cast<std::uint8_t>(0x07 | ((sbas.mode & 0x02) != 0 ? 0x08 : 0)) : 0;
  p[8] = static_cast<std::uint8_t>(count);
  for (int i = 0; i < count; ++i) {
    const SatelliteView& sat = e.satellites[static_cast<std::size_t>(i)];
    std::uint8_t* sv = &p[12 + 12 * static_cast<std::size_t>(i)];
    sv[0] = static_cast<std::uint8_t>(sat.prn);
    sv[1] = 0x07;  // corrections, ranging and integrity used
    sv[2] = 2;     // UDRE index
    sv[3] = p[6];
    sv[4] = 0x06;
    const auto prc = static_cast<std::int16_t>(40 * (sat.prn % 7) - 120);  // fast correction, cm
    Put16(&sv[6], static_cast<std::uint16_t>(prc));
    Put16(&sv[10], static_cast<std::uint32_t>(150 + 10 * (sat.prn % 5)));  // iono, cm
  }
  return p;
}

ReceiverChip::ReceiverChip(int power_on_baud)
    : power_on_baud_(power_on_baud), baud_(power_on_baud) {
  PowerOn();
}

void ReceiverChip::PowerOn() {
  baud_ = power_on_baud_;
  sbas_ = SbasConfig{};
  rates_.fill(1);
  rates_[static_cast<std::size_t>(Output::kNavSol)] = 0;
  rates_[static_cast<std::size_t>(Output::kNavSbas)] = 0;
  solutions_ = 0;
  searching_ = 0;
  cold_ = false;
  frame_.clear();
}

void ReceiverChip::Receive(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out,
                           std::vector<std::string>& notes) {
  for (const std::uint8_t b : bytes) {
    // Between frames the chip hunts for B5 62; '_' fill and stray text fall away here.
    if (frame_.empty()) {
      if (b == ubx::kSync1) frame_.push_back(b);
      continue;
    }
    if (frame_.size() == 1) {
      frame_.clear();
      if (b == ubx::kSync2) {
        frame_.assign({ubx::kSync1, ubx::kSync2});
      } else if (b == ubx::kSync1) {
        frame_.push_back(b);
      }
      continue;
    }
    frame_.push_back(b);
    if (frame_.size() < 6) continue;
    const std::size_t n = frame_[4] | static_cast<std::size_t>(frame_[5]) << 8;
    if (n > kMaxInputPayload) {
      notes.push_back("chip: dropped a frame header with length " + std::to_string(n));
      frame_.clear();
      continue;
    }
    if (frame_.size() < n + ubx::kOverhead) continue;
    const ubx::Checksum ck = ubx::Fletcher(frame_.data() + 2, n + 4);
    if (ck.a != frame_[n + 6] || ck.b != frame_[n + 7]) {
      notes.push_back("chip: UBX " + Hex(frame_[2], frame_[3]) + " with a bad checksum, ignored");
    } else {
      HandleFrame(frame_[2], frame_[3], std::span(frame_).subspan(6, n), out, notes);
    }
    frame_.clear();
  }
}

void ReceiverChip::HandleFrame(std::uint8_t cls, std::uint8_t id,
                               std::span<const std::uint8_t> payload,
                               std::vector<std::uint8_t>& out, std::vector<std::string>& notes) {
  std::string note = "chip: UBX " + Hex(cls, id);
  if (cls != ubx::kClassCfg) {
    notes.push_back(note + " ignored");
    return;
  }
  const std::size_t n = payload.size();
  if (id == ubx::kIdCfgPrt) {
    note = "chip: CFG-PRT";
    if (n >= 12 && payload[0] == 1) {
      baud_ = static_cast<int>(Get32(&payload[8]));
      note += " baud=" + std::to_string(baud_);
    } else if (n <= 1) {
      std::array<std::uint8_t, 20> reply{};
      reply[0] = 1;
      Put32(&reply[4], std::uint32_t{0x08C0});
      Put32(&reply[8], static_cast<std::uint32_t>(baud_));
      reply[12] = 0x03;
      reply[14] = 0x03;
      AppendFrame(out, cls, id, reply);
      note += " poll answered";
    } else {
      note += " for port " + std::to_string(payload[0]);
    }
  } else if (id == ubx::kIdCfgRst) {
    // The receiver restarts rather than answering.
    HandleCfgRst(payload, note);
    notes.push_back(note);
    return;
  } else if (id == ubx::kIdCfgMsg) {
    HandleCfgMsg(payload, out, note);
  } else if (id == ubx::kIdCfgSbas) {
    note = "chip: CFG-SBAS";
    if (n >= 8) {
      sbas_.mode = payload[0];
      sbas_.usage = payload[1];
      sbas_.max_channels = payload[2];
      sbas_.scan_mask = Get32(&payload[4]);
      note += " mode=" + std::to_string(sbas_.mode);
    } else if (n == 0) {
      std::array<std::uint8_t, 8> reply{sbas_.mode, sbas_.usage, sbas_.max_channels, 0};
      Put32(&reply[4], sbas_.scan_mask);
      AppendFrame(out, cls, id, reply);
      note += " poll answered";
    }
  } else {
    note = "chip: CFG " + Hex(cls, id);
  }
  const std::array<std::uint8_t, 2> acked{cls, id};
  AppendFrame(out, ubx::kClassAck, ubx::kIdAckAck, acked);
  notes.push_back(note + ", ACK-ACK");
}

void ReceiverChip::HandleCfgMsg(std::span<const std::uint8_t> payload,
                                std::vector<std::uint8_t>& out, std::string& note) {
  note = "chip: CFG-MSG";
  if (payload.size() < 2) return;
  const OutputId* known = nullptr;
  for (const OutputId& o : kOutputs) {
    if (o.cls == payload[0] && o.id == payload[1]) known = &o;
  }
  note += ' ';
  note += known != nullptr ? std::string(known->name) : Hex(payload[0], payload[1]);
  const std::uint8_t current = known != nullptr ? rate(known->output) : 0;
  if (payload.size() == 2) {
    // Poll: rates on the four targets; the module's firmware listens on the first UART.
    const std::array<std::uint8_t, 6> reply{payload[0], payload[1], current, current, current, 0};
    AppendFrame(out, ubx::kClassCfg, ubx::kIdCfgMsg, reply);
    note += " poll answered";
    return;
  }
  // Three bytes set the rate on the port the frame came in on; longer forms carry one
  // rate per target, of which target 1 is the UART the firmware reads.
  const std::uint8_t new_rate = payload.size() == 3 ? payload[2] : payload[3];
  if (known != nullptr) rates_[static_cast<std::size_t>(known->output)] = new_rate;
  note += " rate=" + std::to_string(new_rate);
}

void ReceiverChip::HandleCfgRst(std::span<const std::uint8_t> payload, std::string& note) {
  note = "chip: CFG-RST";
  if (payload.size() < 4) {
    note += " too short, ignored";
    return;
  }
  const unsigned nav_bbr_mask = payload[0] | static_cast<unsigned>(payload[1]) << 8;
  cold_ = nav_bbr_mask == 0xFFFF;
  if (cold_) {
    searching_ = kColdStartCycles;
    note += " cold start";
  } else if (nav_bbr_mask != 0) {
    searching_ = kWarmStartCycles;
    note += " warm start";
  } else {
    searching_ = kHotStartCycles;
    note += " hot start";
  }
  note += ", no fix for " + std::to_string(searching_) + " cycles";
}

bool ReceiverChip::Due(Output o) const {
  const std::uint8_t r = rate(o);
  return r != 0 && solutions_ % r == 0;
}

// NOLINTNEXTLINE(readability-function-size): one message, field by field
void ReceiverChip::Solution(const Epoch& e, std::vector<std::uint8_t>& out,
                            std::vector<std::size_t>* starts) {
  if (searching_ > 0) {
    SearchingSolution(e, out, starts);
    --searching_;
    ++solutions_;
    return;
  }
  const bool dgps = sbas_.Enabled();
  const auto mark = [&] {
    if (starts != nullptr) starts->push_back(out.size());
  };
  if (Due(Output::kNavSol)) {
    mark();
    AppendFrame(out, ubx::kClassNav, ubx::kIdNavSol, NavSolPayload(e, dgps));
  }
  if (Due(Output::kNavSbas)) {
    mark();
    AppendFrame(out, ubx::kClassNav, ubx::kIdNavSbas, NavSbasPayload(e, sbas_));
  }

  const std::string time = NmeaTime(e.unix_ms);
  const std::string lat = NmeaAngle(e.latitude, 2) + (e.latitude >= 0 ? ",N" : ",S");
  const std::string lon = NmeaAngle(e.longitude, 3) + (e.longitude >= 0 ? ",E" : ",W");
  const char* mode = dgps ? "D" : "A";
  const double knots = e.speed * 3600.0 / 1852.0;
  const std::string course = e.course ? Fixed(*e.course, 2) : std::string();
  const auto sentence = [&](Output o, const std::string& body) {
    if (!Due(o)) return;
    mark();
    AppendSentence(out, body);
  };

  sentence(Output::kRmc, "GPRMC," + time + ",A," + lat + "," + lon + "," + Fixed(knots, 3) + "," +
                             course + "," + NmeaDate(e.unix_ms) + ",,," + mode);
  sentence(Output::kVtg, "GPVTG," + course + ",T,,M," + Fixed(knots, 3) + ",N," +
                             Fixed(e.speed * 3.6, 3) + ",K," + mode);
  char used[4];
  std::snprintf(used, sizeof used, "%02d", e.used);
  sentence(Output::kGga, "GPGGA," + time + "," + lat + "," + lon + "," + (dgps ? "2," : "1,") +
                             used + "," + Fixed(e.hdop, 2) + "," + Fixed(e.altitude, 1) + ",M," +
                             Fixed(e.geoid_separation, 1) + ",M,,");
  std::string gsa = "GPGSA,A,3";
  for (int i = 0; i < 12; ++i) {
    char field[8] = ",";
    if (i < e.used)
      std::snprintf(field, sizeof field, ",%02d", e.satellites[static_cast<std::size_t>(i)].prn);
    gsa += field;
  }
  sentence(Output::kGsa,
           gsa + "," + Fixed(e.pdop, 2) + "," + Fixed(e.hdop, 2) + "," + Fixed(e.vdop, 2));

  // The SBAS satellite shows in GSV under its NMEA number (PRN - 87).
  std::array<SatelliteView, kMaxInView> sky = e.satellites;
  int in_view = e.in_view;
  if (sbas_.Enabled() && in_view < kMaxInView) {
    sky[static_cast<std::size_t>(in_view++)] = {GeoPrn(sbas_) - 87, 31, 199, 40, false};
  }
  const int messages = (in_view + 3) / 4;
  for (int m = 0; m < messages; ++m) {
    char head[48];
    std::snprintf(head, sizeof head, "GPGSV,%d,%d,%02d", messages, m + 1, in_view);
    std::string gsv = head;
    for (int i = 4 * m; i < in_view && i < 4 * m + 4; ++i) {
      const SatelliteView& s = sky[static_cast<std::size_t>(i)];
      char sat[64];
      if (s.snr > 0) {
        std::snprintf(sat, sizeof sat, ",%02d,%02d,%03d,%02d", s.prn, s.elevation, s.azimuth,
                      s.snr);
      } else {
        std::snprintf(sat, sizeof sat, ",%02d,%02d,%03d,", s.prn, s.elevation, s.azimuth);
      }
      gsv += sat;
    }
    sentence(Output::kGsv, gsv);
  }
  sentence(Output::kGll, "GPGLL," + lat + "," + lon + "," + time + ",A," + mode);
  ++solutions_;
}

void ReceiverChip::SearchingSolution(const Epoch& e, std::vector<std::uint8_t>& out,
                                     std::vector<std::size_t>* starts) {
  const auto mark = [&] {
    if (starts != nullptr) starts->push_back(out.size());
  };
  if (Due(Output::kNavSol)) {
    std::array<std::uint8_t, kNavSolLength> sol = NavSolPayload(e, false);
    sol[10] = 0;     // gpsFix: none
    sol[11] = 0x0C;  // week and time of week valid, no fix
    std::fill(sol.begin() + 12, sol.begin() + 44, std::uint8_t{0});
    sol[47] = 0;
    mark();
    AppendFrame(out, ubx::kClassNav, ubx::kIdNavSol, sol);
  }
  const std::string time = NmeaTime(e.unix_ms);
  const auto sentence = [&](Output o, const std::string& body) {
    if (!Due(o)) return;
    mark();
    AppendSentence(out, body);
  };
  sentence(Output::kRmc, "GPRMC," + time + ",V,,,,,,," + NmeaDate(e.unix_ms) + ",,,N");
  sentence(Output::kVtg, "GPVTG,,T,,M,,N,,K,N");
  sentence(Output::kGga, "GPGGA," + time + ",,,,,0,00,99.99,,M,,M,,");
  sentence(Output::kGsa, "GPGSA,A,1,,,,,,,,,,,,,99.99,99.99,99.99");
  // After a cold start no almanac says where to look: the sky fills in halfway through.
  const int in_view = cold_ && searching_ > kColdStartCycles / 2 ? 0 : e.in_view;
  const int messages = std::max((in_view + 3) / 4, 1);
  for (int m = 0; m < messages; ++m) {
    char head[48];
    std::snprintf(head, sizeof head, "GPGSV,%d,%d,%02d", messages, m + 1, in_view);
    std::string gsv = head;
    for (int i = 4 * m; i < in_view && i < 4 * m + 4; ++i) {
      const SatelliteView& sv = e.satellites[static_cast<std::size_t>(i)];
      // Weaker while the tracking loops settle; not yet tracked where that leaves nothing.
      const int snr = sv.snr - 6;
      char sat[64];
      std::snprintf(sat, sizeof sat, ",%02d,%02d,%03d,", sv.prn, sv.elevation, sv.azimuth);
      gsv += sat;
      if (snr > 0) gsv += std::to_string(snr);
    }
    sentence(Output::kGsv, gsv);
  }
  sentence(Output::kGll, "GPGLL,,,,," + time + ",V,N");
}

}  // namespace ostrel::emulator
