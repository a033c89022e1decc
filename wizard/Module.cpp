// The entry of brevant-windows.so, the window library `brevant` loads when
// the first window is needed. Besides the wizard it carries the dialogs of
// the other subsystems (warning, about, repair, import, configuration,
// default cover page); their core code is found in the executable.
#include <string>

#include "app/mMisc.h"
#include "maintenance/ui/MaintenanceDialogs.h"
#include "receive/FaxImport.h"
#include "receive/frmImport.h"
#include "receive/ui/ConfigDialogs.h"
#include "wizard/QtWindows.h"

namespace {

using brevant::wizard::Windows;

class ModuleWindows : public Windows {
 public:
  explicit ModuleWindows(Windows* wizard) : wizard_(wizard) {}
  void ShowFaxNew(bool topmost) override { wizard_->ShowFaxNew(topmost); }
  void ShowFaxCover() override { wizard_->ShowFaxCover(); }
  void ShowSender() override { wizard_->ShowSender(); }
  void ShowWarning(const char* message) override { brevant::ShowWarningDialog(message ? message : ""); }
  void ShowConfig() override { brevant::configui::ShowConfigDialog(&brevant::exitApp); }
  void ShowImport() override {
    brevant::RegisterImportWindows();
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
  return &windows;
}
