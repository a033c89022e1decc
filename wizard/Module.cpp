// The entry of brevant-windows.so, the window library `brevant` loads when
// the first window is needed. Besides the wizard it carries the dialogs of
// the other subsystems (warning, about, repair, import, configuration,
// default cover page); their core code is found in the executable.
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QPushButton>
#include <QTimer>
#include <string>

#include "app/mMisc.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "delivery/FaxTransport.h"
#include "maintenance/ui/MaintenanceDialogs.h"
#include "platform/ui/Ui.h"
#include "receive/FaxImport.h"
#include "receive/frmImport.h"
#include "receive/ui/ConfigDialogs.h"
#include "receive/ui/ConfigServices.h"
#include "wizard/Hooks.h"
#include "wizard/QtWindows.h"
#include "wizard/frmAddressBook.h"

namespace {

// Run unattended, the about box, the warning and the repair dialog take
// their default answer as soon as they are shown instead of waiting for a
// user who is not there: the button that closes them, which ends the run
// the way it ends when a user presses it.
class UnattendedDialogs : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      const QString name = watched->objectName();
      auto* dialog = qobject_cast<QDialog*>(watched);
      const char* button = name == "frmAbout" ? "cmdOK" : name == "frmRepair" ? "CancelButton" : nullptr;
      if (dialog && (button || name == "frmWarning"))
        QTimer::singleShot(0, dialog, [dialog, button] {
          if (auto* b = button ? dialog->findChild<QPushButton*>(button) : nullptr)
            b->click();
          else
            dialog->reject();
        });
    }
    return false;
  }
};

using brevant::wizard::Windows;

// The configuration dialog's services, connected to the fax service (the
// disconnect mail is the receive library's own).
void ConnectConfigServices() {
  auto& services = brevant::configui::Services();
  services.openFaxDeviceConfiguration = [] {
    if (!brevant::FaxDeviceInstalled()) return false;
    brevant::mCommon::RunFaxConsole();
    return true;
  };
}

class ModuleWindows : public Windows {
 public:
  explicit ModuleWindows(Windows* wizard) : wizard_(wizard) {}
  void LoadFaxNew(bool topmost) override { wizard_->LoadFaxNew(topmost); }
  void ShowFaxNewModal() override { wizard_->ShowFaxNewModal(); }
  void ShowFaxCover() override { wizard_->ShowFaxCover(); }
  void ShowSender() override { wizard_->ShowSender(); }
  void ShowWarning(const char* message) override { brevant::ShowWarningDialog(message ? message : ""); }
  void ShowConfig() override {
    ConnectConfigServices();
    brevant::configui::ShowConfigDialog(&brevant::exitApp);
  }
  void ShowImport() override {
    // Unattended, the import takes the dialog's preselected choice.
    if (!brevant::ui::Unattended()) brevant::RegisterImportWindows();
    brevant::RunFaxImport([] { brevant::exitApp(0); });
  }
  void ShowAbout() override {
    brevant::SetMaintenanceExitHandler([] { brevant::exitApp(0); });
    brevant::ShowAboutBox();
  }
  void ShowRepair() override {
    brevant::SetMaintenanceExitHandler([] { brevant::exitApp(0); });
    brevant::ShowRepairDialog();
  }
  void ShowSetCover() override { brevant::configui::ShowSetCoverDialog(&brevant::exitApp); }

 private:
  Windows* wizard_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) Windows* brevant_windows_module() {
  Windows* wizard = brevant::wizard::QtWindows();
  if (!wizard) return nullptr;
  static ModuleWindows windows(wizard);
  brevant::wizard::WizardHooks().AddressBook = &brevant::wizard::PickFromContacts;
  if (brevant::ui::Unattended() && qApp) {
    static UnattendedDialogs closer;
    qApp->installEventFilter(&closer);
  }
  return &windows;
}
