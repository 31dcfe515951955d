// A deliberate data race between a QTimer slot and a std::thread, for the tsan test that
// proves tests/tsan.supp leaves races in the project's own code reported.
#include <QCoreApplication>
#include <QTimer>
#include <thread>

namespace {
int shared_count = 0;  // written by both threads with no lock: the race to be reported
constexpr int kTicks = 20;
}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::thread counter([] {
    for (int i = 0; i < 100000; ++i) ++shared_count;
  });
  int ticks = 0;
  QTimer tick;
  tick.setInterval(1);
  QObject::connect(&tick, &QTimer::timeout, [&] {
    ++shared_count;
    if (++ticks == kTicks) app.quit();
  });
  tick.start();
  const int rc = app.exec();
  counter.join();
  return rc;
}
