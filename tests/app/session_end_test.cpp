// A session's end (SIGTERM) ends the program's loops, a modal box's included, also
// while start-up still runs, before the main loop. A program of its own: the handlers
// are the whole process's.
#include "app/session_end.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <csignal>
#include <cstdlib>

namespace {

// Should the signal not end the loop, the run dies here instead of hanging.
class Watchdog {
 public:
  Watchdog() { ::alarm(20); }
  ~Watchdog() { ::alarm(0); }
};

TEST(SessionEnd, SignalEndsAModalBoxBeforeTheMainLoop) {
  Watchdog watchdog;
  ostrel::QuitOnSessionEnd();
  EXPECT_FALSE(ostrel::SessionEnded());
  QTimer::singleShot(100, [] { ::kill(::getpid(), SIGTERM); });
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Error"), QStringLiteral("refused"),
                  QMessageBox::Ok);
  box.exec();  // nobody clicks OK: only the signal ends it
  EXPECT_TRUE(ostrel::SessionEnded());
}

TEST(SessionEnd, SignalEndsTheMainLoop) {
  Watchdog watchdog;
  ostrel::QuitOnSessionEnd();
  QTimer::singleShot(100, [] { ::kill(::getpid(), SIGHUP); });
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_TRUE(ostrel::SessionEnded());
}

TEST(SessionEnd, SignalInAModalBoxOfTheMainLoopEndsBoth) {
  Watchdog watchdog;
  ostrel::QuitOnSessionEnd();
  bool box_ended = false;
  QTimer::singleShot(0, [&] {
    QTimer::singleShot(100, [] { ::kill(::getpid(), SIGINT); });
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Error"), QStringLiteral("too long"),
                    QMessageBox::Ok);
    box.exec();
    box_ended = true;
  });
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_TRUE(box_ended);
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Listing the tests happens without the test's environment.
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
