// The entry of brevant-windows.so, the window library `brevant` loads when
// the first window is needed. Besides the wizard it carries the dialogs of
// the other subsystems (warning, about, repair, import, configuration,
// default cover page); their core code is found in the executable.
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QTimer>
#include <string>

#include "app/mMisc.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "delivery/FaxTransport.h"
#include "platform/mail/MailStore.h"
#include "receive/ui/ConfigServices.h"
#include "maintenance/ui/MaintenanceDialogs.h"
#include "receive/FaxImport.h"
#include "receive/frmImport.h"
#include "receive/ui/ConfigDialogs.h"
#include "platform/ui/Ui.h"
#include "wizard/QtWindows.h"

namespace {

// Run unattended, the about box, the warning and the repair dialog take
// their default answer as soon as they are shown instead of waiting for a
// user who is not there.
class UnattendedDialogs : public QObject {
 public:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Show) {
      const QString name = watched->objectName();
      if (auto* dialog = qobject_cast<QDialog*>(watched);
          dialog && (name == "frmAbout" || name == "frmWarning" || name == "frmRepair"))
        QTimer::singleShot(0, dialog, [dialog] { dialog->reject(); });
    }
    return false;
  }
};

using brevant::wizard::Windows;

// The configuration dialog's services, connected to the mail layer and the
// fax service.
void ConnectConfigServices() {
  auto& services = brevant::configui::Services();
  services.sendDisconnectMail = [](const std::string& to) {
    try {
      brevant::mail::MailItem item;
      item.To = to;
      item.Subject = "Pelorin Disconnect";
      item.Body = "Disconnect";
      brevant::mail::Send(item, brevant::mail::LoadAccount());
      return true;
    } catch (...) {
      brevant::ErrInfo e = brevant::CurrentError();
      brevant::WriteErrorLog(e.number, e.description, "frmConfigure.DisconnectFromServer");
      return false;
    }
  };
  services.openFaxDeviceConfiguration = [] {
    if (!brevant::FaxDeviceInstalled()) return false;
    brevant::mCommon::RunFaxConsole();
    return true;
  };
}

class ModuleWindows : public Windows {
 public:
  explicit ModuleWindows(Windows* wizard) : wizard_(wizard) {}
  void ShowFaxNew(bool topmost) override { wizard_->ShowFaxNew(topmost); }
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
    brevant::RunFaxImport();
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
  if (brevant::ui::Unattended() && qApp) {
    static UnattendedDialogs closer;
    qApp->installEventFilter(&closer);
  }
  return &windows;
}
