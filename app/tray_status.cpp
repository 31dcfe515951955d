#include "app/tray_status.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "gps/tgps.h"

namespace ostrel {

namespace {

// What NAV-SOL's gpsFix and flags say (the module's receiver reports these).
constexpr int32_t kFix2D = 2;
constexpr int32_t kFix3D = 3;
constexpr int32_t kFixGpsDeadReckoning = 4;
constexpr int32_t kDifferentialApplied = 2;

QPixmap Paint(TrayState state, int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const qreal s = size;
  const qreal pen = std::max<qreal>(1.0, s / 12.0);
  const QRectF disc(pen, pen, s - 2 * pen, s - 2 * pen);
  // Grey to amber to green as the fix grows; the disc fills once there is a position.
  QColor colour(0x80, 0x80, 0x80);
  bool filled = false;
  switch (state) {
    case TrayState::kNoModule:
      break;
    case TrayState::kNoFix:
      colour = QColor(0xc0, 0x30, 0x20);
      break;
    case TrayState::kFix2D:
      colour = QColor(0xe0, 0x90, 0x00);
      filled = true;
      break;
    case TrayState::kFix3D:
    case TrayState::kFix3DCorrected:
      colour = QColor(0x20, 0x90, 0x30);
      filled = true;
      break;
  }
  p.setPen(QPen(colour, pen));
  p.setBrush(filled ? QBrush(colour) : Qt::NoBrush);
  p.drawEllipse(disc);
  // The cross hair of a position, white on a filled disc.
  p.setPen(QPen(filled ? QColor(Qt::white) : colour, pen));
  const qreal c = s / 2;
  const qreal arm = s * 0.28;
  p.drawLine(QPointF(c - arm, c), QPointF(c + arm, c));
  p.drawLine(QPointF(c, c - arm), QPointF(c, c + arm));
  if (state == TrayState::kNoModule) {
    // Struck through: nothing to listen to.
    p.setPen(QPen(QColor(0xc0, 0x30, 0x20), pen * 1.5));
    p.drawLine(QPointF(s * 0.18, s * 0.82), QPointF(s * 0.82, s * 0.18));
  }
  if (state == TrayState::kFix3DCorrected) {
    // A blue badge: corrections from SBAS or a DGPS station are applied.
    const qreal r = s * 0.2;
    p.setPen(QPen(Qt::white, pen / 2));
    p.setBrush(QColor(0x20, 0x60, 0xe0));
    p.drawEllipse(QPointF(s - r - pen / 2, r + pen / 2), r, r);
  }
  return pixmap;
}

}  // namespace

TrayState TrayStateOf(bool module_open, const TGPS& gps) {
  if (!module_open) return TrayState::kNoModule;
  // The NMEA stream says it every second; the binary solution only when asked for.
  if (gps.GsaFixMode == kFix3D)
    return gps.FixModeText == "DGPS" || gps.DGPSState == kDifferentialApplied
               ? TrayState::kFix3DCorrected
               : TrayState::kFix3D;
  if (gps.GsaFixMode == kFix2D) return TrayState::kFix2D;
  if (gps.GsaFixMode != 0) return TrayState::kNoFix;
  if (gps.FixType == kFix3D || gps.FixType == kFixGpsDeadReckoning)
    return gps.DGPSState == kDifferentialApplied ? TrayState::kFix3DCorrected : TrayState::kFix3D;
  if (gps.FixType == kFix2D) return TrayState::kFix2D;
  return TrayState::kNoFix;
}

std::string TrayStateWords(TrayState state) {
  switch (state) {
    case TrayState::kNoModule:
      return "No GPS module";
    case TrayState::kNoFix:
      return "GPS module found, no fix";
    case TrayState::kFix2D:
      return "2D fix";
    case TrayState::kFix3D:
      return "3D fix";
    case TrayState::kFix3DCorrected:
      return "3D fix with SBAS/DGPS correction";
  }
  return {};
}

QIcon TrayStateIcon(TrayState state) {
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) icon.addPixmap(Paint(state, size));
  return icon;
}

}  // namespace ostrel
