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

std::string_view FixName(int32_t FixType) {
  switch (FixType) {
    case 0: return "No Fix";
    case 1: return "DR";
    case 2: return "2D Fix";
    case 3: return "3D Fix";
    case 4: return "GPS+DR";
    default: return "";
  }
}

std::string_view DgpsName(int32_t DGPSState) {
  switch (DGPSState) {
    case 1: return "No DGPS";
    case 2: return "DGPS";
    default: return "";
  }
}

}  // namespace

std::string_view FormatStatusText(StatusTextBuffer& out, int32_t FixType, bool WAASActive,
                                  int32_t DGPSState, int32_t SVCount) {
  Appender text(out);
  text << "Connected, " << FixName(FixType);
  if (FixType == 0) return text.Text();
  if (WAASActive) text << ", WAAS";
  text << ", " << DgpsName(DGPSState) << ", " << SVCount << " SVs";
  return text.Text();
}

std::string_view FormatStatusText(StatusTextBuffer& out, const TGPS& gps) {
  return FormatStatusText(out, gps.FixType, gps.WAASActive, gps.DGPSState, gps.SVCount);
}

}  // namespace ostrel
