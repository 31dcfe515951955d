#include "engine/panel_engine.h"

#include <QPointer>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <new>

#include "dataport/create_virtual_port.h"
#include "dataport/external_commands.h"
#include "dataport/port_notice.h"
#include "engine/panel_view.h"
#include "engine/startup_rules.h"
#include "link/read_thread.h"
#include "link/usb_link.h"
#include "platform/serial_ports.h"
#include "platform/vsport_qt.h"
#include "receive/logs.h"
#include "receive/receive_cycle.h"
#include "receiver/antaris.h"

namespace ostrel {

namespace {

constexpr const char* kMemoryError = "Memory Allocation error.";
constexpr int kReceiveInterval = 100;
constexpr int kVSPortReadInterval = 200;
// Data shown longer ago than this is no longer current: the displays grey out.
constexpr Millis kStaleAfter = 3000;
// How long the end waits for the read thread before it gives up on it.
constexpr auto kJoinDeadline = std::chrono::milliseconds(3000);

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

// Carries the read thread's news of a completed line to the engine's thread as one
// posted event; more news before it has run adds nothing.
class ArrivalWaker final : public QObject, public ArrivalNotifier {
 public:
  explicit ArrivalWaker(PanelEngine* engine) : engine_(engine) {}
  void LineArrived() override {
    if (posted_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this,
        [this] {
          posted_.store(false);
          if (engine_) engine_->LineArrived();
        },
        Qt::QueuedConnection);
  }

 private:
  QPointer<PanelEngine> engine_;  // read on the engine's thread only
  std::atomic<bool> posted_{false};
};

}  // namespace

// The adapters live as long as the engine; kept out of the header.
class PanelEngine::Adapters {
 public:
  std::unique_ptr<ArrivalWaker> arrival;
  std::unique_ptr<TimerAdapter> vsport_read;
};

PanelEngine::PanelEngine(PanelEnvironment env, PanelView& view)
    : env_(std::move(env)),
      clock_(env_.clock),
      view_(view),
      adapters_(new Adapters),
      last_applied_(clock_.Now()) {
  setObjectName(QStringLiteral("PanelEngine"));
  GPS_Receiver = new QTimer(this);
  GPS_Receiver->setObjectName(QStringLiteral("GPS_Receiver"));
  GPS_Receiver->setInterval(kReceiveInterval);
  connect(GPS_Receiver, &QTimer::timeout, this, [this] { Tick(); });
  VSPortRead = new QTimer(this);
  VSPortRead->setObjectName(QStringLiteral("VSPortRead"));
  VSPortRead->setInterval(kVSPortReadInterval);
  connect(VSPortRead, &QTimer::timeout, this, [this] { Guarded([this] { VSPortReadTimer(); }); });
  adapters_->vsport_read = std::make_unique<TimerAdapter>(*VSPortRead);
}

PanelEngine::~PanelEngine() {
  GPS_Receiver->stop();
  VSPortRead->stop();
  try {
    // What the displays were doing is what the next start shows.
    if (process_gps_ && file_) file_->WriteBool(kGpsProcessGPS, true);
  } catch (...) {
    // The end goes quietly.
  }
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
void PanelEngine::Guarded(F&& handler) {
  if (stopped_) return;
  try {
    handler();
  } catch (const std::exception& e) {
    ShowError(e.what());
  }
}

void PanelEngine::AddObserver(StreamObserver* observer) { observers_.push_back(observer); }

void PanelEngine::RemoveObserver(StreamObserver* observer) {
  observers_.erase(std::remove(observers_.begin(), observers_.end(), observer), observers_.end());
}

// ---------------------------------------------------------------------------------------
// Start-up

// Each step needs what the steps before it made or read; the comment above a step says
// why it stands where it does.
bool PanelEngine::Start() {
  try {
    // Everything after reads the settings.
    OpenSettings();
    // The serial-port listing, which the GPS Data port's choice needs as well.
    ListSerialPorts();
    // The first write to the settings file: a file that refuses it ends the start-up
    // before a GPS Data port or a buffer exists.
    ReadGpsPort();
    // The GPS Data port, before the command queue: external commands arrive there.
    CreateVirtualPort();
    // The receiver object, and the maintenance commands, which frame their blocks as
    // the last apply of the settings left it.
    receiver_ = std::make_unique<TAntaris>();
    maintenance_ = std::make_unique<MaintenanceActions>(static_cast<MaintenanceView&>(*this),
                                                        applier_->Framing());
    // The command queue, the module's driver and the link, and the first open; a failed
    // open is silent, the receive cycle retries every tick.
    if (!CreateLink()) return false;
    link_->OpenDevice();
    // The settings sequence, now that the module may be open.
    ApplySettings();
    // The receive cycle and what it logs and shows, over the link.
    CreateReceiveCycle();
    // What the displays show of the cycle's data: with the cycle there to show it.
    SetProcessGPS(settings_.process_gps);
    // A setting of the cycle's, so after it.
    ReadPassBinaryData();
    // After the apply set the status and the port was named.
    SetTrayTip(TrayTipText(status_, port_name_));
    // Not when the port could not be had: the program is already on its way out.
    if (!stopped_) GPS_Receiver->start();
    // Last: the read thread hands over to everything made above.
    StartReadThread();
    return true;
  } catch (const std::exception& e) {
    ShowError(e.what());
    return false;
  }
}

void PanelEngine::OpenSettings() {
  file_ = std::make_unique<TSettings>(InFolder(env_.folder, kSettingsFileName));
  settings_ = ReadPanelSettings(*file_);
  const std::vector<std::string> bauds(std::begin(kBaudItems), std::end(kBaudItems));
  const int baud = FindItemNoCase(bauds, settings_.baud);
  baud_ = baud >= 0 ? bauds[static_cast<std::size_t>(baud)] : std::string();
  applier_ = std::make_unique<SettingsApplier>(static_cast<ApplyView&>(*this), *file_);
}

void PanelEngine::ListSerialPorts() {
  // Our own virtual ports are left out.
  ports_ = std::make_unique<SystemComPorts>(
      InFolder(env_.folder, settings_.ports_directory),
      [folder = env_.folder](const std::string& message) { ErrorLog(message, folder); });
  ComPortList ports;
  const int count = ports_->EnumerateComPorts(ports);
  dgps_items_ = {"None"};
  for (int i = 0; i < count; ++i) {
    const std::string& friendly = ports[static_cast<std::size_t>(i)].FriendlyName;
    if (friendly.find(kVirtualPortMarker) == std::string::npos)
      dgps_items_.push_back(DgpsItem(friendly));
  }
  dgps_index_ = FindItemNoCase(dgps_items_, settings_.dgps_name);
}

void PanelEngine::ReadGpsPort() {
  if (settings_.com == 0) file_->WriteInteger(kGpsCom, 0);
}

void PanelEngine::CreateVirtualPort() {
  vsport_ = new TVSPort(InFolder(env_.folder, settings_.ports_directory), this);
  vsport_->setObjectName(QStringLiteral("VSPort"));
  connect(vsport_, &TVSPort::OnRxChar, this,
          [this](int count) { Guarded([this, count] { VSPortRxChar(count); }); });
  connect(vsport_, &TVSPort::SecondReader, this, [this] { SecondReader(); });
  VirtualPortSetup setup{*ports_,
                         *vsport_,
                         static_cast<MessageSink&>(*this),
                         [this] {
                           Stop();
                           view_.EndRequested();
                         },
                         [this](const std::string& name) { PortNamed(name); },
                         [this](const std::string& note) { Tell("ostrel-panel: " + note); }};
  ostrel::Create_Virtual_Port(settings_.com, setup);
}

void PanelEngine::PortNamed(const std::string& name) {
  port_name_ = name;
  // Said once, when the port is made: gpsd, run as a system service, could not open it.
  const std::string notice =
      vsport_->LinkPath().empty()
          ? std::string()
          : PortAccessNotice(vsport_->SharedWithDialout(), vsport_->SlavePath());
  if (!notice.empty()) Tell(notice);
  view_.ShowPort(name, vsport_->LinkPath(), notice);
}

void PanelEngine::SecondReader() {
  std::string text = "Two programs are reading the GPS Data port " + port_name_ +
                     " at once; each gets only part of the data and broken sentences. "
                     "Let one program read the port, or let gpsd read it and the "
                     "programs read gpsd.\n";
  Tell(text);
  text.pop_back();
  view_.ShowPort(port_name_, vsport_->LinkPath(), text);
}

void PanelEngine::Tell(const std::string& text) const {
  std::fputs(text.c_str(), stderr);
  ErrorLog(text, env_.folder);
}

bool PanelEngine::CreateLink() {
  // The real module is named by its USB ids; without them, or without it plugged in,
  // the socket is used. The key goes back only when it was there: a first-start file
  // stays without it.
  std::vector<UsbId> usb_ids;
  if (settings_.usb_device) {
    std::vector<std::string> rejected;
    usb_ids = ParseUsbIds(*settings_.usb_device, &rejected);
    for (const std::string& word : rejected) Tell(UsbRejectedText(word));
    file_->WriteString(kUsbSection, kUsbDeviceKey, *settings_.usb_device);
  }
  queue_.reset(new (std::nothrow) CommandQueue);
  if (queue_) {
    driver_ = env_.make_driver(
        std::move(usb_ids),
        [this, file = std::filesystem::absolute(file_->FileName()).lexically_normal()](
            const UsbNotice& notice) { Tell(UsbNoticeText(notice, file.string())); });
    link_ = std::make_unique<UsbLink>(*driver_, clock_, *queue_);
    try {
      external_ = std::make_unique<ExternalCommands>(*vsport_, *adapters_->vsport_read,
                                                     static_cast<MessageSink&>(*this), *queue_,
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

void PanelEngine::CreateReceiveCycle() {
  positions_log_ = std::make_unique<PositionsLog>(settings_.log_status, env_.folder);
  stream_view_ = std::make_unique<DataStreamView>(static_cast<StreamView&>(*this));
  cycle_ = std::make_unique<ReceiveCycle>(*link_, *queue_, *receiver_,
                                          static_cast<DataPortWriter&>(*this),
                                          static_cast<ReceiveView&>(*this), positions_log_.get());
  cycle_->PositionsLogMode = settings_.log_status;
}

void PanelEngine::ReadPassBinaryData() {
  // Written straight back, so the key is always in the file afterwards.
  cycle_->PassBinaryData = settings_.pass_binary_data;
  file_->WriteBool(kGpsPassBinaryData, settings_.pass_binary_data);
}

void PanelEngine::StartReadThread() {
  // Its end notice has nothing to do. Completed lines go on at once.
  adapters_->arrival = std::make_unique<ArrivalWaker>(this);
  link_->SetArrivalNotifier(adapters_->arrival.get());
  read_thread_ =
      std::make_unique<TReadThread>(*link_, TReadThread::TerminateHandler{}, &SystemClock());
}

void PanelEngine::Stop() {
  if (stopped_) return;
  stopped_ = true;
  // StopReading, then abort the pending read and close the handle.
  if (link_) link_->StopAndAbort();
  GPS_Receiver->stop();
  VSPortRead->stop();
}

// ---------------------------------------------------------------------------------------
// Operations

void PanelEngine::ApplySettings() {
  if (!applier_ || !receiver_) return;
  applier_->GPSButtonSetClick(queue_.get(), DeviceOpen(), LinkBlockSize());
}

void PanelEngine::SetWAAS(bool on) {
  settings_.waas = on;
  ApplySettings();
}

void PanelEngine::SetProcessGPS(bool on) {
  if (on == process_gps_) return;
  process_gps_ = on;
  view_.ShowProcessGPS(on);
}

bool PanelEngine::SetMaskAngle(int degrees) {
  if (degrees < 0 || degrees > kMaskAngleMax) return false;
  mask_angle_ = degrees;
  return true;
}

void PanelEngine::UpdateStatus() {
  if (!stopped_ && maintenance_) maintenance_->GPSButtonReadClick(queue_.get(), DeviceOpen());
}

void PanelEngine::ResetGPS() {
  if (!stopped_ && maintenance_) maintenance_->ResetGPSClick(queue_.get());
}

void PanelEngine::Baud9600() {
  if (!stopped_ && maintenance_) maintenance_->B9600Click(queue_.get());
}

void PanelEngine::Baud19200() {
  if (!stopped_ && maintenance_) maintenance_->B19200Click(queue_.get());
}

void PanelEngine::QueryVersion() {
  if (!stopped_ && maintenance_) maintenance_->QueryVersionClick(queue_.get());
}

void PanelEngine::EraseEEPROM() {
  if (!stopped_ && maintenance_) maintenance_->EraseEEPROMClick(queue_.get());
}

void PanelEngine::ReadEEPROM() {
  if (!stopped_ && maintenance_) maintenance_->ReadEEPROMClick(queue_.get());
}

void PanelEngine::WriteEEPROM(const std::string& serial) {
  if (!stopped_ && maintenance_) maintenance_->WriteEEPROMClick(queue_.get(), serial);
}

void PanelEngine::ToggleDemonstration() {
  if (!stopped_ && cycle_)
    DemonstrationClick(static_cast<DemonstrationView&>(*this), cycle_->Demo());
}

void PanelEngine::WindowHidden() {
  if (process_gps_ && file_ && !settings_.process_gps) {
    file_->WriteBool(kGpsProcessGPS, true);
    settings_.process_gps = true;
  }
  SetProcessGPS(false);
}

void PanelEngine::WindowRestored() {
  if (file_) SetProcessGPS(settings_.process_gps);
}

std::string PanelEngine::PortDescription() const {
  if (!vsport_ || vsport_->LinkPath().empty()) return {};
  return port_name_ + " at " + vsport_->LinkPath() + " (" + vsport_->SlavePath() + ")";
}

const TGPS* PanelEngine::Receiver() const { return receiver_.get(); }

int32_t PanelEngine::LinkBlockSize() const { return link_ ? link_->State().BlockSize.load() : 0; }

bool PanelEngine::DeviceOpen() const { return link_ && link_->State().DeviceOpen.load(); }

// ---------------------------------------------------------------------------------------
// The receive cycle and the GPS Data port

void PanelEngine::Tick() {
  if (!cycle_ || stopped_) return;
  in_tick_ = true;
  try {
    cycle_->Tick();
  } catch (const std::exception&) {
    // The tick traps its own errors; nothing else may leave into the event loop.
  }
  in_tick_ = false;
  // The module lost, a demonstration stopped, processing off: what is shown grows old.
  if (displays_live_ && clock_.Now() - last_applied_ > kStaleAfter) {
    displays_live_ = false;
    view_.ShowFixCurrent(false);
  }
}

void PanelEngine::LineArrived() {
  if (!cycle_ || in_tick_ || stopped_) return;
  in_tick_ = true;
  try {
    cycle_->OnLineArrived();
  } catch (const std::exception&) {
  }
  in_tick_ = false;
}

void PanelEngine::VSPortRxChar(int count) {
  if (external_ && count > 0) external_->VSPortRxChar(static_cast<std::uint32_t>(count));
}

void PanelEngine::VSPortReadTimer() {
  if (external_)
    external_->VSPortReadTimer();
  else
    VSPortRead->stop();
}

int32_t PanelEngine::Write(const std::uint8_t* bytes, int32_t count) {
  const int32_t written = vsport_->Write(bytes, count);
  for (StreamObserver* o : observers_) o->OnForwarded(bytes, count);
  return written;
}

// ---------------------------------------------------------------------------------------
// What the cycle, the apply and the commands report

void PanelEngine::SetStatusText(std::string_view text) {
  if (text == status_) return;
  status_ = text;
  view_.ShowStatus(status_);
  for (StreamObserver* o : observers_) o->OnStatus(status_);
}

void PanelEngine::SetConnectionLabel(std::string_view text) { SetStatusText(text); }

void PanelEngine::SetStatus(const std::string& text) { SetStatusText(text); }

void PanelEngine::SetMessageStatus(std::string_view text) { view_.ShowMessageStatus(text); }

void PanelEngine::SetEEPROMSerial(std::string_view text) { view_.ShowSerial(text); }

void PanelEngine::SetFirmwareVersion(std::string_view text) { view_.ShowFirmwareVersion(text); }

void PanelEngine::SetSerialText(const std::string& text) { view_.ShowSerial(text); }

void PanelEngine::UpdateFixDisplay() {
  for (StreamObserver* o : observers_) o->OnFix(*receiver_);
  if (!process_gps_) return;
  last_applied_ = clock_.Now();
  if (!displays_live_) {
    displays_live_ = true;
    view_.ShowFixCurrent(true);
  }
  view_.ShowFix(*receiver_);
}

void PanelEngine::ShowDataStream(const std::uint8_t* chunk, int32_t len) {
  if (process_gps_) stream_view_->Show(chunk, len);
}

void PanelEngine::DemoFileUnavailable(const std::string& name, const std::string& reason) {
  ShowError("Cannot open the demonstration file " + name + ": " + reason + ".");
}

void PanelEngine::ShowNotice(const std::string& text) {
  Tell("ostrel-panel: " + text + "\n");
  view_.ShowNotice(text);
}

void PanelEngine::GPSButtonSetClick() { ApplySettings(); }

bool PanelEngine::DemoRunning() const { return cycle_ && cycle_->Demo().Active(); }

void PanelEngine::EnableReceiveTimer() {
  if (!stopped_ && !GPS_Receiver->isActive()) GPS_Receiver->start();
}

void PanelEngine::ShowError(const std::string& text) { ShowMessage("Error", text); }

void PanelEngine::SetTrayTip(const std::string& tip) { view_.ShowTrayTip(CutTrayTip(tip)); }

bool PanelEngine::ConfirmErase() { return view_.ConfirmErase(); }

void PanelEngine::SetDemonstrationChecked(bool checked) {
  demo_checked_ = checked;
  view_.ShowDemonstration(checked);
}

std::optional<std::string> PanelEngine::AskDemoFileName() {
  std::optional<std::string> name = view_.AskDemoFileName();
  // A relative name is in the panel's folder; an empty one starts nothing, as typed.
  if (name && !name->empty()) *name = InFolder(env_.folder, *name);
  return name;
}

void PanelEngine::SetChunkSize(std::string_view text) { view_.ShowChunkSize(text); }

int32_t PanelEngine::MemoLineCount() const { return view_.MemoLineCount(); }

void PanelEngine::ClearMemo() { view_.ClearMemo(); }

void PanelEngine::AppendMemo(std::string_view text) { view_.AppendMemo(text); }

void PanelEngine::ShowMessage(const std::string& caption, const std::string& text) {
  if (!in_tick_) {
    view_.ShowMessage(caption, text);
    return;
  }
  // One message at a time from the tick; a module that keeps coming back with a refused
  // baud rate must not pile them up.
  if (message_waiting_) return;
  message_waiting_ = true;
  QTimer::singleShot(0, this, [this, caption, text] {
    view_.ShowMessage(caption, text);
    message_waiting_ = false;
  });
}

}  // namespace ostrel
