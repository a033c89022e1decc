#pragma once
// The one widget application of a test process that drives real windows,
// made on first use (before any test draws a picture, which would make a
// plain GUI application instead).
#include <QApplication>

namespace brevant::test {

inline void EnsureWidgetApplication() {
  static int argc = 1;
  static char name[] = "brevant_tests";
  static char* argv[] = {name, nullptr};
  if (!QCoreApplication::instance()) new QApplication(argc, argv);
}

}  // namespace brevant::test
