#include "receive/ui/ConfigDialogs.h"

#include <QApplication>
#include <cstdlib>

#include "common/Logging.h"
#include "platform/ui/Ui.h"
#include "receive/ui/frmConfigureClient.h"
#include "wizard/frmSetCover.h"

namespace brevant::configui {
namespace {

bool HaveDisplay() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* v = std::getenv(name);
    if (v && *v) return true;
  }
  return false;
}

// The windows need the widget application. A program that has none yet
// gets one on the display the environment names; an unattended run without
// a display draws off-screen.
bool EnsureApplication(const char* source) {
  if (QCoreApplication* app = QCoreApplication::instance()) {
    if (qobject_cast<QApplication*>(app)) return true;
    WriteErrorLog(438, "No window system in this process", source);
    return false;
  }
  if (!HaveDisplay()) {
    if (!ui::Unattended()) {
      WriteErrorLog(0, "No display: DISPLAY and WAYLAND_DISPLAY are not set", source);
      return false;
    }
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
  }
  static int argc = 1;
  static char arg0[] = "brevant";
  static char* argv[] = {arg0, nullptr};
  static QApplication* app = new QApplication(argc, argv);
  return app != nullptr;
}

// Unattended, nobody answers: the window is shown once and closed as if
// cancelled, so nothing is stored.
bool ClosedUnattended(QDialog& dialog) {
  if (!ui::Unattended()) return false;
  dialog.show();
  QCoreApplication::processEvents();
  dialog.reject();
  return true;
}

// Modal until the user closes the window.
void RunModal(QDialog& dialog) {
  if (!ClosedUnattended(dialog)) dialog.exec();
}

}  // namespace

void ShowConfigDialog(ExitAppFn exitApp) {
  if (!EnsureApplication("Init.Config")) return;
  // Modeless: the command returns at once and the run lives on until the
  // dialog closes (its buttons and close box end the run through exitApp).
  auto* dialog = new frmConfigureClient(exitApp);
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  if (!ClosedUnattended(*dialog)) dialog->show();
}

void ShowSetCoverDialog(ExitAppFn exitApp) {
  if (!EnsureApplication("Init.SetCoverPage")) return;
  frmSetCover dialog(exitApp);
  RunModal(dialog);
}

}  // namespace brevant::configui
