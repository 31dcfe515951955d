#pragma once
// TMainForm: the panel's window. It owns every long-lived object and routes events to
// them; the logic lives in the subsystem folders.
//
// Threads. The GUI thread runs every handler below: start-up, buttons, menu, the GPS
// Data port's OnRxChar, and the three timers Startup (1000 ms, once), GPS_Receiver
// (100 ms, the receive cycle) and VSPortRead (200 ms, one-shot). The read thread
// (TReadThread) only reads the module and appends to RxBuffer under the hand-over lock.
//
// The tick. GPS_ReceiverTimer runs ReceiveCycle::Tick(): take one chunk (demonstration
// file, or the whole messages waiting in RxBuffer, else poll the module with "^"), log
// it, forward it, parse UBX and NMEA, show it, release RxBuffer. On the USB side the same
// tick sends at most one queued command block and checks its acknowledgement (the reply
// packet is lifted out of the stream, which goes on whole), closes a module that has been
// silent for more than 5 s, and reopens one that came back.
//
// A sentence from the module:
//   module --bulk read--> TReadThread --RxBuffer--> Tick: ChunkBuffer
//     --> PositionsLog --> TVSPort::Write (the NMEA run, or every byte) --> COMn link
//     --> ParseUBX --> Connection_Label
//     --> ParseNMEA --> UpdateFixDisplay (labels, SatGrid, SatBitmap) and Output_Console
//
// A command back:
//   application writes COMn --> TVSPort::OnRxChar --> VSPortRxChar (ExternalBuffer)
//     --200 ms--> VSPortReadTimer: "*c", data blocks, "**" into CommandQueue
//     --> Tick's command sender: one 64-byte block per tick, each acknowledged
// The buttons (GPSButtonSetClick, the maintenance panel) queue blocks the same way; no
// handler writes to the module itself.
#include <QMainWindow>
#include <QSystemTrayIcon>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/demonstration.h"
#include "app/main_form_ui.h"
#include "app/maintenance_actions.h"
#include "app/panel_environment.h"
#include "app/settings_applier.h"
#include "app/window_presence.h"
#include "gps/data_stream.h"
#include "gps/fix_display.h"
#include "gps/sky_plot_draw.h"
#include "gps/tgps.h"
#include "platform/clock.h"
#include "platform/usb_driver.h"
#include "receive/receive_view.h"

class QImage;
class QTimer;

namespace ostrel {

class CommandQueue;
class ExternalCommands;
class PanelTray;
class PositionsLog;
class ReceiveCycle;
class TAntaris;
class THelpForm;
class TReadThread;
class TSettings;
class TVSPort;
class UsbLink;

class TMainForm final : public QMainWindow,
                        private ReceiveView,
                        private ApplyView,
                        private FixView,
                        private StreamView,
                        private MaintenanceView,
                        private DemonstrationView {
  Q_OBJECT

 public:
  // The program passes RealEnvironment(); a test its own clock, socket and folder.
  explicit TMainForm(PanelEnvironment env, QWidget* parent = nullptr);
  ~TMainForm() override;

  // The controls by their design names, for the program's own tests.
  MainFormUi& Ui() { return ui_; }
  THelpForm* HelpForm() const { return help_form_; }
  QSystemTrayIcon* TrayIcon() const;
  // The tray tip as set last (what the tray shows).
  const std::string& TrayTip() const { return tray_tip_; }
  // File > Exit (or the tray menu's) has been chosen: the window is gone for good.
  bool Exiting() const { return exiting_; }
  // The command queue; null when start-up could not allocate it.
  CommandQueue* Queue() const { return queue_.get(); }
  UsbLink* Link() const { return link_.get(); }
  ReceiveCycle* Cycle() const { return cycle_.get(); }
  TVSPort* VSPort() const { return vsport_; }
  const QImage& SatBitmap() const;
  // "COM3 at /abs/dir/COM3", or empty when no GPS Data port was made.
  std::string PortDescription() const;

  // --- handlers of the design ---
  void FormCreate();
  void StartupTimer();
  void HideToTray();
  void TrayIconMessage(QSystemTrayIcon::ActivationReason reason);
  // Shows the window from the tray (or the task bar) and reads ProcessGPS back.
  void RestoreFromTray();
  // A second copy asked for the window: shown as from the tray.
  void ShowWindow();
  // Processing off once the window has really left the screen, back on once it is seen.
  void FollowPresence();
  void SetTrayTip(const std::string& text) override;
  void ExitClick();
  void FormDestroy();
  void GPS_ReceiverTimer();
  // The read thread has handed over a completed line: its data steps run now.
  void LineArrived();
  void GPSButtonSetClick() override;
  void WAASModeClick();
  void HideItClick();
  void HelpClick();
  void SatLocPaint(QPainter& painter);
  void SatLocDraw();
  void VSPortRxChar(int count);
  void VSPortReadTimer();
  void B9600Click();
  void B19200Click();
  void ResetGPSClick();
  void QueryVersionClick();
  void EraseEEPROMClick();
  void ReadEEPROMClick();
  void WriteEEPROMClick();
  void GPSButtonReadClick();
  void DemonstrationClick();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // The constructor's parts: the window's timers, and every control to its handler.
  void CreateTimers();
  void ConnectControls();
  // The start-up sequence, step by step in the order StartupSteps gives with its reasons.
  // An exception from a step ends the sequence there (FormCreate shows it in a box);
  // so does a command queue that cannot be had.
  void StartupSteps();
  void CreateTrayIcon();
  // The tray icon and tooltip follow the module's state, within a tick.
  void ShowTrayState();
  void OpenSettings();
  void FillDgpsList();
  void ReadGpsPort();
  void CreateReceiver();
  void FillBaudList();
  bool CreateLink();
  void CreateReceiveCycle();
  void ReadPassBinaryData();
  void ApplyDebugPanel();
  void StartReadThread();
  // The pause after Exit, on the window's clock: the loop ends once it has passed.
  void ExitPauseTimer();
  void Create_Virtual_Port();
  // A second program holds the GPS Data port: said in error.log and the port's tool tip.
  void SecondReader();
  // Runs a handler; a settings error is shown in an "Error" box and ends the handler.
  template <typename F>
  void Guarded(F&& handler);
  // A box with OK only. Inside the receive tick it waits for the tick's end: a nested
  // event loop there would let the next tick run inside this one.
  void ShowMessage(const std::string& caption, const std::string& text);
  // The client area (the window less its menu bar), fixed.
  void SetClientSize(int width, int height);
  // The fix labels, SatGrid and the sky plot: live, or greyed as no longer current.
  void SetDisplaysLive(bool live);
  // The link's block size (0 until the device was first opened).
  int32_t LinkBlockSize() const;
  bool DeviceOpen() const;

  // ReceiveView
  void SetConnectionLabel(std::string_view text) override;
  void SetMessageStatus(std::string_view text) override;
  void SetEEPROMSerial(std::string_view text) override;
  void SetFirmwareVersion(std::string_view text) override;
  bool ProcessGPS() const override;
  void UpdateFixDisplay() override;
  void ShowDataStream(const std::uint8_t* chunk, int32_t len) override;
  void StreamTaken(const std::uint8_t* stream, int32_t len) override;
  void DemoFileUnavailable(const std::string& name, const std::string& reason) override;
  // ApplyView
  bool DemoRunning() const override;
  std::string BaudText() const override;
  bool WAASChecked() const override;
  std::string PortName() const override;
  void SetStatus(const std::string& text) override;
  void EnableReceiveTimer() override;
  void ShowError(const std::string& text) override;
  // FixView
  void SetFixTexts(const std::string& mode, const std::string& latitude,
                   const std::string& longitude, const std::string& elevation,
                   const std::string& speed) override;
  void SetSatCell(int row, int col, std::string_view text) override;
  // StreamView
  void SetChunkSize(std::string_view text) override;
  int32_t MemoLineCount() const override;
  void ClearMemo() override;
  void AppendMemo(std::string_view text) override;
  // MaintenanceView
  bool ConfirmErase() override;
  std::string SerialText() const override;
  void SetSerialText(const std::string& text) override;
  // DemonstrationView
  bool DemonstrationChecked() const override;
  void SetDemonstrationChecked(bool checked) override;
  std::optional<std::string> AskDemoFileName() override;
  void SetProcessGPS(bool checked) override;

  struct Adapters;
  const PanelEnvironment env_;
  Clock& clock_;
  std::unique_ptr<Adapters> adapters_;
  MainFormUi ui_;
  THelpForm* help_form_ = nullptr;
  PanelTray* tray_ = nullptr;
  // The stream's fix while processing is off, for the tray alone.
  TGPS tray_gps_;
  std::string tray_tip_;
  QTimer* Startup = nullptr;
  QTimer* GPS_Receiver = nullptr;
  QTimer* VSPortRead = nullptr;
  // Polls the window's clock during the pause after Exit.
  QTimer* exit_pause_ = nullptr;
  Millis exit_started_ = 0;

  std::unique_ptr<TSettings> settings_;
  std::unique_ptr<QImage> sat_bitmap_;
  int32_t gps_port_number_ = 0;
  std::string port_dir_;
  TVSPort* vsport_ = nullptr;
  std::unique_ptr<TAntaris> receiver_;
  std::unique_ptr<CommandQueue> queue_;
  std::unique_ptr<ExternalCommands> external_;
  std::unique_ptr<UsbDriver> driver_;
  std::unique_ptr<UsbLink> link_;
  std::unique_ptr<PositionsLog> positions_log_;
  std::unique_ptr<ReceiveCycle> cycle_;
  std::unique_ptr<DataStreamView> stream_view_;
  std::unique_ptr<TReadThread> read_thread_;
  std::unique_ptr<SettingsApplier> applier_;
  std::unique_ptr<MaintenanceActions> maintenance_;

  // When ParseNMEA last applied something to the displays, and whether they show live.
  Millis last_applied_ = 0;
  bool displays_live_ = true;
  SkyPlotKey sky_shown_;

  bool in_tick_ = false;
  bool hiding_ = false;
  // The window was to go to the tray but there was none: it was only minimised.
  bool hide_pending_ = false;
  bool message_waiting_ = false;
  bool exiting_ = false;
  bool destroyed_ = false;
  // The desktop session is ending: a close then ends the panel instead of hiding it.
  bool session_ending_ = false;
  PresenceTracker presence_;
};

}  // namespace ostrel
