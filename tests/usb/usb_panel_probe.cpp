// The panel's window with the module on USB, run under kastrel-usb-bed: the maintenance
// buttons pressed as a user would, and what their boxes then show printed as lines for
// the test that drives the bed. The window is the program's own, on Qt's offscreen
// platform; only the USB socket name is private, so the module is reachable through USB
// alone.
#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <string>

#include "app/main_form.h"
#include "app_test_support.h"
#include "link/command_queue.h"

namespace {

using ostrel::test::ModalAnswerer;
using ostrel::test::WaitFor;

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

std::string Hex(const QString& text) {
  std::string out;
  for (const QChar c : text) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", c.unicode());
    out += hex;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ostrel::test::ScratchDir dir;
  ostrel::test::WriteFile(dir.File("ostrel_gps_monitor.ini"),
                          "[USB]\nDevice=1209:4b53\n[Debug]\nPanel=2\n");
  ModalAnswerer answers;
  ostrel::TMainForm form(ostrel::test::UniqueSocket());
  ostrel::MainFormUi& ui = form.Ui();
  auto idle = [&] { return form.Queue() != nullptr && !form.Queue()->Pending(); };
  auto status = [&] { return ui.MessageStatus->text(); };

  if (!WaitFor([&] { return status().contains(QStringLiteral("completed!")) && idle(); })) {
    Say("no settings sequence: " + status().toStdString());
    return 1;
  }
  Say("sequence " + status().toStdString());

  ui.QueryVersion->click();
  WaitFor([&] { return !ui.FirmwareVersion->text().isEmpty() && idle(); });
  Say("version " + ui.FirmwareVersion->text().toStdString());

  ui.EEPROMSerial->setText(QStringLiteral("KS12345678"));
  ui.WriteEEPROM->click();
  WaitFor(idle);
  ui.ReadEEPROM->click();  // empties the box at once
  WaitFor([&] { return !ui.EEPROMSerial->text().isEmpty() && idle(); });
  Say("serial " + ui.EEPROMSerial->text().toStdString());

  answers.Push(ModalAnswerer::Click(QMessageBox::Yes));
  ui.EraseEEPROM->click();
  WaitFor(idle);
  ui.ReadEEPROM->click();
  WaitFor([&] { return !ui.EEPROMSerial->text().isEmpty() && idle(); });
  Say("erased " + Hex(ui.EEPROMSerial->text()));
  Say("status " + status().toStdString());
  return 0;
}
