#include "app/main_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QImage>
#include <QInputDialog>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <initializer_list>
#include <new>
#include <vector>

#include "app/help_form.h"
#include "app/panel_environment.h"
#include "app/panel_icon.h"
#include "app/panel_tray.h"
#include "app/settings.h"
#include "app/startup_rules.h"
#include "app/tray_status.h"
#include "app/window_access.h"
#include "dataport/create_virtual_port.h"
#include "dataport/external_commands.h"
#include "gps/sky_plot_draw.h"
#include "link/read_thread.h"
#include "link/usb_link.h"
#include "platform/clock.h"
#include "platform/serial_ports.h"
#include "platform/usb_libusb.h"
#include "platform/vsport_qt.h"
#include "receive/logs.h"
#include "receive/receive_cycle.h"
#include "receiver/antaris.h"

namespace ostrel {

namespace {

constexpr const char* kMemoryError = "Memory Allocation error.";
constexpr int kStartupInterval = 1000;
constexpr int kReceiveInterval = 100;
constexpr int kVSPortReadInterval = 200;
// File > Exit gives the read thread this long to see StopReading before the loop ends.
constexpr Millis kExitWait = 2000;
// How often the pause after Exit looks at the clock.
constexpr int kExitPollInterval = 50;
// What a window manager's frame takes around the window, at most, in the screen's
// logical pixels.
constexpr QSize kFrameRoom(12, 40);
// Data shown longer ago than this is no longer current: the displays grey out.
constexpr Millis kStaleAfter = 3000;
// How long the window's end waits for the read thread before it gives up on it.
constexpr auto kJoinDeadline = std::chrono::milliseconds(3000);

// Help the user must see once, also when the panel was started from a menu.
void Tell(const std::string& text, const std::string& folder) {
  std::fputs(text.c_str(), stderr);
  ErrorLog(text, folder);
}

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

// VSPortRead as the external-command logic sees it.
class TimerAdapter final : public OneShotTimer {
 public:
  explicit TimerAdapter(QTimer& timer) : timer_(timer) {}
  void Enable() override {
    if (!timer_.isActive()) timer_.start();
  }
  void Disable() override { timer_.stop(); }
  bool IsActive() const override { return timer_.isActive(); }

 private:
  QTimer& timer_;
};

class MessageAdapter final : public MessageSink {
 public:
  explicit MessageAdapter(std::function<void(const std::string&, const std::string&)> show)
      : show_(std::move(show)) {}
  void ShowMessage(const std::string& caption, const std::string& text) override {
    show_(caption, text);
  }

 private:
  std::function<void(const std::string&, const std::string&)> show_;
};

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

// Carries the read thread's news of a completed line to the GUI thread as one posted
// event; more news before it has run adds nothing.
class ArrivalWaker final : public QObject, public ArrivalNotifier {
 public:
  explicit ArrivalWaker(TMainForm* form) : form_(form) {}
  void LineArrived() override {
    if (posted_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
          posted_.store(false);
          if (form_) form_->LineArrived();
        },
        Qt::QueuedConnection);
  }

 private:
  QPointer<TMainForm> form_;  // read on the GUI thread only
  std::atomic<bool> posted_{false};
};

}  // namespace

// The adapters live as long as the window; kept out of the header.
struct TMainForm::Adapters {
  std::unique_ptr<ArrivalWaker> arrival;
  std::unique_ptr<TimerAdapter> vsport_read;
  std::unique_ptr<MessageAdapter> messages;
  std::unique_ptr<SystemComPorts> ports;
  std::unique_ptr<MemoAdapter> memo_widget;
  std::unique_ptr<DeferredMemo> memo;
};

TMainForm::TMainForm(PanelEnvironment env, QWidget* parent)
    : QMainWindow(parent),
      env_(std::move(env)),
      clock_(env_.clock),
      adapters_(new Adapters),
      last_applied_(clock_.Now()) {
  setObjectName(QStringLiteral("MainForm"));
  ui_.Setup(this);
  SetUpAccess(ui_);
  setWindowIcon(PanelIcon());
  SetClientSize(kClientWidth, kClientHeight);

  CreateTimers();

  help_form_ = new THelpForm(this);
  adapters_->vsport_read = std::make_unique<TimerAdapter>(*VSPortRead);
  adapters_->memo_widget = std::make_unique<MemoAdapter>(*this, ui_);
  adapters_->memo = std::make_unique<DeferredMemo>(*adapters_->memo_widget);
  adapters_->messages = std::make_unique<MessageAdapter>(
      [this](const std::string& caption, const std::string& text) { ShowMessage(caption, text); });

  ConnectControls();

  // A session manager asks each window to close; that close ends the panel.
  connect(qApp, &QGuiApplication::commitDataRequest, this, [this] { session_ending_ = true; });

  FormCreate();
  if (!exiting_) Startup->start();
}

void TMainForm::CreateTimers() {
  Startup = new QTimer(this);
  Startup->setObjectName(QStringLiteral("Startup"));
  Startup->setInterval(kStartupInterval);
  GPS_Receiver = new QTimer(this);
  GPS_Receiver->setObjectName(QStringLiteral("GPS_Receiver"));
  GPS_Receiver->setInterval(kReceiveInterval);
  VSPortRead = new QTimer(this);
  VSPortRead->setObjectName(QStringLiteral("VSPortRead"));
  VSPortRead->setInterval(kVSPortReadInterval);
  exit_pause_ = new QTimer(this);
  exit_pause_->setObjectName(QStringLiteral("ExitPause"));
  exit_pause_->setInterval(kExitPollInterval);
  connect(exit_pause_, &QTimer::timeout, this, [this] { ExitPauseTimer(); });
  connect(Startup, &QTimer::timeout, this, [this] { Guarded([this] { StartupTimer(); }); });
  connect(GPS_Receiver, &QTimer::timeout, this, [this] { GPS_ReceiverTimer(); });
  connect(VSPortRead, &QTimer::timeout, this, [this] { Guarded([this] { VSPortReadTimer(); }); });
}

// Every control to its handler, each guarded as a message handler is.
void TMainForm::ConnectControls() {
  auto route = [this](auto* sender, auto signal, void (TMainForm::*handler)()) {
    connect(sender, signal, this,
            [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
  };
  route(ui_.WAASMode, &QCheckBox::toggled, &TMainForm::WAASModeClick);
  route(ui_.GPSButtonRead, &QPushButton::clicked, &TMainForm::GPSButtonReadClick);
  route(ui_.HideIt, &QPushButton::clicked, &TMainForm::HideItClick);
  route(ui_.Help, &QPushButton::clicked, &TMainForm::HelpClick);
  route(ui_.ResetGPS, &QPushButton::clicked, &TMainForm::ResetGPSClick);
  route(ui_.B9600, &QPushButton::clicked, &TMainForm::B9600Click);
  route(ui_.B19200, &QPushButton::clicked, &TMainForm::B19200Click);
  route(ui_.QueryVersion, &QPushButton::clicked, &TMainForm::QueryVersionClick);
  route(ui_.EraseEEPROM, &QPushButton::clicked, &TMainForm::EraseEEPROMClick);
  route(ui_.ReadEEPROM, &QPushButton::clicked, &TMainForm::ReadEEPROMClick);
  route(ui_.WriteEEPROM, &QPushButton::clicked, &TMainForm::WriteEEPROMClick);
  // The check mark is the command's own business: undo Qt's toggle before the handler.
  connect(ui_.Demonstration, &QAction::triggered, this, [this](bool checked) {
    ui_.Demonstration->setChecked(!checked);
    Guarded([this] { DemonstrationClick(); });
  });
  route(ui_.Exit, &QAction::triggered, &TMainForm::ExitClick);
  ui_.SatLoc->OnPaint = [this](QPainter& painter) { SatLocPaint(painter); };
  connect(ui_.PageControl, &QTabWidget::currentChanged, this, [this] {
    if (!adapters_->memo_widget->HoldBack()) adapters_->memo->Flush();
  });
}

TMainForm::~TMainForm() {
  FormDestroy();
  Startup->stop();
  GPS_Receiver->stop();
  VSPortRead->stop();
  exit_pause_->stop();
  if (link_) {
    link_->SetArrivalNotifier(nullptr);
    link_->StopAndAbort();
  }
  if (read_thread_ && !read_thread_->QuitAndJoin(kJoinDeadline)) {
    // A thread that will not end keeps what it reads from; the process ends soon anyway.
    (void)adapters_->arrival.release();
    (void)read_thread_.release();
    (void)link_.release();
    (void)driver_.release();
    (void)queue_.release();
  }
  read_thread_.reset();
  cycle_.reset();
}

template <typename F>
void TMainForm::Guarded(F&& handler) {
  // After Exit nothing the user or an application does acts any more.
  if (exiting_) return;
  try {
    handler();
  } catch (const std::exception& e) {
    ShowError(e.what());
  }
}

void TMainForm::SetClientSize(int width, int height) {
  ui_.Client->setFixedSize(width, height);
  // The client area excludes the menu bar, as the design's sizes do.
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

// ---------------------------------------------------------------------------------------
// Start-up and lifecycle

void TMainForm::FormCreate() {
  try {
    StartupSteps();
  } catch (const std::exception& e) {
    // The rest of the start-up is skipped; the window still opens.
    ShowError(e.what());
  }
}

// Each step needs what the steps before it made or read; the comment above a step says
// why it stands where it does. The design's step numbers are in brackets.
void TMainForm::StartupSteps() {
  // [1, 2] First: an error box of a later step still leaves the panel in the tray.
  CreateTrayIcon();
  // [3] Everything after reads the settings.
  OpenSettings();
  // [4, 5] The grid's title row and the sky plot's bitmap, before any fix is drawn.
  constexpr const char* kHeader[] = {"ID", "Elevation", "Azimuth", "SNR"};
  for (int c = 0; c < kGridColumns; ++c) SetSatCell(0, c, kHeader[c]);
  sat_bitmap_ = std::make_unique<QImage>(NewSatBitmap(ui_.SatLoc->devicePixelRatioF()));
  // [6, 7] The serial-port listing, which the GPS Data port's choice needs as well.
  FillDgpsList();
  // [8] The first write to the settings file: a file that refuses it ends the start-up
  // before a GPS Data port or a buffer exists.
  ReadGpsPort();
  // [9] The GPS Data port, before the command queue: external commands arrive there.
  Create_Virtual_Port();
  // [10] The receiver object, and the maintenance buttons, which frame their commands as
  // the last apply of the settings left it (step 11's click is the first apply).
  CreateReceiver();
  // [11] A change of the box runs WAASModeClick, hence GPSButtonSetClick, at once; with
  // no device open yet that only shows the status.
  ui_.WAASMode->setChecked(settings_->ReadBool(kGpsWAAS));
  // [12] The baud list, which step 15 sends.
  FillBaudList();
  // [13, 14] The command queue, the module's driver and the link, and the first open;
  // a failed open is silent, the receive cycle retries every tick.
  if (!CreateLink()) return;
  link_->OpenDevice();
  // [15] The settings sequence, now that the module may be open.
  GPSButtonSetClick();
  // [16, 17] The receive cycle and what it logs and shows, over the link of step 13.
  CreateReceiveCycle();
  // [18] What the window shows of the cycle's data: with the cycle there to show it.
  ui_.ProcessGPS->setChecked(settings_->ReadBool(kGpsProcessGPS));
  // [19] A setting of the cycle's, so after it.
  ReadPassBinaryData();
  // [20] After step 15 set the status and step 9 named the port.
  SetTrayTip(TrayTipText(ui_.Connection_Label->text().toStdString(), PortName()));
  // [21-24] The layout last: the compact window clears ProcessGPS, read in step 18.
  ApplyDebugPanel();
  // [25] Not when the port could not be had: the program is already on its way out.
  if (!exiting_) GPS_Receiver->start();
  // [26] Last: the read thread hands over to everything made above.
  StartReadThread();
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
  connect(tray_, &PanelTray::lateTrayTookIcon, this, [this] {
    if (hide_pending_ && isVisible()) Guarded([this] { HideToTray(); });
  });
  tray_->WatchForLateTray();
}

void TMainForm::OpenSettings() {
  settings_ = std::make_unique<TSettings>(InFolder(env_.folder, kSettingsFileName));
  applier_ = std::make_unique<SettingsApplier>(static_cast<ApplyView&>(*this), *settings_);
}

void TMainForm::FillDgpsList() {
  // Our own virtual ports are left out.
  port_dir_ = InFolder(env_.folder, settings_->ReadString(kPortsDirectory));
  adapters_->ports = std::make_unique<SystemComPorts>(
      port_dir_, [folder = env_.folder](const std::string& message) { ErrorLog(message, folder); });
  ComPortList ports;
  const int count = adapters_->ports->EnumerateComPorts(ports);
  std::vector<std::string> dgps_items{"None"};
  for (int i = 0; i < count; ++i) {
    const std::string& friendly = ports[static_cast<std::size_t>(i)].FriendlyName;
    if (friendly.find(kVirtualPortMarker) == std::string::npos)
      dgps_items.push_back(DgpsItem(friendly));
  }
  for (const std::string& item : dgps_items) ui_.DGPS_Port->addItem(Latin1(item));
  ui_.DGPS_Port->setCurrentIndex(FindItemNoCase(dgps_items, settings_->ReadString(kDGPSName)));
}

void TMainForm::ReadGpsPort() {
  gps_port_number_ = settings_->ReadInteger(kGpsCom);
  if (gps_port_number_ == 0) settings_->WriteInteger(kGpsCom, 0);
}

void TMainForm::CreateReceiver() {
  receiver_ = std::make_unique<TAntaris>();
  maintenance_ = std::make_unique<MaintenanceActions>(static_cast<MaintenanceView&>(*this),
                                                      applier_->Framing());
}

void TMainForm::FillBaudList() {
  std::vector<std::string> bauds(std::begin(kBaudItems), std::end(kBaudItems));
  for (const std::string& baud : bauds) ui_.GPS_Baud->addItem(QString::fromLatin1(baud));
  ui_.GPS_Baud->setCurrentIndex(FindItemNoCase(bauds, settings_->ReadString(kGpsBaud)));
}

bool TMainForm::CreateLink() {
  // The real module is named by its USB ids; without them, or without it plugged in,
  // the socket is used. The key goes back only when it was there: a first-start file
  // stays without it.
  std::vector<UsbId> usb_ids;
  if (const auto devices = settings_->ReadIfPresent(kUsbSection, kUsbDeviceKey)) {
    std::vector<std::string> rejected;
    usb_ids = ParseUsbIds(*devices, &rejected);
    for (const std::string& word : rejected) Tell(UsbRejectedText(word), env_.folder);
    settings_->WriteString(kUsbSection, kUsbDeviceKey, *devices);
  }
  queue_.reset(new (std::nothrow) CommandQueue);
  if (queue_) {
    driver_ = env_.make_driver(
        std::move(usb_ids),
        [file = std::filesystem::absolute(settings_->FileName()).lexically_normal(),
         folder = env_.folder](const UsbNotice& notice) {
          Tell(UsbNoticeText(notice, file.string()), folder);
        });
    link_ = std::make_unique<UsbLink>(*driver_, SystemClock(), *queue_);
    try {
      external_ = std::make_unique<ExternalCommands>(*vsport_, *adapters_->vsport_read,
                                                     *adapters_->messages, *queue_,
                                                     link_->State().BlockSize, clock_);
    } catch (const std::bad_alloc&) {
    }
  }
  if (queue_ && external_) return true;
  link_.reset();
  driver_.reset();
  queue_.reset();
  ShowError(kMemoryError);
  return false;
}

void TMainForm::CreateReceiveCycle() {
  const int32_t log_mode = settings_->ReadInteger(kLogStatus);
  positions_log_ = std::make_unique<PositionsLog>(log_mode, env_.folder);
  stream_view_ = std::make_unique<DataStreamView>(static_cast<StreamView&>(*this));
  cycle_ = std::make_unique<ReceiveCycle>(*link_, *queue_, *receiver_, *vsport_,
                                          static_cast<ReceiveView&>(*this), positions_log_.get());
  cycle_->PositionsLogMode = log_mode;
}

void TMainForm::ReadPassBinaryData() {
  // Written straight back, so the key is always in the file afterwards.
  const bool pass = settings_->ReadBool(kGpsPassBinaryData);
  cycle_->PassBinaryData = pass;
  settings_->WriteBool(kGpsPassBinaryData, pass);
}

void TMainForm::ApplyDebugPanel() {
  // [Debug] Panel: 0 the compact window without the Data Stream page, 1 that page
  // without its maintenance buttons, anything else both. [GPS] Demo shows the menu item.
  const int32_t panel = settings_->ReadInteger(kDebugPanel);
  if (panel == 0) {
    ui_.PageControl->setTabVisible(ui_.PageControl->indexOf(ui_.DataStreamPage), false);
    SetClientSize(kCompactWidth, kCompactHeight);
    ui_.PageControl->resize(kCompactWidth - 20, kCompactHeight - 20);
    ui_.ProcessGPS->setChecked(false);
  }
  if (!settings_->ReadBool(kGpsDemo)) ui_.Demonstration->setVisible(false);
  if (panel == 1) ui_.DebugPanel->hide();
  ui_.GPS_Baud->hide();
  ui_.GPS_Baud_Label->hide();
  ui_.DGPS_Port->hide();
  ui_.DGPS_Port_Label->hide();
}

void TMainForm::StartReadThread() {
  // Its end notice (ThreadDone) has nothing to do. Completed lines go on at once.
  adapters_->arrival = std::make_unique<ArrivalWaker>(this);
  link_->SetArrivalNotifier(adapters_->arrival.get());
  read_thread_ = std::make_unique<TReadThread>(*link_);
}

void TMainForm::Create_Virtual_Port() {
  vsport_ = new TVSPort(port_dir_, this);
  vsport_->setObjectName(QStringLiteral("VSPort"));
  connect(vsport_, &TVSPort::OnRxChar, this,
          [this](int count) { Guarded([this, count] { VSPortRxChar(count); }); });
  connect(vsport_, &TVSPort::SecondReader, this, [this] { SecondReader(); });
  VirtualPortSetup setup{
      *adapters_->ports, *vsport_, *adapters_->messages, [this] { ExitClick(); },
      [this](const std::string& name) {
        ui_.GPS_Virtual_Port->setText(Latin1(name));
        ui_.GPS_Virtual_Port->setToolTip(QString::fromStdString(vsport_->LinkPath()));
      }};
  ostrel::Create_Virtual_Port(gps_port_number_, setup);
}

void TMainForm::SecondReader() {
  std::string text = "Two programs are reading the GPS Data port " + PortName() +
                     " at once; each gets only part of the data and broken sentences. "
                     "Let one program read the port, or let gpsd read it and the "
                     "programs read gpsd.\n";
  ErrorLog(text, env_.folder);
  text.pop_back();
  ui_.GPS_Virtual_Port->setToolTip(QString::fromStdString(vsport_->LinkPath() + "\n" + text));
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
      if (ui_.ProcessGPS->isChecked() && settings_) settings_->WriteBool(kGpsProcessGPS, true);
      ui_.ProcessGPS->setChecked(false);
      break;
    case ProcessingChange::kSwitchOn:
      if (settings_) ui_.ProcessGPS->setChecked(settings_->ReadBool(kGpsProcessGPS));
      break;
    case ProcessingChange::kNone:
      break;
  }
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

void TMainForm::SetTrayTip(const std::string& text) {
  tray_tip_ = CutTrayTip(text);
  if (tray_) tray_->SetTip(Latin1(tray_tip_));
}

void TMainForm::StreamTaken(const std::uint8_t* stream, int32_t len) {
  // With processing off the displays' parser rests; the tray's state still follows.
  if (!ProcessGPS()) tray_gps_.ParseNMEA(reinterpret_cast<const char*>(stream), len);
}

void TMainForm::ShowTrayState() {
  const TGPS* gps = ProcessGPS() ? receiver_.get() : &tray_gps_;
  if (tray_) tray_->SetState(gps ? TrayStateOf(DeviceOpen(), *gps) : TrayState::kNoModule);
}

void TMainForm::ExitClick() {
  if (exiting_) return;
  exiting_ = true;
  // StopReading, then abort the pending read and close the handle.
  if (link_) link_->StopAndAbort();
  // The design sleeps here with the window up. The window and the icon go at once
  // instead, and the pause follows out of sight: nothing talks to the module meanwhile,
  // and Guarded lets no handler act.
  Startup->stop();
  GPS_Receiver->stop();
  VSPortRead->stop();
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

void TMainForm::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  try {
    if (ui_.ProcessGPS->isChecked() && settings_) settings_->WriteBool(kGpsProcessGPS, true);
    settings_.reset();
    sat_bitmap_.reset();
    if (tray_) tray_->Hide();
  } catch (...) {
    // The end goes quietly.
  }
}

// ---------------------------------------------------------------------------------------
// The receive cycle and what it shows

void TMainForm::GPS_ReceiverTimer() {
  if (!cycle_) return;
  in_tick_ = true;
  try {
    cycle_->Tick();
  } catch (const std::exception&) {
    // The tick traps its own errors; nothing else may leave into the event loop.
  }
  in_tick_ = false;
  // A window manager takes its time to minimise a window, or never does.
  Guarded([this] { FollowPresence(); });
  ShowTrayState();
  // The module lost, a demonstration stopped, processing off: what is shown grows old.
  if (displays_live_ && clock_.Now() - last_applied_ > kStaleAfter) SetDisplaysLive(false);
}

void TMainForm::SetDisplaysLive(bool live) {
  displays_live_ = live;
  // The disabled look greys the values; the texts stay as they are.
  for (QWidget* w :
       std::initializer_list<QWidget*>{ui_.FixMode, ui_.Latitude, ui_.Longitude, ui_.Speed,
                                       ui_.Elevation, ui_.SatGrid, ui_.SatLoc})
    w->setEnabled(live);
}

void TMainForm::LineArrived() {
  if (!cycle_ || in_tick_ || exiting_) return;
  in_tick_ = true;
  try {
    cycle_->OnLineArrived();
  } catch (const std::exception&) {
  }
  in_tick_ = false;
}

void TMainForm::GPSButtonSetClick() {
  if (!applier_ || !receiver_) return;
  applier_->GPSButtonSetClick(queue_.get(), DeviceOpen(), LinkBlockSize());
}

void TMainForm::WAASModeClick() { GPSButtonSetClick(); }

void TMainForm::SetConnectionLabel(std::string_view text) { SetLabel(ui_.Connection_Label, text); }

void TMainForm::SetMessageStatus(std::string_view text) {
  ui_.MessageStatus->setText(Latin1(text));
}

void TMainForm::SetEEPROMSerial(std::string_view text) { ui_.EEPROMSerial->setText(Latin1(text)); }

void TMainForm::SetFirmwareVersion(std::string_view text) {
  ui_.FirmwareVersion->setText(Latin1(text));
}

bool TMainForm::ProcessGPS() const { return ui_.ProcessGPS->isChecked(); }

void TMainForm::UpdateFixDisplay() {
  last_applied_ = clock_.Now();
  if (!displays_live_) SetDisplaysLive(true);
  ::ostrel::UpdateFixDisplay(*receiver_, static_cast<FixView&>(*this));
  if (const QString said = QString::fromStdString(SatelliteTableDescription(*receiver_));
      said != ui_.SatGrid->accessibleDescription())
    ui_.SatGrid->setAccessibleDescription(said);
  SatLocDraw();
}

void TMainForm::ShowDataStream(const std::uint8_t* chunk, int32_t len) {
  stream_view_->Show(chunk, len);
}

void TMainForm::DemoFileUnavailable(const std::string& name, const std::string& reason) {
  ShowError("Cannot open the demonstration file " + name + ": " + reason + ".");
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
  QTableWidgetItem* item = ui_.SatGrid->item(row, col);
  if (item != nullptr && !Holds(item->text(), text)) item->setText(Latin1(text));
}

void TMainForm::SetChunkSize(std::string_view text) { SetLabel(ui_.ChunkSize, text); }

int32_t TMainForm::MemoLineCount() const { return adapters_->memo->LineCount(); }

void TMainForm::ClearMemo() { adapters_->memo->Clear(); }

void TMainForm::AppendMemo(std::string_view text) { adapters_->memo->Append(text); }

void TMainForm::SatLocDraw() {
  if (!sat_bitmap_ || !receiver_) return;
  // Drawn at the screen's pixel ratio, also after the window moved to another screen.
  const qreal ratio = ui_.SatLoc->devicePixelRatioF();
  if (sat_bitmap_->devicePixelRatio() != ratio) *sat_bitmap_ = NewSatBitmap(ratio);
  if (RedrawSkyPlotIfChanged(*sat_bitmap_, ui_.Mask_Angle->text().toStdString(), *receiver_,
                             sky_shown_)) {
    ui_.SatLoc->update();
    ui_.SatLoc->setAccessibleDescription(QString::fromStdString(SkyPlotDescription(*receiver_)));
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

QSystemTrayIcon* TMainForm::TrayIcon() const { return tray_ ? tray_->Icon() : nullptr; }

const QImage& TMainForm::SatBitmap() const {
  static const QImage kNone;
  return sat_bitmap_ ? *sat_bitmap_ : kNone;
}

// ---------------------------------------------------------------------------------------
// ApplyView

bool TMainForm::DemoRunning() const { return cycle_ && cycle_->Demo().Active(); }

std::string TMainForm::BaudText() const { return ui_.GPS_Baud->currentText().toStdString(); }

bool TMainForm::WAASChecked() const { return ui_.WAASMode->isChecked(); }

std::string TMainForm::PortName() const { return ui_.GPS_Virtual_Port->text().toStdString(); }

void TMainForm::SetStatus(const std::string& text) { SetConnectionLabel(text); }

void TMainForm::EnableReceiveTimer() {
  if (!exiting_ && !GPS_Receiver->isActive()) GPS_Receiver->start();
}

void TMainForm::ShowError(const std::string& text) { ShowMessage("Error", text); }

void TMainForm::ShowMessage(const std::string& caption, const std::string& text) {
  const QString qcaption = QString::fromStdString(caption);
  const QString qtext = QString::fromStdString(text);
  auto show = [this, qcaption, qtext] {
    QMessageBox box(QMessageBox::NoIcon, qcaption, qtext, QMessageBox::Ok, this);
    box.setObjectName(QStringLiteral("MessageBox"));
    box.exec();
  };
  if (!in_tick_) {
    show();
    return;
  }
  // One box at a time from the tick; a module that keeps coming back with a refused
  // baud rate must not pile them up.
  if (message_waiting_) return;
  message_waiting_ = true;
  QTimer::singleShot(0, this, [this, show] {
    show();
    message_waiting_ = false;
  });
}

int32_t TMainForm::LinkBlockSize() const { return link_ ? link_->State().BlockSize.load() : 0; }

bool TMainForm::DeviceOpen() const { return link_ && link_->State().DeviceOpen.load(); }

std::string TMainForm::PortDescription() const {
  if (!vsport_ || vsport_->LinkPath().empty()) return {};
  return PortName() + " at " + vsport_->LinkPath();
}

// ---------------------------------------------------------------------------------------
// Buttons, menu and the GPS Data port

void TMainForm::HideItClick() { HideToTray(); }

void TMainForm::HelpClick() { help_form_->ShowOrRaise(); }

void TMainForm::VSPortRxChar(int count) {
  if (external_ && count > 0) external_->VSPortRxChar(static_cast<std::uint32_t>(count));
}

void TMainForm::VSPortReadTimer() {
  if (external_)
    external_->VSPortReadTimer();
  else
    VSPortRead->stop();
}

void TMainForm::B9600Click() {
  if (maintenance_) maintenance_->B9600Click(queue_.get());
}

void TMainForm::B19200Click() {
  if (maintenance_) maintenance_->B19200Click(queue_.get());
}

void TMainForm::ResetGPSClick() {
  if (maintenance_) maintenance_->ResetGPSClick(queue_.get());
}

void TMainForm::QueryVersionClick() {
  if (maintenance_) maintenance_->QueryVersionClick(queue_.get());
}

void TMainForm::EraseEEPROMClick() {
  if (maintenance_) maintenance_->EraseEEPROMClick(queue_.get());
}

void TMainForm::ReadEEPROMClick() {
  if (maintenance_) maintenance_->ReadEEPROMClick(queue_.get());
}

void TMainForm::WriteEEPROMClick() {
  if (maintenance_) maintenance_->WriteEEPROMClick(queue_.get());
}

void TMainForm::GPSButtonReadClick() {
  if (maintenance_) maintenance_->GPSButtonReadClick(queue_.get(), DeviceOpen());
}

bool TMainForm::ConfirmErase() {
  QMessageBox box(QMessageBox::Question, QString::fromLatin1(kEraseCaption),
                  QString::fromLatin1(kEraseQuestion), QMessageBox::Yes | QMessageBox::No, this);
  box.setObjectName(QStringLiteral("MessageBox"));
  box.setDefaultButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

std::string TMainForm::SerialText() const {
  const QByteArray bytes = ui_.EEPROMSerial->text().toLatin1();
  return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

void TMainForm::SetSerialText(const std::string& text) { SetEEPROMSerial(text); }

void TMainForm::DemonstrationClick() {
  if (!cycle_) return;
  ::ostrel::DemonstrationClick(static_cast<DemonstrationView&>(*this), cycle_->Demo());
}

bool TMainForm::DemonstrationChecked() const { return ui_.Demonstration->isChecked(); }

void TMainForm::SetDemonstrationChecked(bool checked) { ui_.Demonstration->setChecked(checked); }

std::optional<std::string> TMainForm::AskDemoFileName() {
  bool ok = false;
  const QString name = QInputDialog::getText(this, QString::fromLatin1(kDemoCaption),
                                             QString::fromLatin1(kDemoPrompt), QLineEdit::Normal,
                                             QString::fromLatin1(kDemoDefaultFile), &ok);
  if (!ok) return std::nullopt;
  // A relative name is in the panel's folder; an empty one starts nothing, as typed.
  if (name.isEmpty()) return std::string();
  return InFolder(env_.folder, name.toStdString());
}

void TMainForm::SetProcessGPS(bool checked) { ui_.ProcessGPS->setChecked(checked); }

}  // namespace ostrel
