#include <gtest/gtest.h>

#include <QApplication>

#include "app/fonts.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  radiolist::ensureTahoma();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
