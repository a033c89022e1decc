#include "receive/ui/ConfigDialogs.h"

#include <QApplication>

#include "common/Logging.h"
#include "receive/ui/frmConfigureClient.h"
#include "receive/ui/frmSetCover.h"

namespace brevant::configui {
namespace {

// The windows need the widget application; a program that has none yet
// gets one on the display the environment names.
bool EnsureApplication(const char* source) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    if (qobject_cast<QApplication*>(app)) return true;
    WriteErrorLog(438, "No window system in this process", source);
    return false;
  }
  static int argc = 1;
  static char arg0[] = "brevant";
  static char* argv[] = {arg0, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return app != nullptr;
}

}  // namespace

void ShowConfigDialog(ExitAppFn exitApp) {
  if (!EnsureApplication("Init.Config")) return;
  frmConfigureClient dialog(exitApp);
  dialog.exec();
}

void ShowSetCoverDialog(ExitAppFn exitApp) {
  if (!EnsureApplication("Init.SetCoverPage")) return;
  frmSetCover dialog(exitApp);
  dialog.exec();
}

}  // namespace brevant::configui
