#include "receive/status_text.h"

#include "gps/tgps.h"
#include "receive/bounded_text.h"

namespace ostrel {
namespace {

class Appender {
 public:
  explicit Appender(StatusTextBuffer& out) : out_(out) {}
  Appender& operator<<(std::string_view s) {
    used_ = AppendBounded(out_, used_, s);
    return *this;
  }
  Appender& operator<<(int32_t v) {
    used_ = AppendBounded(out_, used_, v);
    return *this;
  }
  std::string_view Text() const { return {out_.data(), used_}; }

 private:
  StatusTextBuffer& out_;
  std::size_t used_ = 0;
};

std::string_view FixName(int32_t fix_type) {
  switch (fix_type) {
    case 0:
      return "No Fix";
    case 1:
      return "DR";
    case 2:
      return "2D Fix";
    case 3:
      return "3D Fix";
    case 4:
      return "GPS+DR";
    default:
      return "";
  }
}

std::string_view DgpsName(int32_t dgps_state) {
  switch (dgps_state) {
    case 1:
      return "No DGPS";
    case 2:
      return "DGPS";
    default:
      return "";
  }
}

}  // namespace

std::string_view FormatStatusText(StatusTextBuffer& out, int32_t fix_type, bool waas_active,
                                  int32_t dgps_state, int32_t sv_count) {
  Appender text(out);
  text << "Connected, " << FixName(fix_type);
  if (fix_type == 0) return text.Text();
  if (waas_active) text << ", WAAS";
  text << ", " << DgpsName(dgps_state) << ", " << sv_count << " SVs";
  return text.Text();
}

std::string_view FormatStatusText(StatusTextBuffer& out, const TGPS& gps) {
  return FormatStatusText(out, gps.FixType, gps.WAASActive, gps.DGPSState, gps.SVCount);
}

}  // namespace ostrel
