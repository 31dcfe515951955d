#include "app/status_form.h"

#include <QComboBox>
#include <QDateTime>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <cmath>
#include <optional>

#include "app/status_draw.h"
#include "engine/panel_engine.h"
#include "engine/settings.h"

namespace ostrel {

namespace {

// Tenths of a second while the time to first fix counts; otherwise nothing shown changes
// faster than a receiver's fix, and each refresh repaints what changed.
constexpr int kSearchingRefreshMs = 100;
constexpr int kRefreshMs = 1000;
// The accuracy figures sort every sample: once a second is enough.
constexpr Millis kFiguresEvery = 1000;
constexpr const char* kSection = "StatusWindow";
constexpr int kWindowMinutes[] = {1, 5, 15, 60};
constexpr int kDefaultWindowIndex = 2;

QString Seconds(Millis ms) {
  return QStringLiteral("%1 s").arg(static_cast<double>(ms) / 1000.0, 0, 'f', 1);
}

QString Dop(const std::optional<double>& v) {
  return v ? QString::number(*v, 'f', 2) : QStringLiteral("-");
}

QString Metres(double m) { return QStringLiteral("%1 m").arg(m, 0, 'f', m < 10 ? 2 : 1); }

QString FixText(const HealthState& s) {
  QString text;
  switch (s.fix_type) {
    case 1:
      text = QStringLiteral("No fix");
      break;
    case 2:
      text = QStringLiteral("2D fix");
      break;
    case 3:
      text = QStringLiteral("3D fix");
      break;
    default:
      return QStringLiteral("-");
  }
  if (s.fix_mode == 'A') text += QStringLiteral(", automatic");
  if (s.fix_mode == 'M') text += QStringLiteral(", manual");
  return text;
}

QString CountsText(const HealthState& s) {
  QStringList parts;
  for (std::size_t i = 0; i < kConstellationCount; ++i) {
    const ConstellationCount& c = s.counts[i];
    if (c.in_view == 0 && c.used == 0) continue;
    parts << QStringLiteral("%1 %2/%3")
                 .arg(QString::fromLatin1(ConstellationName(static_cast<Constellation>(i))))
                 .arg(c.used)
                 .arg(c.in_view);
  }
  return parts.isEmpty() ? QStringLiteral("none") : parts.join(QStringLiteral(", "));
}

// What the chart shows, for a screen reader: "GPS 5 42 dB-Hz used, ...".
QString ChartDescription(const HealthState& s) {
  QStringList parts;
  for (const SatelliteInView& sat : s.satellites) {
    parts << QStringLiteral("%1 %2 %3%4")
                 .arg(QString::fromLatin1(ConstellationName(sat.system)))
                 .arg(sat.id)
                 .arg(sat.cn0 >= 0 ? QStringLiteral("%1 dB-Hz").arg(sat.cn0)
                                   : QStringLiteral("not tracked"))
                 .arg(sat.used ? QStringLiteral(" used") : QString());
  }
  return parts.join(QStringLiteral(", "));
}

// "48.1173, 11.5167": decimal degrees, north and east positive.
std::optional<GeoPoint> ReadReference(const QString& text) {
  const QStringList parts = text.split(QLatin1Char(','));
  if (parts.size() != 2) return std::nullopt;
  bool ok_lat = false;
  bool ok_lon = false;
  const double lat = parts[0].trimmed().toDouble(&ok_lat);
  const double lon = parts[1].trimmed().toDouble(&ok_lon);
  if (!ok_lat || !ok_lon || std::fabs(lat) > 90 || std::fabs(lon) > 180) return std::nullopt;
  return GeoPoint{lat, lon};
}

}  // namespace

StatusPicture::StatusPicture(Draw draw, QSize minimum, QWidget* parent)
    : QWidget(parent), draw_(std::move(draw)) {
  // Every pixel is drawn: nothing behind needs painting first.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setMinimumSize(minimum);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void StatusPicture::paintEvent(QPaintEvent*) {
  const double scale = devicePixelRatioF();
  QImage image = NewStatusImage(size(), scale);
  {
    QPainter painter(&image);
    draw_(painter, size(), scale);
  }
  image.setDevicePixelRatio(scale);
  QPainter(this).drawImage(0, 0, image);
}

TStatusForm::TStatusForm(ReceiverHealth& health, PanelEngine& engine, std::string settings_path)
    : health_(health), engine_(engine), settings_path_(std::move(settings_path)) {
  setObjectName(QStringLiteral("StatusForm"));
  setWindowTitle(QStringLiteral("Receiver Status"));
  setAccessibleName(QStringLiteral("Receiver Status"));
  auto* grid = new QGridLayout(this);
  grid->addWidget(BuildSatellites(), 0, 0, 1, 2);
  grid->addWidget(BuildFix(), 1, 0);
  grid->addWidget(BuildTimeToFix(), 1, 1);
  grid->addWidget(BuildAccuracy(), 2, 0);
  grid->addWidget(BuildTime(), 2, 1);
  hold_ = new QPushButton(QStringLiteral("&Hold"), this);
  hold_->setObjectName(QStringLiteral("Hold"));
  hold_->setCheckable(true);
  hold_->setAccessibleName(QStringLiteral("Hold the figures"));
  grid->addWidget(hold_, 3, 1, Qt::AlignRight);
  connect(hold_, &QPushButton::toggled, this, [this](bool held) {
    if (!held) Refresh();
  });
  refresh_ = new QTimer(this);
  refresh_->setObjectName(QStringLiteral("StatusRefresh"));
  refresh_->setInterval(kSearchingRefreshMs);
  connect(refresh_, &QTimer::timeout, this, [this] { Refresh(); });
  resize(640, 640);
  RestoreGeometry();
  Refresh();
}

TStatusForm::~TStatusForm() = default;

QLabel* TStatusForm::AddFigure(QWidget* box, const QString& name) {
  auto* value = new QLabel(QStringLiteral("-"), box);
  value->setAccessibleName(name);
  // A figure changes each second: it must not lay the window out again, nor repaint the
  // group box behind it, so it keeps its width whatever its text and paints its own
  // background. (Selectable text would put a text document behind each label.)
  value->setMinimumWidth(value->fontMetrics().horizontalAdvance(QStringLiteral("0")) * 24);
  value->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  value->setAutoFillBackground(true);
  static_cast<QFormLayout*>(box->layout())->addRow(name + QLatin1Char(':'), value);
  figures_by_name_[name] = value;
  return value;
}

QWidget* TStatusForm::BuildSatellites() {
  auto* box = new QGroupBox(QStringLiteral("Satellites in view"), this);
  auto* column = new QVBoxLayout(box);
  chart_ = new StatusPicture(
      [this](QPainter& p, QSize size, double scale) {
        DrawSignalChart(p, size, state_.satellites, scale);
      },
      QSize(400, 170), box);
  chart_->setObjectName(QStringLiteral("SignalChart"));
  chart_->setAccessibleName(QStringLiteral("Signal strength per satellite, dB-Hz"));
  column->addWidget(chart_);
  auto* form = new QWidget(box);
  form->setLayout(new QFormLayout);
  AddFigure(form, QStringLiteral("Used/in view"));
  column->addWidget(form);
  return box;
}

QWidget* TStatusForm::BuildFix() {
  auto* box = new QGroupBox(QStringLiteral("Fix"), this);
  box->setLayout(new QFormLayout);
  for (const char* name :
       {"Fix", "Satellites used", "PDOP", "HDOP", "VDOP", "SBAS", "DGPS", "Age of fix"})
    AddFigure(box, QString::fromLatin1(name));
  return box;
}

QWidget* TStatusForm::BuildTimeToFix() {
  auto* box = new QGroupBox(QStringLiteral("Time to first fix"), this);
  auto* form = new QFormLayout(box);
  AddFigure(box, QStringLiteral("Time to first fix"));
  auto* buttons = new QHBoxLayout;
  for (const auto& [label, kind] :
       {std::pair{"&Cold", ubx::RestartKind::kCold}, std::pair{"&Warm", ubx::RestartKind::kWarm},
        std::pair{"H&ot", ubx::RestartKind::kHot}}) {
    auto* button = new QPushButton(QString::fromLatin1(label), box);
    const QString word = QString::fromLatin1(label).remove(QLatin1Char('&'));
    button->setObjectName(word + QStringLiteral("Restart"));
    button->setAccessibleName(word + QStringLiteral(" restart"));
    connect(button, &QPushButton::clicked, this, [this, k = kind] { Restart(k); });
    buttons->addWidget(button);
  }
  form->addRow(buttons);
  return box;
}

QWidget* TStatusForm::BuildAccuracy() {
  auto* box = new QGroupBox(QStringLiteral("Accuracy"), this);
  auto* column = new QVBoxLayout(box);
  scatter_ = new StatusPicture(
      [this](QPainter& p, QSize size, double scale) { DrawScatter(p, size, figures_, scale); },
      QSize(220, 220), box);
  scatter_->setObjectName(QStringLiteral("Scatter"));
  scatter_->setAccessibleName(
      QStringLiteral("Positions east and north of the reference, CEP50 blue, CEP95 red"));
  column->addWidget(scatter_);
  auto* form = new QWidget(box);
  auto* rows = new QFormLayout(form);
  window_minutes_ = new QComboBox(form);
  window_minutes_->setObjectName(QStringLiteral("AccuracyWindow"));
  window_minutes_->setAccessibleName(QStringLiteral("Positions of the last"));
  for (const int minutes : kWindowMinutes)
    window_minutes_->addItem(QStringLiteral("%1 min").arg(minutes), minutes);
  window_minutes_->setCurrentIndex(kDefaultWindowIndex);
  health_.Accuracy().SetWindow(Millis{kWindowMinutes[kDefaultWindowIndex]} * 60000);
  connect(window_minutes_, &QComboBox::currentIndexChanged, this, [this](int) {
    health_.Accuracy().SetWindow(Millis{window_minutes_->currentData().toInt()} * 60000);
    ShowFigures();
  });
  rows->addRow(QStringLiteral("Last:"), window_minutes_);
  reference_ = new QLineEdit(form);
  reference_->setObjectName(QStringLiteral("Reference"));
  reference_->setPlaceholderText(QStringLiteral("running mean, or lat, lon"));
  reference_->setAccessibleName(QStringLiteral("Reference latitude, longitude"));
  connect(reference_, &QLineEdit::editingFinished, this, [this] { TakeReference(); });
  rows->addRow(QStringLiteral("Reference:"), reference_);
  for (const char* name : {"CEP50", "CEP95", "2DRMS", "Samples", "Duration"})
    AddFigure(form, QString::fromLatin1(name));
  auto* reset = new QPushButton(QStringLiteral("&Reset"), form);
  reset->setObjectName(QStringLiteral("AccuracyReset"));
  reset->setAccessibleName(QStringLiteral("Reset the accuracy samples"));
  connect(reset, &QPushButton::clicked, this, [this] {
    health_.Accuracy().Clear();
    ShowFigures();
  });
  rows->addRow(reset);
  column->addWidget(form);
  return box;
}

QWidget* TStatusForm::BuildTime() {
  auto* box = new QGroupBox(QStringLiteral("Time"), this);
  box->setLayout(new QFormLayout);
  AddFigure(box, QStringLiteral("Receiver UTC"));
  AddFigure(box, QStringLiteral("System clock offset"));
  auto* note = new QLabel(
      QStringLiteral("System clock minus the receiver's time, taken as each sentence arrives. "
                     "Without a PPS line this is good to about a tenth of a second: the "
                     "receiver prints a sentence some time after its second begins."),
      box);
  note->setWordWrap(true);
  static_cast<QFormLayout*>(box->layout())->addRow(note);
  return box;
}

void TStatusForm::SetFigure(const QString& name, const QString& text) {
  QLabel* label = figures_by_name_.at(name);
  if (label->text() != text) label->setText(text);
}

bool TStatusForm::Held() const { return hold_->isChecked(); }

QString TStatusForm::Figure(const QString& accessible_name) const {
  const auto it = figures_by_name_.find(accessible_name);
  return it == figures_by_name_.end() ? QString() : it->second->text();
}

void TStatusForm::Refresh() {
  if (Held()) return;
  HealthState next = health_.State();
  const bool sky_changed = next.satellites != state_.satellites;
  state_ = std::move(next);
  ShowState();
  if (sky_changed) {
    chart_->setAccessibleDescription(ChartDescription(state_));
    chart_->update();
  }
  if (figures_at_ < 0 || health_.Now() - figures_at_ >= kFiguresEvery) ShowFigures();
  const int interval = state_.ttff ? kRefreshMs : kSearchingRefreshMs;
  if (refresh_->interval() != interval) refresh_->setInterval(interval);
}

void TStatusForm::ShowState() {
  const HealthState& s = state_;
  SetFigure(QStringLiteral("Used/in view"), CountsText(s));
  SetFigure(QStringLiteral("Fix"), FixText(s));
  SetFigure(QStringLiteral("Satellites used"), QString::number(s.used_count));
  SetFigure(QStringLiteral("PDOP"), Dop(s.pdop));
  SetFigure(QStringLiteral("HDOP"), Dop(s.hdop));
  SetFigure(QStringLiteral("VDOP"), Dop(s.vdop));
  // Only the UBX status says whether SBAS is on; NMEA alone does not tell.
  SetFigure(QStringLiteral("SBAS"), !s.ubx_status ? QStringLiteral("not reported")
                                    : s.sbas_on   ? QStringLiteral("on")
                                                  : QStringLiteral("off"));
  SetFigure(QStringLiteral("DGPS"),
            s.dgps_applied ? QStringLiteral("corrections applied") : QStringLiteral("none"));
  SetFigure(QStringLiteral("Age of fix"),
            s.fix_age ? QStringLiteral("%1 s").arg(*s.fix_age / 1000) : QStringLiteral("-"));
  SetFigure(QStringLiteral("Time to first fix"),
            s.ttff ? Seconds(*s.ttff) : Seconds(s.ttff_elapsed) + QStringLiteral(", searching"));
  SetFigure(QStringLiteral("Receiver UTC"),
            s.utc_ms ? QDateTime::fromMSecsSinceEpoch(*s.utc_ms, Qt::UTC)
                           .toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz 'UTC'"))
                     : QStringLiteral("-"));
  SetFigure(QStringLiteral("System clock offset"),
            s.clock_offset_ms
                ? QStringLiteral("%1%2 s")
                      .arg(*s.clock_offset_ms >= 0 ? QStringLiteral("+") : QString())
                      .arg(static_cast<double>(*s.clock_offset_ms) / 1000.0, 0, 'f', 3)
                : QStringLiteral("-"));
}

void TStatusForm::ShowFigures() {
  if (Held()) return;
  figures_at_ = health_.Now();
  figures_ = health_.Accuracy().Figures(figures_at_);
  const bool any = figures_.count > 0;
  SetFigure(QStringLiteral("CEP50"), any ? Metres(figures_.cep50) : QStringLiteral("-"));
  SetFigure(QStringLiteral("CEP95"), any ? Metres(figures_.cep95) : QStringLiteral("-"));
  SetFigure(QStringLiteral("2DRMS"), any ? Metres(figures_.drms2) : QStringLiteral("-"));
  SetFigure(QStringLiteral("Samples"), QString::number(figures_.count));
  SetFigure(QStringLiteral("Duration"), Seconds(figures_.duration));
  scatter_->update();
}

void TStatusForm::TakeReference() {
  const QString text = reference_->text().trimmed();
  const std::optional<GeoPoint> typed = ReadReference(text);
  // Anything that is not a latitude and longitude goes back to the running mean.
  health_.Accuracy().SetReference(typed);
  if (!text.isEmpty() && !typed) reference_->clear();
  ShowFigures();
}

void TStatusForm::Restart(ubx::RestartKind kind) {
  if (engine_.RestartReceiver(kind)) health_.RestartTimeToFix();
  Refresh();
}

void TStatusForm::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  Refresh();
  refresh_->start();
}

void TStatusForm::hideEvent(QHideEvent* event) {
  refresh_->stop();
  SaveGeometry();
  QWidget::hideEvent(event);
}

void TStatusForm::RestoreGeometry() {
  const TSettings file(settings_path_);
  const int width = file.ReadInteger(kSection, "Width", 0);
  const int height = file.ReadInteger(kSection, "Height", 0);
  if (width <= 0 || height <= 0) return;
  setGeometry(file.ReadInteger(kSection, "Left", 0), file.ReadInteger(kSection, "Top", 0), width,
              height);
}

void TStatusForm::SaveGeometry() {
  try {
    TSettings file(settings_path_);
    const QRect g = geometry();
    file.WriteInteger(kSection, "Left", g.x());
    file.WriteInteger(kSection, "Top", g.y());
    file.WriteInteger(kSection, "Width", g.width());
    file.WriteInteger(kSection, "Height", g.height());
  } catch (const SettingsError&) {
    // A settings file that refuses the write keeps the last place; nothing else is lost.
  }
}

}  // namespace ostrel
