#pragma once
// TMainForm: the panel's window, a view of the engine (engine/panel_engine.h, which
// holds the map of threads, the tick and the roads of data). The window holds the
// widgets, the tray icon, the menus and the dialogs; ConnectControls wires each control
// to one engine operation, and the engine's reports (PanelView) come back to the
// widgets. No state is read back out of a widget.
//
// Of its own the window has the Startup timer (1000 ms, once: the window goes to the
// tray), the pause after Exit, and the sky plot's bitmap.
#include <QMainWindow>
#include <QSystemTrayIcon>
#include <memory>
#include <optional>
#include <string>

#include "app/main_form_ui.h"
#include "app/window_presence.h"
#include "engine/panel_environment.h"
#include "engine/panel_view.h"
#include "gps/fix_display.h"
#include "gps/sky_plot_draw.h"

class QImage;
class QTimer;

namespace ostrel {

class DeferredMemo;
class PanelEngine;
class RecordTrackItems;
class ReceiverHealth;
class PanelTray;
class THelpForm;
class TStatusForm;

class TMainForm final : public QMainWindow, private PanelView, private FixView {
  Q_OBJECT

 public:
  // The program passes RealEnvironment(); a test its own clock, socket and folder.
  // `unattended`: nobody can answer a box (the offscreen platform), so messages go to
  // stderr alone and the start goes on where a box's OK would have let it.
  explicit TMainForm(PanelEnvironment env, bool unattended = false, QWidget* parent = nullptr);
  ~TMainForm() override;

  // The controls by their names, for the program's own tests.
  MainFormUi& Ui() { return ui_; }
  PanelEngine& Engine() { return *engine_; }
  THelpForm* HelpForm() const { return help_form_; }
  QSystemTrayIcon* TrayIcon() const;
  // The tray tip as set last (what the tray shows).
  const std::string& TrayTip() const { return tray_tip_; }
  // File > Exit (or the tray menu's) has been chosen: the window is gone for good.
  bool Exiting() const { return exiting_; }
  // The start-up went through; false after a step's error ended it.
  bool Started() const { return started_; }
  // The panel ends because it could not go on (no GPS Data port could be had).
  bool Failed() const { return failed_; }
  const QImage& SatBitmap() const;
  // The Receiver Status window (File menu, tray menu, --status), made when first asked.
  void ShowStatusWindow();
  TStatusForm* StatusForm() const { return status_form_.get(); }
  ReceiverHealth& Health() { return *health_; }

  // --- handlers of the window's own ---
  void StartupTimer();
  void HideToTray();
  void TrayIconMessage(QSystemTrayIcon::ActivationReason reason);
  // Shows the window from the tray (or the task bar); the displays run again.
  void RestoreFromTray();
  // A second copy asked for the window: shown as from the tray.
  void ShowWindow();
  // Processing off once the window has really left the screen, back on once it is seen.
  void FollowPresence();
  void ExitClick();
  void SatLocPaint(QPainter& painter);
  void SatLocDraw();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  // Shown or hidden by the program or by the window system: processing follows.
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;

 private:
  void CreateTimers();
  void CreateTrayIcon();
  // The menu items that open the Receiver Status window.
  void CreateStatusActions();
  // The tray icon and tooltip follow the module's state, as the engine reports it.
  void ShowTrayState();
  // The window system's answer to a minimise comes later, or never: looked at again
  // after each of the engine's reports, out of its tick.
  void FollowPresenceSoon();
  // Every control to its engine operation, in one place.
  void ConnectControls();
  // The lists, boxes and layout as the settings the engine read say.
  void ShowSettings();
  void ApplyDebugPanel();
  // The pause after Exit, on the window's clock: the loop ends once it has passed.
  void ExitPauseTimer();
  // Runs a handler; a settings error is shown in an "Error" box and ends the handler.
  template <typename F>
  void Guarded(F&& handler);
  // The client area (the window less its menu bar), fixed.
  void SetClientSize(int width, int height);

  // PanelView
  void ShowStatus(std::string_view text) override;
  void ShowTrayTip(const std::string& tip) override;
  void ShowPort(const std::string& name, const std::string& link_path,
                const std::string& note) override;
  void ShowMessageStatus(std::string_view text) override;
  void ShowSerial(std::string_view text) override;
  void ShowFirmwareVersion(std::string_view text) override;
  void ShowFix(const TGPS& gps) override;
  void ShowFixCurrent(bool current) override;
  void ShowChunkSize(std::string_view text) override;
  int32_t MemoLineCount() const override;
  void ClearMemo() override;
  void AppendMemo(std::string_view text) override;
  void ShowProcessGPS(bool on) override;
  void ShowDemonstration(bool on) override;
  void ShowNotice(const std::string& text) override;
  void ShowRecordTrack(bool on) override;
  void ShowMessage(const std::string& caption, const std::string& text) override;
  bool ConfirmErase() override;
  std::optional<std::string> AskDemoFileName() override;
  int AskDemoSpeed() override;
  void EndRequested() override;
  // FixView
  void SetFixTexts(const std::string& mode, const std::string& latitude,
                   const std::string& longitude, const std::string& elevation,
                   const std::string& speed) override;
  void SetSatCell(int row, int col, std::string_view text) override;

  class TrayWatch;
  struct Adapters;
  Clock& clock_;
  std::unique_ptr<Adapters> adapters_;
  MainFormUi ui_;
  // Heard from the start, so the time to first fix counts from the module's open.
  std::unique_ptr<ReceiverHealth> health_;
  std::unique_ptr<PanelEngine> engine_;
  std::unique_ptr<TStatusForm> status_form_;
  THelpForm* help_form_ = nullptr;
  RecordTrackItems* record_items_ = nullptr;
  PanelTray* tray_ = nullptr;
  std::string tray_tip_;
  QTimer* Startup = nullptr;
  // Polls the window's clock during the pause after Exit.
  QTimer* exit_pause_ = nullptr;
  Millis exit_started_ = 0;
  std::unique_ptr<QImage> sat_bitmap_;
  SkyPlotKey sky_shown_;

  bool unattended_ = false;
  bool started_ = false;
  bool failed_ = false;
  bool hiding_ = false;
  // The window was to go to the tray but there was none: it was only minimised.
  bool hide_pending_ = false;
  bool presence_queued_ = false;
  bool exiting_ = false;
  // The desktop session is ending: a close then ends the panel instead of hiding it.
  bool session_ending_ = false;
  PresenceTracker presence_;
};

}  // namespace ostrel
