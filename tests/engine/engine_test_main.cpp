// The engine's tests run with a Qt Core application and no display: the GPS Data port's
// notifiers and the engine's timers need an event loop, never a window.
#include <gtest/gtest.h>

#include <QCoreApplication>

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
