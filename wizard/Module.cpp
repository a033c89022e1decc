// The entry of brevant-windows.so, the window library `brevant` loads when
// the first window is needed.
#include "wizard/QtWindows.h"

extern "C" __attribute__((visibility("default"))) brevant::wizard::Windows* brevant_windows_module() {
  return brevant::wizard::QtWindows();
}
