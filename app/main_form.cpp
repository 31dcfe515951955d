#include "app/main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateTime>
#include <QImage>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QSignalBlocker>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstdio>
#include <exception>
#include <initializer_list>

#include "app/help_form.h"
#include "app/panel_icon.h"
#include "app/panel_tray.h"
#include "app/record_track_items.h"
#include "app/share_dialog.h"
#include "app/status_form.h"
#include "app/tray_status.h"
#include "app/window_access.h"
#include "engine/panel_engine.h"
#include "engine/receiver_health.h"
#include "engine/settings.h"
#include "engine/startup_rules.h"
#include "gps/data_stream.h"
#include "link/usb_link.h"

namespace ostrel {

namespace {

constexpr int kStartupInterval = 1000;
// File > Exit gives the read thread this long to see StopReading before the loop ends.
constexpr Millis kExitWait = 2000;
// How often the pause after Exit looks at the clock.
constexpr int kExitPollInterval = 50;
// What a window manager's frame takes around the window, at most, in the screen's
// logical pixels.
constexpr QSize kFrameRoom(12, 40);

QString Latin1(std::string_view text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

// The fix texts and cells mostly come again as they are on the screen; compared as Latin-1
// they need no string, no variant and no layout of their own.
bool Holds(const QString& shown, std::string_view text) {
  return shown == QLatin1String(text.data(), static_cast<qsizetype>(text.size()));
}

void SetLabel(QLabel* label, std::string_view text) {
  if (!Holds(label->text(), text)) label->setText(Latin1(text));
}

// The Data Stream memo as DeferredMemo sees it.
class MemoAdapter final : public MemoWidget {
 public:
  MemoAdapter(const QWidget& window, const MainFormUi& ui) : window_(window), ui_(ui) {}
  bool HoldBack() const override {
    return window_.isVisible() && ui_.PageControl->currentWidget() != ui_.DataStreamPage;
  }
  int32_t LineCount() const override {
    return static_cast<int32_t>(ui_.Output_Console->document()->blockCount());
  }
  bool IsEmpty() const override { return ui_.Output_Console->document()->isEmpty(); }
  void Clear() override { ui_.Output_Console->clear(); }
  void Append(std::string_view lines) override {
    ui_.Output_Console->appendPlainText(Latin1(lines));
  }

 private:
  const QWidget& window_;
  const MainFormUi& ui_;
};

}  // namespace

// The tray's state follows the stream also while the displays are off: an observer
// keeps the engine parsing for it.
class TMainForm::TrayWatch final : public StreamObserver {
 public:
  explicit TrayWatch(TMainForm& window) : window_(window) {}
  void OnForwarded(const std::uint8_t* /*bytes*/, int32_t /*count*/) override {}
  void OnFix(const TGPS& /*gps*/) override { Follow(); }
  void OnStatus(std::string_view /*status*/) override { Follow(); }

 private:
  void Follow() {
    window_.ShowTrayState();
    window_.FollowPresenceSoon();
  }
  TMainForm& window_;
};

// The adapters live as long as the window; kept out of the header.
struct TMainForm::Adapters {
  std::unique_ptr<MemoAdapter> memo_widget;
  std::unique_ptr<DeferredMemo> memo;
  std::unique_ptr<TrayWatch> tray_watch;
};

TMainForm::TMainForm(PanelEnvironment env, bool unattended, QWidget* parent)
    : QMainWindow(parent), clock_(env.clock), adapters_(new Adapters), unattended_(unattended) {
  setObjectName(QStringLiteral("MainForm"));
  ui_.Setup(this);
  SetUpAccess(ui_);
  setWindowIcon(PanelIcon());
  SetClientSize(kClientWidth, kClientHeight);
  CreateTimers();
  help_form_ = new THelpForm(this);
  record_items_ = new RecordTrackItems(this);
  record_items_->AddTo(ui_.FileMenu, ui_.Exit, "RecordTrack");
  adapters_->memo_widget = std::make_unique<MemoAdapter>(*this, ui_);
  adapters_->memo = std::make_unique<DeferredMemo>(*adapters_->memo_widget);
  health_ = std::make_unique<ReceiverHealth>(
      clock_, [] { return std::int64_t{QDateTime::currentMSecsSinceEpoch()}; });
  engine_ = std::make_unique<PanelEngine>(std::move(env), static_cast<PanelView&>(*this));
  engine_->AddObserver(health_.get());
  adapters_->tray_watch = std::make_unique<TrayWatch>(*this);
  engine_->AddObserver(adapters_->tray_watch.get());

  // First: an error box of the start-up still leaves the panel in the tray.
  CreateTrayIcon();
  CreateStatusActions();
  // The grid's title row and the sky plot's bitmap, before any fix is drawn.
  constexpr const char* kHeader[] = {"ID", "Elevation", "Azimuth", "SNR"};
  for (int c = 0; c < kGridColumns; ++c) SetSatCell(0, c, kHeader[c]);
  sat_bitmap_ = std::make_unique<QImage>(NewSatBitmap(ui_.SatLoc->devicePixelRatioF()));
  started_ = engine_->Start();
  AddShareButton(*ui_.DataPortGroup, engine_->Share());
  ShowSettings();
  // The layout last, and only after a whole start-up: the compact window turns the
  // displays off.
  if (started_) ApplyDebugPanel();
  // After the boxes were filled, so that filling them runs no operation.
  ConnectControls();
  // A session manager asks each window to close; that close ends the panel.
  connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { session_ending_ = true; });
  if (!exiting_) Startup->start();
}

TMainForm::~TMainForm() {
  Startup->stop();
  exit_pause_->stop();
  status_form_.reset();
  engine_.reset();
  if (tray_) tray_->Hide();
}

void TMainForm::CreateTimers() {
  Startup = new QTimer(this);
  Startup->setObjectName(QStringLiteral("Startup"));
  Startup->setInterval(kStartupInterval);
  exit_pause_ = new QTimer(this);
  exit_pause_->setObjectName(QStringLiteral("ExitPause"));
  exit_pause_->setInterval(kExitPollInterval);
  connect(exit_pause_, &QTimer::timeout, this, [this] { ExitPauseTimer(); });
  connect(Startup, &QTimer::timeout, this, [this] { Guarded([this] { StartupTimer(); }); });
}

// Every control to the one operation it runs, each guarded as a message handler is.
void TMainForm::ConnectControls() {
  PanelEngine* e = engine_.get();
  auto click = [this](QAbstractButton* button, auto operation) {
    connect(button, &QAbstractButton::clicked, this,
            [this, operation] { Guarded([&] { operation(); }); });
  };
  click(ui_.GPSButtonRead, [e] { e->UpdateStatus(); });
  click(ui_.ResetGPS, [e] { e->ResetGPS(); });
  click(ui_.B9600, [e] { e->Baud9600(); });
  click(ui_.B19200, [e] { e->Baud19200(); });
  click(ui_.QueryVersion, [e] { e->QueryVersion(); });
  click(ui_.EraseEEPROM, [e] { e->EraseEEPROM(); });
  click(ui_.ReadEEPROM, [e] { e->ReadEEPROM(); });
  click(ui_.WriteEEPROM, [this, e] { e->WriteEEPROM(ui_.EEPROMSerial->text().toStdString()); });
  click(ui_.HideIt, [this] { HideToTray(); });
  click(ui_.Help, [this] { help_form_->ShowOrRaise(); });
  connect(ui_.WAASMode, &QCheckBox::toggled, this,
          [this, e](bool on) { Guarded([&] { e->SetWAAS(on); }); });
  connect(ui_.ProcessGPS, &QCheckBox::toggled, this,
          [this, e](bool on) { Guarded([&] { e->SetProcessGPS(on); }); });
  connect(ui_.Mask_Angle, &QSpinBox::valueChanged, this, [this, e](int degrees) {
    if (e->SetMaskAngle(degrees)) SatLocDraw();
  });
  // The check mark is the command's own business: undo Qt's toggle before the command.
  connect(ui_.Demonstration, &QAction::triggered, this, [this, e](bool checked) {
    ui_.Demonstration->setChecked(!checked);
    Guarded([&] { e->ToggleDemonstration(); });
  });
  record_items_->asked = [this, e](bool on) { Guarded([&] { e->SetRecordTrack(on); }); };
  connect(ui_.Exit, &QAction::triggered, this, [this] { Guarded([this] { ExitClick(); }); });
  ui_.SatLoc->OnPaint = [this](QPainter& painter) { SatLocPaint(painter); };
  connect(ui_.PageControl, &QTabWidget::currentChanged, this, [this] {
    if (!adapters_->memo_widget->HoldBack()) adapters_->memo->Flush();
  });
}

template <typename F>
void TMainForm::Guarded(F&& handler) {
  // After Exit nothing the user or an application does acts any more.
  if (exiting_) return;
  try {
    handler();
  } catch (const std::exception& e) {
    ShowMessage("Error", e.what());
  }
}

void TMainForm::SetClientSize(int width, int height) {
  ui_.Client->setFixedSize(width, height);
  // The client area excludes the menu bar: the sizes have always been the client's.
  QSize size(width, height + menuBar()->sizeHint().height());
  const QScreen* on = screen();
  if (on == nullptr) {
    setFixedSize(size);
    return;
  }
  // A screen too small for the window (a laptop's 1366 x 768 at 125 %) gets it cut to
  // the screen, frame included, with scroll bars where it was cut; it stays on screen.
  const QRect room =
      on->availableGeometry().adjusted(0, 0, -kFrameRoom.width(), -kFrameRoom.height());
  const bool too_wide = size.width() > room.width();
  const bool too_high = size.height() > room.height();
  const int bar = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
  if (too_high) size.rwidth() += bar;
  if (too_wide) size.rheight() += bar;
  size = size.boundedTo(room.size());
  setFixedSize(size);
  move(std::clamp(x(), room.left(), std::max(room.left(), room.right() + 1 - size.width())),
       std::clamp(y(), room.top(), std::max(room.top(), room.bottom() + 1 - size.height())));
}

void TMainForm::CreateTrayIcon() {
  // The title as its tip; minimising goes to HideToTray (changeEvent).
  tray_ = new PanelTray(*this);
  tray_tip_ = kPanelTitle;
  connect(tray_, &PanelTray::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
    Guarded([this, reason] { TrayIconMessage(reason); });
  });
  connect(tray_, &PanelTray::restoreRequested, this,
          [this] { Guarded([this] { RestoreFromTray(); }); });
  connect(tray_, &PanelTray::exitRequested, this, [this] { Guarded([this] { ExitClick(); }); });
  // A window the start could not hide (it was only minimised, and may still be on
  // screen) goes to a tray that came later as it would have at start.
  connect(tray_, &PanelTray::trayTookIcon, this, [this] {
    if (hide_pending_ && isVisible()) Guarded([this] { HideToTray(); });
  });
  tray_->WatchForStatusNotifierTray();
  record_items_->AddTo(tray_->Menu(), tray_->ExitAction(), "TrayRecordTrack");
}

void TMainForm::CreateStatusActions() {
  auto* from_file = new QAction(QStringLiteral("Receiver &Status"), this);
  from_file->setObjectName(QStringLiteral("ReceiverStatus"));
  ui_.FileMenu->insertAction(ui_.Exit, from_file);
  QMenu* tray_menu = tray_->Menu();
  auto* from_tray = new QAction(QStringLiteral("Receiver Status"), tray_menu);
  from_tray->setObjectName(QStringLiteral("TrayReceiverStatus"));
  tray_menu->insertAction(tray_menu->actions().value(1), from_tray);
  for (QAction* action : {from_file, from_tray})
    connect(action, &QAction::triggered, this, [this] { ShowStatusWindow(); });
}

void TMainForm::ShowStatusWindow() {
  if (!status_form_)
    status_form_ = std::make_unique<TStatusForm>(*health_, *engine_,
                                                 InFolder(engine_->Folder(), kSettingsFileName));
  status_form_->show();
  status_form_->raise();
  status_form_->activateWindow();
}

// ---------------------------------------------------------------------------------------
// Start-up and lifecycle

void TMainForm::ShowSettings() {
  const PanelSettings& s = engine_->Settings();
  for (const std::string& item : engine_->DgpsItems()) ui_.DGPS_Port->addItem(Latin1(item));
  ui_.DGPS_Port->setCurrentIndex(engine_->DgpsIndex());
  for (const char* baud : kBaudItems) ui_.GPS_Baud->addItem(QString::fromLatin1(baud));
  ui_.GPS_Baud->setCurrentText(Latin1(engine_->Baud()));
  if (engine_->Baud().empty()) ui_.GPS_Baud->setCurrentIndex(-1);
  ui_.WAASMode->setChecked(s.waas);
  ui_.ProcessGPS->setChecked(engine_->DisplaysOn());
}

void TMainForm::ApplyDebugPanel() {
  // [Debug] Panel: 0 the compact window without the Data Stream page, 1 that page
  // without its maintenance buttons, anything else both. [GPS] Demo shows the menu item.
  const PanelSettings& s = engine_->Settings();
  if (s.debug_panel == 0) {
    ui_.PageControl->setTabVisible(ui_.PageControl->indexOf(ui_.DataStreamPage), false);
    SetClientSize(kCompactWidth, kCompactHeight);
    ui_.PageControl->resize(kCompactWidth - 20, kCompactHeight - 20);
    engine_->SetProcessGPS(false);
  }
  if (!s.demo) ui_.Demonstration->setVisible(false);
  if (s.debug_panel == 1) ui_.DebugPanel->hide();
  ui_.GPS_Baud->hide();
  ui_.GPS_Baud_Label->hide();
  ui_.DGPS_Port->hide();
  ui_.DGPS_Port_Label->hide();
}

void TMainForm::StartupTimer() {
  // Stopped first: a refused settings write must not bring the box back every second.
  Startup->stop();
  HideToTray();
}

void TMainForm::HideToTray() {
  if (hiding_) return;
  hiding_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{hiding_};
  // Without a tray a hidden window could not be reached again; a tray that comes
  // later takes the window then.
  hide_pending_ = !(tray_ && tray_->Available());
  if (hide_pending_)
    showMinimized();
  else
    hide();
  FollowPresence();
}

void TMainForm::FollowPresence() {
  const QWindow* window = windowHandle();
  const WindowSight sight{isVisible(), isMinimized(), window && window->isExposed()};
  switch (presence_.Update(sight)) {
    case ProcessingChange::kSwitchOff:
      engine_->WindowHidden();
      break;
    case ProcessingChange::kSwitchOn:
      engine_->WindowRestored();
      break;
    case ProcessingChange::kNone:
      break;
  }
}

void TMainForm::FollowPresenceSoon() {
  if (presence_queued_) return;
  presence_queued_ = true;
  QTimer::singleShot(0, this, [this] {
    presence_queued_ = false;
    Guarded([this] { FollowPresence(); });
  });
}

void TMainForm::TrayIconMessage(QSystemTrayIcon::ActivationReason reason) {
  // A StatusNotifier tray delivers a single activation (Trigger), never a double-click.
  if (reason != QSystemTrayIcon::DoubleClick && reason != QSystemTrayIcon::Trigger) return;
  RestoreFromTray();
}

void TMainForm::RestoreFromTray() {
  // Asked for before the start's hide came: the window stays.
  Startup->stop();
  hide_pending_ = false;
  if (!isVisible()) show();
  setWindowState(windowState() & ~Qt::WindowMinimized);
  raise();
  activateWindow();
  FocusFirstControl(ui_);
  FollowPresence();
}

void TMainForm::ShowWindow() {
  Guarded([this] { RestoreFromTray(); });
}

void TMainForm::ShowTrayState() {
  const TGPS* gps = engine_->Receiver();
  UsbLink* link = engine_->Link();
  const bool open = link && link->State().DeviceOpen.load();
  if (tray_) tray_->SetState(gps ? TrayStateOf(open, *gps) : TrayState::kNoModule);
}

QSystemTrayIcon* TMainForm::TrayIcon() const { return tray_ ? tray_->Icon() : nullptr; }

void TMainForm::ExitClick() {
  if (exiting_) return;
  exiting_ = true;
  engine_->Stop();
  // The window and the icon go at once, and the pause follows out of sight: nothing
  // talks to the module meanwhile, and Guarded lets no handler act.
  Startup->stop();
  help_form_->hide();
  hide();
  if (tray_) tray_->Hide();
  exit_started_ = clock_.Now();
  exit_pause_->start();
}

void TMainForm::ExitPauseTimer() {
  if (clock_.Now() - exit_started_ < kExitWait) return;
  exit_pause_->stop();
  QCoreApplication::quit();
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (DecideClose(exiting_, session_ending_) == CloseOutcome::kHide) {
    // Other programs may be using the GPS Data port, so the window goes to the tray
    // like Hide; File > Exit ends the panel.
    event->ignore();
    Guarded([this] { HideToTray(); });
    return;
  }
  event->accept();
  // Any other way of closing (the session ending) goes straight to the end.
  QTimer::singleShot(0, qApp, &QCoreApplication::quit);
}

void TMainForm::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || hiding_) return;
  const auto old = static_cast<QWindowStateChangeEvent*>(event)->oldState();
  if (isMinimized() && (old & Qt::WindowMinimized) == 0) {
    Guarded([this] { HideToTray(); });
  } else {
    // Restored from the task bar where there is no tray: the displays come back too.
    Guarded([this] { FollowPresence(); });
  }
}

void TMainForm::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  FollowPresenceSoon();
}

void TMainForm::hideEvent(QHideEvent* event) {
  QMainWindow::hideEvent(event);
  FollowPresenceSoon();
}

// ---------------------------------------------------------------------------------------
// What the engine reports

void TMainForm::ShowStatus(std::string_view text) { SetLabel(ui_.Connection_Label, text); }

void TMainForm::ShowTrayTip(const std::string& tip) {
  tray_tip_ = tip;
  if (tray_) tray_->SetTip(Latin1(tray_tip_));
}

void TMainForm::ShowPort(const std::string& name, const std::string& link_path,
                         const std::string& note) {
  ui_.GPS_Virtual_Port->setText(Latin1(name));
  ui_.GPS_Virtual_Port->setToolTip(
      QString::fromStdString(note.empty() ? link_path : link_path + "\n" + note));
}

void TMainForm::ShowMessageStatus(std::string_view text) {
  ui_.MessageStatus->setText(Latin1(text));
}

void TMainForm::ShowSerial(std::string_view text) { ui_.EEPROMSerial->setText(Latin1(text)); }

void TMainForm::ShowFirmwareVersion(std::string_view text) {
  ui_.FirmwareVersion->setText(Latin1(text));
}

void TMainForm::ShowFix(const TGPS& gps) {
  ::ostrel::UpdateFixDisplay(gps, static_cast<FixView&>(*this));
  SatLocDraw();
}

void TMainForm::ShowFixCurrent(bool current) {
  // The disabled look greys the values; the texts stay as they are.
  for (QWidget* w :
       std::initializer_list<QWidget*>{ui_.FixMode, ui_.Latitude, ui_.Longitude, ui_.Speed,
                                       ui_.Elevation, ui_.SatGrid, ui_.SatLoc})
    w->setEnabled(current);
}

void TMainForm::SetFixTexts(const std::string& mode, const std::string& latitude,
                            const std::string& longitude, const std::string& elevation,
                            const std::string& speed) {
  SetLabel(ui_.FixMode, mode);
  SetLabel(ui_.Latitude, latitude);
  SetLabel(ui_.Longitude, longitude);
  SetLabel(ui_.Elevation, elevation);
  SetLabel(ui_.Speed, speed);
  ui_.Elevation->setAccessibleDescription(QString::fromStdString(SpokenAltitude(elevation)));
  ui_.Speed->setAccessibleDescription(QString::fromStdString(SpokenSpeed(speed)));
}

void TMainForm::SetSatCell(int row, int col, std::string_view text) {
  ui_.SatGrid->SetCell(row, col, text);
}

void TMainForm::ShowChunkSize(std::string_view text) { SetLabel(ui_.ChunkSize, text); }

int32_t TMainForm::MemoLineCount() const { return adapters_->memo->LineCount(); }

void TMainForm::ClearMemo() { adapters_->memo->Clear(); }

void TMainForm::AppendMemo(std::string_view text) { adapters_->memo->Append(text); }

void TMainForm::ShowProcessGPS(bool on) {
  const QSignalBlocker quiet(ui_.ProcessGPS);
  ui_.ProcessGPS->setChecked(on);
}

void TMainForm::ShowDemonstration(bool on) { ui_.Demonstration->setChecked(on); }

void TMainForm::ShowRecordTrack(bool on) { record_items_->Show(on); }

void TMainForm::SatLocDraw() {
  const TGPS* gps = engine_->Receiver();
  if (!sat_bitmap_ || gps == nullptr) return;
  // Drawn at the screen's pixel ratio, also after the window moved to another screen.
  const qreal ratio = ui_.SatLoc->devicePixelRatioF();
  if (sat_bitmap_->devicePixelRatio() != ratio) *sat_bitmap_ = NewSatBitmap(ratio);
  if (RedrawSkyPlotIfChanged(*sat_bitmap_, std::to_string(engine_->MaskAngle()), *gps,
                             sky_shown_)) {
    ui_.SatLoc->update();
    ui_.SatLoc->setAccessibleDescription(QString::fromStdString(SkyPlotDescription(*gps)));
  }
}

void TMainForm::SatLocPaint(QPainter& painter) {
  if (!sat_bitmap_) return;
  // An old picture shows faded into the window's colour, like the greyed labels: into
  // that colour itself, not into whatever the screen's buffer held there (the last
  // picture on X11, nothing on Wayland), as the box paints all of itself.
  if (!ui_.SatLoc->isEnabled()) {
    painter.fillRect(ui_.SatLoc->rect(), ui_.SatLoc->palette().window());
    painter.setOpacity(0.35);
  }
  painter.drawImage(0, 0, *sat_bitmap_);
}

const QImage& TMainForm::SatBitmap() const {
  static const QImage kNone;
  return sat_bitmap_ ? *sat_bitmap_ : kNone;
}

void TMainForm::ShowNotice(const std::string& text) {
  // The window is mostly hidden in the tray: a box would wait there for nobody.
  if (tray_) tray_->Notify(QString::fromLatin1(kPanelTitle), QString::fromStdString(text));
}

void TMainForm::ShowMessage(const std::string& caption, const std::string& text) {
  // Also where the window cannot be seen (started from a script, or offscreen).
  std::fprintf(stderr, "ostrel-panel: %s: %s\n", caption.c_str(), text.c_str());
  std::fflush(stderr);
  if (unattended_) return;
  QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption),
                  QString::fromStdString(text), QMessageBox::Ok, this);
  box.setObjectName(QStringLiteral("MessageBox"));
  box.exec();
}

bool TMainForm::ConfirmErase() {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(kEraseCaption),
                  QString::fromLatin1(kEraseQuestion), QMessageBox::Yes | QMessageBox::No, this);
  box.setObjectName(QStringLiteral("MessageBox"));
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

std::optional<std::string> TMainForm::AskDemoFileName() {
  bool ok = false;
  const QString name = QInputDialog::getText(this, QString::fromLatin1(kDemoCaption),
                                             QString::fromLatin1(kDemoPrompt), QLineEdit::Normal,
                                             QString::fromLatin1(kDemoDefaultFile), &ok);
  if (!ok) return std::nullopt;
  return name.toStdString();
}

int TMainForm::AskDemoSpeed() { return AskReplaySpeed(this); }

void TMainForm::EndRequested() {
  failed_ = true;
  ExitClick();
}

}  // namespace ostrel
