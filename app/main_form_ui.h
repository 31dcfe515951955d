#pragma once
// The main window's controls, placed as the panel has always been laid out: fixed
// pixel positions inside each group, no layouts, so the window looks the same on every
// desktop. Every control carries its long-standing name as objectName, which the tests, the
// acceptance rig and people find it by; where that name says nothing (GroupBox1, Memo1,
// C1) the member is named for what it holds.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QWidget>
#include <functional>

#include "app/sat_table.h"

namespace ostrel {

// The window's title, also the tray icon's first tip.
inline constexpr const char* kPanelTitle = "Ostrel GPS Control Panel";

inline constexpr int kClientWidth = 887;
inline constexpr int kClientHeight = 632;
inline constexpr int kCompactWidth = 365;
inline constexpr int kCompactHeight = 520;
inline constexpr int kSkyPlotSize = 250;
// The satellite table: the title row and twelve satellites.
inline constexpr int kGridRows = 13;
inline constexpr int kGridColumns = 4;

// The paint box of the sky plot. It owns nothing: painting asks the window for the
// off-screen bitmap and copies it (SatLocPaint).
class PaintBox : public QWidget {
 public:
  using QWidget::QWidget;
  std::function<void(QPainter&)> OnPaint;

 protected:
  void paintEvent(QPaintEvent* event) override;
};

// A group box that draws its frame and caption once and then copies them: a label that
// changes inside it repaints its own rectangle without the style drawing the whole frame
// and shaping the caption again. Drawn anew after a resize, a change of style, font,
// palette or enabled state, and when the window's activation changes.
class CachedGroupBox : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QPixmap frame_;
};

struct MainFormUi {
  // Builds every control into `window` (its central widget, menu and caption).
  void Setup(QMainWindow* window);

  // The client area at its designed size, in a frameless scroll area that shows scroll
  // bars only where the screen is too small for the window (1366 x 768 at 125 %).
  QScrollArea* ClientScroll = nullptr;
  QWidget* Client = nullptr;
  QTabWidget* PageControl = nullptr;
  QWidget* SettingsPage = nullptr;
  QWidget* DataStreamPage = nullptr;

  // "Settings" tab
  QGroupBox* ReceiverGroup = nullptr;
  QFrame* StatusFrame = nullptr;
  QLabel* Connection_Label = nullptr;
  QCheckBox* WAASMode = nullptr;
  QLabel* GPS_Baud_Label = nullptr;
  QComboBox* GPS_Baud = nullptr;
  QLabel* DGPS_Port_Label = nullptr;
  QComboBox* DGPS_Port = nullptr;
  QPushButton* GPSButtonRead = nullptr;
  QGroupBox* DataPortGroup = nullptr;
  QLabel* ConnectedToLabel = nullptr;
  QLabel* GPS_Virtual_Port = nullptr;
  QPlainTextEdit* PortNote = nullptr;
  QGroupBox* FixGroup = nullptr;
  QLabel* FixMode = nullptr;
  QGroupBox* LocationGroup = nullptr;
  QLabel* Latitude = nullptr;
  QLabel* Longitude = nullptr;
  QGroupBox* SpeedGroup = nullptr;
  QLabel* Speed = nullptr;
  QGroupBox* ElevationGroup = nullptr;
  QLabel* Elevation = nullptr;
  QGroupBox* SatelliteGroup = nullptr;
  SatTable* SatGrid = nullptr;
  QLabel* MaskAngleLabel = nullptr;
  QSpinBox* Mask_Angle = nullptr;
  PaintBox* SatLoc = nullptr;
  QPushButton* HideIt = nullptr;
  QPushButton* Help = nullptr;

  // "Data Stream" tab
  QPlainTextEdit* Output_Console = nullptr;
  QCheckBox* ProcessGPS = nullptr;
  QFrame* DebugPanel = nullptr;
  QPushButton* ResetGPS = nullptr;
  QPushButton* B9600 = nullptr;
  QPushButton* B19200 = nullptr;
  QPushButton* QueryVersion = nullptr;
  QLabel* FirmwareVersionLabel = nullptr;
  QLineEdit* FirmwareVersion = nullptr;
  QGroupBox* EEPROMGroup = nullptr;
  QPushButton* EraseEEPROM = nullptr;
  QPushButton* ReadEEPROM = nullptr;
  QPushButton* WriteEEPROM = nullptr;
  QLabel* EEPROMSerialLabel = nullptr;
  QLineEdit* EEPROMSerial = nullptr;
  QLabel* MessageStatus = nullptr;
  QLabel* ChunkSizeLabel = nullptr;
  QLabel* ChunkSize = nullptr;

  // Menu
  QMenu* FileMenu = nullptr;
  QAction* Demonstration = nullptr;
  QAction* Exit = nullptr;
};

// "MS Sans Serif" at `pixels`; the platform's nearest sans where it is not installed.
QFont DialogFont(int pixels, bool bold = false);

// Gives a read-only memo the dialog font at 11 pixels, or a pixel or three less where
// the installed sans is too wide for `lines` to show whole in it.
void FitLines(QPlainTextEdit& memo, const QStringList& lines);

}  // namespace ostrel
