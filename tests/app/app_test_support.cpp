#include "app_test_support.h"

#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QInputDialog>
#include <QMessageBox>
#include <QPushButton>
#include <fstream>
#include <sstream>

#include "link/command_queue.h"

namespace ostrel::test {

PanelEnvironment Environment(Clock& clock, const std::string& socket, const std::string& folder) {
  PanelEnvironment env{clock, {}, folder};
  env.make_driver = [socket](std::vector<UsbId> ids, UsbNoticeSink notice) {
    return MakeUsbDriver(std::move(ids), socket, std::move(notice));
  };
  return env;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool WaitFor(const std::function<bool()>& done, int ms) {
  QDeadlineTimer deadline(ms);
  while (!done()) {
    if (deadline.hasExpired()) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QCoreApplication::sendPostedEvents();
    if (!done()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  }
  return true;
}

ModalAnswerer::ModalAnswerer() {
  timer_.setInterval(20);
  connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
  timer_.start();
}

ModalAnswerer::Answer ModalAnswerer::Click(int standard_button) {
  return [standard_button](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    if (box && box->button(static_cast<QMessageBox::StandardButton>(standard_button)))
      box->button(static_cast<QMessageBox::StandardButton>(standard_button))->click();
    else if (auto* dialog = qobject_cast<QDialog*>(w))
      dialog->reject();
  };
}

ModalAnswerer::Answer ModalAnswerer::Enter(const QString& text) {
  return [text](QWidget* w) {
    auto* input = qobject_cast<QInputDialog*>(w);
    if (input) {
      input->setTextValue(text);
      input->accept();
    } else if (auto* dialog = qobject_cast<QDialog*>(w)) {
      dialog->reject();
    }
  };
}

void ModalAnswerer::Poll() {
  QWidget* w = QApplication::activeModalWidget();
  if (w == nullptr || !w->isVisible()) return;
  SeenBox seen;
  seen.caption = w->windowTitle();
  if (auto* box = qobject_cast<QMessageBox*>(w)) {
    seen.text = box->text();
  } else if (auto* input = qobject_cast<QInputDialog*>(w)) {
    seen.text = input->labelText();
    seen.initial = input->textValue();
  }
  seen_.push_back(seen);
  if (!answers_.empty()) {
    Answer answer = std::move(answers_.front());
    answers_.pop_front();
    answer(w);
    return;
  }
  if (auto* box = qobject_cast<QMessageBox*>(w); box && box->defaultButton()) {
    box->defaultButton()->click();
  } else if (auto* dialog = qobject_cast<QDialog*>(w)) {
    dialog->reject();
  }
}

Emulator::Emulator(const std::string& socket, const std::string& dir,
                   const std::vector<std::string>& extra)
    : log_(dir + "/emulator-" + socket + ".log") {
  std::vector<std::string> args{"--log", log_, "--eeprom", dir + "/eeprom-" + socket + ".bin"};
  args.insert(args.end(), extra.begin(), extra.end());
  process_ = std::make_unique<emulator_test::EmulatorProcess>(socket, args);
}

std::vector<std::string> Emulator::Received() const { return emulator_test::ReceivedBlocks(log_); }

std::string UniqueSocket() {
  static int n = 0;
  return "ostrel-app-" + std::to_string(::getpid()) + "-" + std::to_string(++n);
}

std::vector<std::string> QueuedBlocks(const CommandQueue& queue) {
  std::vector<std::string> blocks;
  const std::uint8_t* data = queue.Data();
  for (int32_t pos = queue.SendPos(); pos + kStdBlockSize <= kQueueSize && data[pos] != 0;
       pos += kStdBlockSize) {
    blocks.emplace_back(reinterpret_cast<const char*>(data + pos), kStdBlockSize);
  }
  return blocks;
}

std::string Control(const std::string& text) {
  std::string block = "*" + text;
  block.resize(kStdBlockSize, '_');
  return block;
}

std::string Data(const unsigned char* bytes, std::size_t n) {
  std::string block(1, '!');
  block.append(reinterpret_cast<const char*>(bytes), n);
  block.resize(kStdBlockSize, '_');
  return block;
}

}  // namespace ostrel::test
