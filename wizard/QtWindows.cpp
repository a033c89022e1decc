#include "wizard/QtWindows.h"

#include "common/FaxJob.h"
#include "common/Logging.h"
#include "wizard/QtUi.h"
#include "wizard/frmCover.h"
#include "wizard/frmNew.h"
#include "wizard/frmSender.h"

namespace brevant::wizard {
namespace {

class Impl : public Windows {
 public:
  void LoadFaxNew(bool topmost) override {
    frmNew* page = frmNew::Load();
    // Pages printed from another application bring the wizard to the front.
    page->setWindowFlag(Qt::WindowStaysOnTopHint, topmost);
  }
  void ShowFaxNewModal() override { frmNew::Load()->ShowModal(); }
  void ShowFaxCover() override { frmCover::Load()->ShowAt(nullptr, false); }
  void ShowSender() override { frmSender::Open(true)->ShowAt(nullptr, false); }

  void ShowWarning(const char*) override { NotAvailable("frmWarning.Show"); }
  void ShowConfig() override { NotAvailable("frmConfig.Show"); }
  void ShowImport() override { NotAvailable("frmImport.Show"); }
  void ShowAbout() override { NotAvailable("frmAbout.Show"); }
  void ShowRepair() override { NotAvailable("frmRepair.Show"); }
  void ShowSetCover() override { NotAvailable("frmSetCover.Show"); }
};

}  // namespace

Windows* QtWindows() {
  if (!EnsureQtUi()) return nullptr;
  static Impl impl;
  return &impl;
}

}  // namespace brevant::wizard
