// main() for test executables that need widgets. The offscreen platform is the default so the
// executable also runs where CTest lists its tests without the test environment.
#include <gtest/gtest.h>

#include "platform/application.h"
#include "tests/support/testsystembus.h"

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("DBUS_SYSTEM_BUS_ADDRESS", QByteArray::fromStdString(TestSystemBus()));
  TApplication application(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
