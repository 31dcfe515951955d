// Fonts need a QGuiApplication; the sky plot's labels are drawn with them.
#include <QGuiApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QGuiApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
