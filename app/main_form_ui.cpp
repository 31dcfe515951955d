#include "app/main_form_ui.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMenuBar>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <algorithm>

namespace ostrel {

namespace {

// The seven lines of the note under the port name; the apostrophe is the typographic one.
constexpr const char* kPortNote[] = {
    "Connect your NMEA enabled GPS application to this com port",
    "and set your application\u2019s baud rate to 19,200 bits per second.",
    "",
    "Note:  If required by your application, you may set your ",
    "application to a lower baud rate, but some GPS packets may be ",
    "dropped.  ",
    "",
};

template <typename T>
T* Make(QWidget* parent, const char* name, int left, int top, int width, int height) {
  auto* w = new T(parent);
  w->setObjectName(QString::fromLatin1(name));
  w->setGeometry(left, top, width, height);
  return w;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, int left, int top,
                  int width, int height) {
  auto* label = Make<QLabel>(parent, name, left, top, width, height);
  label->setText(caption);
  return label;
}

QLabel* MakeBigLabel(QWidget* parent, const char* name, int left, int top, int width) {
  auto* label = Make<QLabel>(parent, name, left, top, width, 24);
  label->setFont(DialogFont(19, true));
  label->setAlignment(Qt::AlignCenter);
  return label;
}

QGroupBox* MakeGroup(QWidget* parent, const char* name, const char* caption, int left, int top,
                     int width, int height) {
  auto* group = Make<CachedGroupBox>(parent, name, left, top, width, height);
  group->setTitle(QString::fromLatin1(caption));
  return group;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, int left, int top,
                        int width, int height) {
  auto* button = Make<QPushButton>(parent, name, left, top, width, height);
  button->setText(QString::fromLatin1(caption));
  return button;
}

// A borderless, read-only memo painted in the colour of what it sits on.
QPlainTextEdit* MakeNote(QWidget* parent, const char* name, int left, int top, int width,
                         int height) {
  auto* memo = Make<QPlainTextEdit>(parent, name, left, top, width, height);
  memo->setReadOnly(true);
  memo->setFrameShape(QFrame::NoFrame);
  memo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memo->setLineWrapMode(QPlainTextEdit::NoWrap);
  memo->viewport()->setAutoFillBackground(false);
  memo->setStyleSheet(QStringLiteral("QPlainTextEdit { background: transparent; }"));
  memo->setFocusPolicy(Qt::NoFocus);
  return memo;
}

}  // namespace

void PaintBox::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  if (OnPaint) OnPaint(painter);
}

void FitLines(QPlainTextEdit& memo, const QStringList& lines) {
  // Set in a narrow face; where the sans here is wider, a pixel less keeps the lines whole.
  QFont font = DialogFont(11);
  const int room = memo.width() - 2 * static_cast<int>(memo.document()->documentMargin()) - 4;
  for (; font.pixelSize() > 8; font.setPixelSize(font.pixelSize() - 1)) {
    const QFontMetrics metrics(font);
    int widest = 0;
    for (const QString& line : lines) widest = std::max(widest, metrics.horizontalAdvance(line));
    if (widest <= room) break;
  }
  memo.setFont(font);
}

void CachedGroupBox::paintEvent(QPaintEvent* event) {
  const qreal ratio = devicePixelRatioF();
  if (frame_.isNull() || frame_.devicePixelRatio() != ratio) {
    frame_ = QPixmap(size() * ratio);
    frame_.setDevicePixelRatio(ratio);
    frame_.fill(Qt::transparent);
    QPainter painter(&frame_);
    painter.setFont(font());
    painter.setPen(palette().color(foregroundRole()));
    QStyleOptionGroupBox option;
    initStyleOption(&option);
    style()->drawComplexControl(QStyle::CC_GroupBox, &option, &painter, this);
  }
  const QRect area = event->rect();
  QPainter painter(this);
  painter.drawPixmap(area, frame_, QRectF(area.topLeft() * ratio, QSizeF(area.size()) * ratio));
}

void CachedGroupBox::changeEvent(QEvent* event) {
  switch (event->type()) {
    case QEvent::StyleChange:
    case QEvent::FontChange:
    case QEvent::PaletteChange:
    case QEvent::EnabledChange:
    case QEvent::ActivationChange:
      frame_ = QPixmap();
      break;
    default:
      break;
  }
  QGroupBox::changeEvent(event);
}

void CachedGroupBox::resizeEvent(QResizeEvent* event) {
  frame_ = QPixmap();
  QGroupBox::resizeEvent(event);
}

QFont DialogFont(int pixels, bool bold) {
  // The narrow dialog face the layout was drawn for, else its nearest relative here.
  // Asked by name, fontconfig would answer any family with its default sans, which is
  // too wide for the captions' boxes.
  static const QString family = [] {
    const QStringList installed = QFontDatabase::families();
    for (const char* name : {"MS Sans Serif", "Microsoft Sans Serif", "DejaVu Sans Condensed",
                             "Liberation Sans Narrow", "Liberation Sans"}) {
      if (installed.contains(QString::fromLatin1(name), Qt::CaseInsensitive))
        return QString::fromLatin1(name);
    }
    return QString();
  }();
  QFont font;
  if (!family.isEmpty()) font.setFamily(family);
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

// NOLINTNEXTLINE(readability-function-size): every control, in layout order
void MainFormUi::Setup(QMainWindow* window) {
  window->setWindowTitle(QString::fromLatin1(kPanelTitle));
  window->setFont(DialogFont(11));
  // Fixed single border and no title-bar buttons: File > Exit is the way out.
  window->setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::MSWindowsFixedSizeDialogHint);

  ClientScroll = new QScrollArea(window);
  ClientScroll->setObjectName(QStringLiteral("ClientScroll"));
  ClientScroll->setFrameShape(QFrame::NoFrame);
  Client = new QWidget;
  Client->setObjectName(QStringLiteral("Client"));
  Client->setFixedSize(kClientWidth, kClientHeight);
  ClientScroll->setWidget(Client);
  window->setCentralWidget(ClientScroll);

  PageControl = Make<QTabWidget>(Client, "PageControl", 8, 8, 865, 617);
  SettingsPage = new QWidget;
  SettingsPage->setObjectName(QStringLiteral("TabSheet1"));
  DataStreamPage = new QWidget;
  DataStreamPage->setObjectName(QStringLiteral("TabSheet3"));
  PageControl->addTab(SettingsPage, QStringLiteral("Settings"));
  PageControl->addTab(DataStreamPage, QStringLiteral("Data Stream"));

  // --- "Settings" tab, left column: the receiver, the port, Hide and Help ---
  ReceiverGroup = MakeGroup(SettingsPage, "GroupBox1", "GPS Receiver Control", 8, 24, 321, 153);
  StatusFrame = Make<QFrame>(ReceiverGroup, "GroupBox8", 8, 16, 297, 49);
  StatusFrame->setFrameShape(QFrame::Box);
  StatusFrame->setFrameShadow(QFrame::Sunken);
  Connection_Label = Make<QLabel>(StatusFrame, "Connection_Label", 4, 16, 289, 17);
  Connection_Label->setFont(DialogFont(11, true));
  Connection_Label->setAlignment(Qt::AlignCenter);
  WAASMode = Make<QCheckBox>(ReceiverGroup, "WAASMode", 16, 76, 145, 17);
  WAASMode->setText(QStringLiteral("Enable WAAS Mode"));
  GPS_Baud_Label =
      MakeLabel(ReceiverGroup, "GPS_Baud_Label", QStringLiteral("Baud Rate:"), 176, 78, 53, 13);
  GPS_Baud = Make<QComboBox>(ReceiverGroup, "GPS_Baud", 232, 72, 73, 21);
  DGPS_Port_Label =
      MakeLabel(ReceiverGroup, "DGPS_Port_Label", QStringLiteral("DGPS Port:"), 16, 146, 56, 13);
  DGPS_Port = Make<QComboBox>(ReceiverGroup, "DGPS_Port", 80, 142, 89, 21);
  GPSButtonRead = MakeButton(ReceiverGroup, "GPSButtonRead", "Update GPS Status", 88, 104, 137, 33);

  DataPortGroup = MakeGroup(SettingsPage, "GroupBox3", "GPS Data Port", 8, 184, 321, 185);
  ConnectedToLabel =
      MakeLabel(DataPortGroup, "Label2", QStringLiteral("The Kastrel GPS Module is connected to:"),
                16, 20, 289, 13);
  GPS_Virtual_Port = MakeBigLabel(DataPortGroup, "GPS_Virtual_Port", 8, 38, 305);
  PortNote = MakeNote(DataPortGroup, "Memo1", 8, 70, 305, 107);
  QStringList note;
  for (const char* line : kPortNote) note << QString::fromUtf8(line);
  PortNote->setPlainText(note.join(QLatin1Char('\n')));
  FitLines(*PortNote, note);

  HideIt = MakeButton(SettingsPage, "HideIt", "Hide", 48, 384, 89, 33);
  Help = MakeButton(SettingsPage, "Help", "Help", 200, 384, 89, 33);

  // --- "Settings" tab, right column: the fix and the satellites ---
  FixGroup = MakeGroup(SettingsPage, "GroupBox7", "GPS Fix Status", 352, 24, 489, 49);
  FixMode = MakeBigLabel(FixGroup, "FixMode", 12, 18, 465);
  LocationGroup = MakeGroup(SettingsPage, "GroupBox2", "Location", 352, 80, 177, 81);
  Latitude = MakeBigLabel(LocationGroup, "Latitude", 8, 20, 161);
  Longitude = MakeBigLabel(LocationGroup, "Longitude", 8, 48, 161);
  SpeedGroup = MakeGroup(SettingsPage, "GroupBox5", "Speed", 536, 80, 153, 81);
  Speed = MakeBigLabel(SpeedGroup, "Speed", 8, 34, 137);
  ElevationGroup = MakeGroup(SettingsPage, "GroupBox6", "Elevation", 696, 80, 145, 81);
  Elevation = MakeBigLabel(ElevationGroup, "Elevation", 8, 34, 129);

  SatelliteGroup =
      MakeGroup(SettingsPage, "GroupBox4", "Active Satellite Information", 352, 172, 489, 369);
  SatGrid = new SatTable(SatelliteGroup, kGridColumns, kGridRows - 1, 50, 24);
  SatGrid->setObjectName(QStringLiteral("SatGrid"));
  SatGrid->setGeometry(8, 24, 209, 329);
  SatGrid->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  SatGrid->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  SatGrid->setEditTriggers(QAbstractItemView::NoEditTriggers);
  SatGrid->setSelectionMode(QAbstractItemView::NoSelection);
  SatGrid->setFocusPolicy(Qt::NoFocus);
  // A cell too narrow for its text is cut at its edge, as the grid always did, not elided.
  SatGrid->setTextElideMode(Qt::ElideNone);
  MaskAngleLabel =
      MakeLabel(SatelliteGroup, "Label10", QStringLiteral("Mask Angle:"), 232, 44, 60, 13);
  // Degrees above the horizon: a letter or 91 cannot be typed.
  Mask_Angle = Make<QSpinBox>(SatelliteGroup, "Mask_Angle", 296, 40, 49, 21);
  Mask_Angle->setRange(0, 90);
  Mask_Angle->setValue(0);
  Mask_Angle->setButtonSymbols(QAbstractSpinBox::NoButtons);
  SatLoc = Make<PaintBox>(SatelliteGroup, "SatLoc", 224, 80, kSkyPlotSize, kSkyPlotSize);
  // The bitmap covers the whole box: the group box need not paint beneath it.
  SatLoc->setAttribute(Qt::WA_OpaquePaintEvent);

  // --- "Data Stream" tab ---
  Output_Console = Make<QPlainTextEdit>(DataStreamPage, "Output_Console", 16, 16, 449, 341);
  Output_Console->setLineWrapMode(QPlainTextEdit::NoWrap);
  Output_Console->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Output_Console->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  Output_Console->setPlainText(QString());
  ProcessGPS = Make<QCheckBox>(DataStreamPage, "ProcessGPS", 520, 8, 217, 17);
  ProcessGPS->setText(QStringLiteral("Process incoming GPS data stream"));

  DebugPanel = Make<QFrame>(DataStreamPage, "DebugPanel", 480, 48, 289, 289);
  DebugPanel->setFrameShape(QFrame::Panel);
  DebugPanel->setFrameShadow(QFrame::Raised);
  ResetGPS = MakeButton(DebugPanel, "ResetGPS", "Reset GPS", 16, 12, 121, 25);
  QueryVersion = MakeButton(DebugPanel, "QueryVersion", "Query Version", 152, 12, 121, 25);
  B9600 = MakeButton(DebugPanel, "B9600", "9600 Baud", 16, 44, 121, 25);
  B19200 = MakeButton(DebugPanel, "B19200", "19200 Baud", 152, 44, 121, 25);
  FirmwareVersionLabel =
      MakeLabel(DebugPanel, "FirmwareVersionLabel", QStringLiteral("Version: "), 100, 84, 48, 13);
  FirmwareVersion = Make<QLineEdit>(DebugPanel, "FirmwareVersion", 152, 80, 121, 21);
  FirmwareVersion->setReadOnly(true);
  FirmwareVersionLabel->setBuddy(FirmwareVersion);

  EEPROMGroup = MakeGroup(DebugPanel, "GroupBox9", "EEPROM", 16, 112, 257, 105);
  EraseEEPROM = MakeButton(EEPROMGroup, "EraseEEPROM", "Erase", 8, 22, 75, 25);
  ReadEEPROM = MakeButton(EEPROMGroup, "ReadEEPROM", "Read Serial #", 91, 22, 75, 25);
  WriteEEPROM = MakeButton(EEPROMGroup, "WriteEEPROM", "Write Serial #", 174, 22, 75, 25);
  EEPROMSerialLabel =
      MakeLabel(EEPROMGroup, "EEPROMSerialLabel", QStringLiteral("Serial #: "), 48, 66, 48, 13);
  EEPROMSerial = Make<QLineEdit>(EEPROMGroup, "EEPROMSerial", 100, 62, 121, 21);
  EEPROMSerial->setMaxLength(10);
  EEPROMSerialLabel->setBuddy(EEPROMSerial);

  MessageStatus = Make<QLabel>(DebugPanel, "MessageStatus", 16, 228, 257, 17);
  ChunkSizeLabel =
      MakeLabel(DebugPanel, "Label3", QStringLiteral("1-Second Chunk Size: "), 16, 256, 113, 13);
  ChunkSize = MakeLabel(DebugPanel, "ChunkSize", QStringLiteral("0"), 132, 256, 60, 13);

  // --- Menu ---
  QMenuBar* bar = window->menuBar();
  bar->setObjectName(QStringLiteral("MainMenu"));
  FileMenu = bar->addMenu(QStringLiteral("&File"));
  FileMenu->setObjectName(QStringLiteral("C1"));
  Demonstration = FileMenu->addAction(QStringLiteral("Demonstration"));
  Demonstration->setObjectName(QStringLiteral("Demonstration"));
  Demonstration->setCheckable(true);
  Exit = FileMenu->addAction(QStringLiteral("Exit"));
  Exit->setObjectName(QStringLiteral("Exit"));

  window->move(337, 244);
}

}  // namespace ostrel
