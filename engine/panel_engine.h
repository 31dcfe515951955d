#pragma once
// PanelEngine: the panel without its window. It owns every long-lived object (settings,
// receiver, command queue, driver, link, read thread, receive cycle, GPS Data port,
// logs) and reports to one PanelView; the window and the headless service are views.
//
// Threads. The engine's thread (the GUI thread in the window) runs every operation, the
// receive tick (GPS_Receiver, every 100 ms), the GPS Data port's OnRxChar and its
// VSPortRead timer (200 ms, one-shot). The read thread (TReadThread) only reads the
// module and appends to RxBuffer under the hand-over lock.
//
// The tick. ReceiveCycle::Tick(): take one chunk (demonstration file, or the whole
// messages waiting in RxBuffer, else poll the module with "^"), log it, forward it, parse
// UBX and NMEA, show it, release RxBuffer. On the USB side the same tick sends at most
// one queued command block and checks its acknowledgement (the reply packet is lifted
// out of the stream, which goes on whole), closes a module that has been silent for more
// than 5 s, and reopens one that came back.
//
// A sentence from the module:
//   module --bulk read--> TReadThread --RxBuffer--> Tick: ChunkBuffer
//     --> PositionsLog --> TVSPort::Write (the NMEA run, or every byte) --> COMn link
//                      --> every StreamObserver
//     --> ParseUBX --> PanelView::ShowStatus
//     --> ParseNMEA --> PanelView::ShowFix, every StreamObserver; the Data Stream memo
//
// A command back:
//   application writes COMn --> TVSPort::OnRxChar --> ExternalCommands (ExternalBuffer)
//     --200 ms--> VSPortRead: "*c", data blocks, "**" into CommandQueue
//     --> Tick's command sender: one 64-byte block per tick, each acknowledged
// The operations (ApplySettings, the maintenance commands) queue blocks the same way;
// nothing else writes to the module.
#include <QObject>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dataport/message_sink.h"
#include "engine/demonstration.h"
#include "engine/maintenance_actions.h"
#include "engine/panel_environment.h"
#include "engine/settings.h"
#include "engine/settings_applier.h"
#include "gps/data_stream.h"
#include "platform/data_port.h"
#include "receive/receive_view.h"

class QTimer;

namespace ostrel {

class CommandQueue;
class ExternalCommands;
class PanelView;
class PositionsLog;
class ReceiveCycle;
class SystemComPorts;
class TAntaris;
class TGPS;
class TReadThread;
class TVSPort;
class UsbLink;

// What may listen to the stream beside the view: more ports, recorders, a health model.
// Each is told on the engine's thread; none may keep the pointers past the call.
class StreamObserver {
 public:
  virtual ~StreamObserver() = default;
  // Bytes of the receiver's stream as the GPS Data port gets them.
  virtual void OnForwarded(const std::uint8_t* bytes, int32_t count) = 0;
  // `gps` has taken in a sentence. While an observer listens, NMEA is parsed also when
  // the displays are off.
  virtual void OnFix(const TGPS& gps) = 0;
  // The status text changed ("No Device", "Connected...", a UBX status).
  virtual void OnStatus(std::string_view status) = 0;
};

// The mask angle's range in degrees.
inline constexpr int kMaskAngleMax = 90;

class PanelEngine final : public QObject,
                          private ReceiveView,
                          private ApplyView,
                          private MaintenanceView,
                          private DemonstrationView,
                          private StreamView,
                          private MessageSink,
                          private DataPortWriter {
 public:
  PanelEngine(PanelEnvironment env, PanelView& view);
  ~PanelEngine() override;
  PanelEngine(const PanelEngine&) = delete;
  PanelEngine& operator=(const PanelEngine&) = delete;

  // The start-up sequence, from the settings file to the read thread. A step that fails
  // (a settings file that refuses a write, no memory for the queue) is shown as an
  // "Error" message and ends the sequence there: false.
  bool Start();
  // Attach before Start, or between ticks; detach before the observer goes.
  void AddObserver(StreamObserver* observer);
  void RemoveObserver(StreamObserver* observer);

  // --- operations, one per control; each may throw SettingsError ---
  // "Set": shows the device state and, with a module open, queues the receiver settings.
  void ApplySettings();
  void SetWAAS(bool on);
  void SetProcessGPS(bool on) override;
  // Degrees above the horizon, 0 to 90; others are refused (false).
  bool SetMaskAngle(int degrees);
  void UpdateStatus();
  void ResetGPS();
  void Baud9600();
  void Baud19200();
  void QueryVersion();
  void EraseEEPROM();
  void ReadEEPROM();
  void WriteEEPROM(const std::string& serial);
  void ToggleDemonstration();
  // The window went out of sight, or came back: the displays stop and start with it.
  void WindowHidden();
  void WindowRestored();
  // File > Exit: no tick, no command and no operation acts any more; the pending read is
  // aborted and the handle closed.
  void Stop();

  // --- what the timers and the port run; public for tests on the fake clock ---
  void Tick();
  void LineArrived();
  void VSPortRxChar(int count);
  void VSPortReadTimer();

  // --- state ---
  const PanelSettings& Settings() const { return settings_; }
  // The settings' baud rate as an item of kBaudItems, or "" when it is none of them.
  const std::string& Baud() const { return baud_; }
  int MaskAngle() const { return mask_angle_; }
  bool ProcessGPS() const override { return process_gps_ || !observers_.empty(); }
  bool DisplaysOn() const { return process_gps_; }
  bool DemonstrationOn() const { return demo_checked_; }
  const std::string& Status() const { return status_; }
  // The serial ports for the DGPS list ("None" first) and the settings' choice, or -1.
  const std::vector<std::string>& DgpsItems() const { return dgps_items_; }
  int DgpsIndex() const { return dgps_index_; }
  std::string PortName() const override { return port_name_; }
  // "COM3 at /abs/dir/COM3", or empty when no GPS Data port was made.
  std::string PortDescription() const;
  const std::string& Folder() const { return env_.folder; }
  bool Stopped() const { return stopped_; }
  const TGPS* Receiver() const;
  // Null until start-up made them (or when it could not).
  CommandQueue* Queue() const { return queue_.get(); }
  UsbLink* Link() const { return link_.get(); }
  ReceiveCycle* Cycle() const { return cycle_.get(); }
  TVSPort* VSPort() const { return vsport_; }

 private:
  // Start-up's steps, in the order Start gives with its reasons.
  void OpenSettings();
  void ListSerialPorts();
  void ReadGpsPort();
  void CreateVirtualPort();
  bool CreateLink();
  void CreateReceiveCycle();
  void ReadPassBinaryData();
  void StartReadThread();
  // The GPS Data port has its name (and, once made, its link).
  void PortNamed(const std::string& name);
  void SecondReader();
  // `text` on stderr and in error.log: help the user must see once.
  void Tell(const std::string& text) const;
  // Runs a handler of a timer or the port; a settings error becomes an "Error" message.
  template <typename F>
  void Guarded(F&& handler);
  void SetStatusText(std::string_view text);
  int32_t LinkBlockSize() const;
  bool DeviceOpen() const;

  // ReceiveView
  void SetConnectionLabel(std::string_view text) override;
  void SetMessageStatus(std::string_view text) override;
  void SetEEPROMSerial(std::string_view text) override;
  void SetFirmwareVersion(std::string_view text) override;
  void UpdateFixDisplay() override;
  void ShowDataStream(const std::uint8_t* chunk, int32_t len) override;
  void DemoFileUnavailable(const std::string& name, const std::string& reason) override;
  void ShowNotice(const std::string& text) override;
  void GPSButtonSetClick() override;
  // ApplyView
  bool DemoRunning() const override;
  std::string BaudText() const override { return baud_; }
  bool WAASChecked() const override { return settings_.waas; }
  void SetStatus(const std::string& text) override;
  void EnableReceiveTimer() override;
  void ShowError(const std::string& text) override;
  void SetTrayTip(const std::string& tip) override;
  // MaintenanceView
  bool ConfirmErase() override;
  void SetSerialText(const std::string& text) override;
  // DemonstrationView
  bool DemonstrationChecked() const override { return demo_checked_; }
  void SetDemonstrationChecked(bool checked) override;
  std::optional<std::string> AskDemoFileName() override;
  // StreamView
  void SetChunkSize(std::string_view text) override;
  int32_t MemoLineCount() const override;
  void ClearMemo() override;
  void AppendMemo(std::string_view text) override;
  // MessageSink: inside the receive tick a message waits for the tick's end, as a modal
  // box's nested event loop would let the next tick run inside this one.
  void ShowMessage(const std::string& caption, const std::string& text) override;
  // DataPortWriter: the GPS Data port, then every observer.
  int32_t Write(const std::uint8_t* bytes, int32_t count) override;

  class Adapters;
  const PanelEnvironment env_;
  Clock& clock_;
  PanelView& view_;
  std::unique_ptr<Adapters> adapters_;
  QTimer* GPS_Receiver = nullptr;
  QTimer* VSPortRead = nullptr;

  PanelSettings settings_;
  std::string baud_;
  int mask_angle_ = 0;
  bool process_gps_ = false;
  bool demo_checked_ = false;
  std::string status_;
  std::string port_name_;
  std::vector<std::string> dgps_items_;
  int dgps_index_ = -1;
  std::vector<StreamObserver*> observers_;

  std::unique_ptr<TSettings> file_;
  std::unique_ptr<SystemComPorts> ports_;
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

  // When ParseNMEA last applied something, and whether the displays show it as current.
  Millis last_applied_ = 0;
  bool displays_live_ = true;
  bool in_tick_ = false;
  bool message_waiting_ = false;
  bool stopped_ = false;
};

}  // namespace ostrel
