#include "app/help_form.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringList>

#include "app/main_form_ui.h"
#include "platform/window_caption_qt.h"

namespace ostrel {

namespace {

constexpr const char* kHelpText[] = {
    "The Kastrel GPS Data port is a virtual serial port created by the Kastrel GPS",
    "Control Panel for use by GPS applications.  The panel will use the first available ",
    "serial port to create a virtual COM port for applications to communicate with the",
    " Kastrel GPS module.",
    "",
    "(NMEA stands for National Marine Electronics Association.  This is the standard",
    "GPS format used by most commercial GPS applications).",
};

}  // namespace

THelpForm::THelpForm(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::MSWindowsFixedSizeDialogHint) {
  setObjectName(QStringLiteral("HelpForm"));
  setWindowTitle(QString());
  create();
  SetExactCaption(*windowHandle(), QString());
  // The caption stays empty as it always was; a screen reader still says what this is.
  setAccessibleName(QStringLiteral("GPS Control Panel Help"));
  setFont(DialogFont(11));
  setModal(false);
  setFixedSize(396, 181);
  move(551, 441);

  HelpText = new QPlainTextEdit(this);
  HelpText->setObjectName(QStringLiteral("Memo1"));
  HelpText->setGeometry(8, 8, 377, 105);
  HelpText->setReadOnly(true);
  HelpText->setFrameShape(QFrame::NoFrame);
  HelpText->setLineWrapMode(QPlainTextEdit::NoWrap);
  HelpText->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  HelpText->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  HelpText->setStyleSheet(QStringLiteral("QPlainTextEdit { background: transparent; }"));
  QStringList lines;
  for (const char* line : kHelpText) lines << QString::fromLatin1(line);
  HelpText->setPlainText(lines.join(QLatin1Char('\n')));
  FitLines(*HelpText, lines);

  // Which build this is, for a bug report.
  VersionLabel = new QLabel(QStringLiteral("Version " OSTREL_VERSION), this);
  VersionLabel->setObjectName(QStringLiteral("VersionLabel"));
  VersionLabel->setGeometry(12, 144, 132, 17);  // in line with the memo's text
  VersionLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);

  OkButton = new QPushButton(QStringLiteral("OK"), this);
  OkButton->setObjectName(QStringLiteral("Button1"));
  OkButton->setGeometry(152, 136, 89, 33);
  OkButton->setDefault(true);
  connect(OkButton, &QPushButton::clicked, this, [this] { OkClick(); });
}

void THelpForm::ShowOrRaise() {
  show();
  raise();
  activateWindow();
}

void THelpForm::OkClick() { hide(); }

}  // namespace ostrel
