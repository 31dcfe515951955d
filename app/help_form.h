#pragma once
// The help dialog: what the GPS Data port is. Created hidden at start and kept until
// the end; "Help" shows it beside the main window, which stays usable.
#include <QDialog>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace ostrel {

class THelpForm : public QDialog {
  Q_OBJECT
 public:
  explicit THelpForm(QWidget* parent = nullptr);

  // "Help": shows the dialog, or brings it up when it is already open.
  void ShowOrRaise();
  void OkClick();

  QPlainTextEdit* HelpText = nullptr;
  QPushButton* OkButton = nullptr;
  QLabel* VersionLabel = nullptr;  // the program's version, below the text
};

}  // namespace ostrel
