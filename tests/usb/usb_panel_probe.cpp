// The panel's window with the module on USB, run under kastrel-usb-bed; what it shows is
// printed as lines for the test that drives the bed. The window is the program's own, on
// Qt's offscreen platform; only the USB socket name is private, so the module is
// reachable through USB alone.
//
//   usb_panel_probe maintenance   the maintenance buttons pressed as a user would
//   usb_panel_probe unplug        "unplug me", then the status line; "plug me", then the
//                                 settings sequence again
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <cstdio>
#include <exception>
#include <string>

#include "app/main_form.h"
#include "app_test_support.h"
#include "engine/panel_engine.h"
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
    char hex[5];  // a UTF-16 unit is up to four digits
    std::snprintf(hex, sizeof hex, "%02X", c.unicode());
    out += hex;
  }
  return out;
}

// The probe's run; main reports what escapes it.
int Probe(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ostrel::test::TempDir dir;
  ostrel::test::WriteFile(dir.File("ostrel_gps_monitor.ini"),
                          "[USB]\nDevice=1209:4b53\n[Debug]\nPanel=2\n");
  ModalAnswerer answers;
  // The real clock: the unplug is timed as the user sees it.
  ostrel::TMainForm form(
      ostrel::test::Environment(ostrel::SystemClock(), ostrel::test::UniqueSocket(), dir.Path()));
  ostrel::MainFormUi& ui = form.Ui();
  auto idle = [&] { return form.Engine().Queue() != nullptr && !form.Engine().Queue()->Pending(); };
  auto status = [&] { return ui.MessageStatus->text(); };

  if (!WaitFor([&] { return status().contains(QStringLiteral("completed!")) && idle(); })) {
    Say("no settings sequence: " + status().toStdString());
    return 1;
  }
  Say("sequence " + status().toStdString());

  if (argc > 1 && std::string(argv[1]) == "unplug") {
    auto connection = [&] { return ui.Connection_Label->text().toStdString(); };
    Say("unplug me");
    QElapsedTimer unplugged;
    unplugged.start();
    if (!WaitFor([&] { return connection() == "No Device"; }, 15000)) return 1;
    Say("no-device after " + std::to_string(unplugged.elapsed()) + " ms");
    Say("plug me");
    // The reopen queues the settings again; they go out and complete once more.
    if (!WaitFor([&] { return !idle(); }, 10000)) return 1;
    if (!WaitFor([&] { return status().contains(QStringLiteral("completed!")) && idle(); }))
      return 1;
    Say("again " + status().toStdString() + " / " + connection());
    return 0;
  }

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

}  // namespace

int main(int argc, char** argv) {
  try {
    return Probe(argc, argv);
  } catch (const std::exception& e) {
    Say(std::string("failed: ") + e.what());
    return 2;
  }
}
