#include "engine_test_support.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
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
