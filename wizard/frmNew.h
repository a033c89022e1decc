#pragma once
// "New Fax": the recipients page, first page of the Send Fax wizard.
#include "wizard/Form.h"
#include "wizard/Hooks.h"

class QLineEdit;
class QTreeWidget;

namespace brevant::wizard {

class frmNew : public WizardPage {
 public:
  // The loaded page, created on first use.
  static frmNew* Load();
  static frmNew* Loaded();

  QLineEdit* txtTo = nullptr;
  QLineEdit* txtFaxNumber = nullptr;
  QPushButton* cmdAdd = nullptr;
  QPushButton* cmdEdit = nullptr;
  QPushButton* cmdRemove = nullptr;
  QPushButton* cmdAddress = nullptr;
  QTreeWidget* lvRecipients = nullptr;

 protected:
  void Activate() override;
  void FormUnload() override;
  void CloseRequested() override { btnCancel_Click(); }
  // The close box unloads the page without its Cancel handler.
  void CloseBox() override { Unload(); }

 private:
  frmNew();
  void CheckEnableButton();
  void btnNext_Click();
  void cmdAdd_Click();
  void cmdAddress_Click();
  void cmdEdit_Click();
  void cmdRemove_Click();
  void btnCancel_Click();
  void ExtractMails(const AddressEntry& entry);
  void FitColumns();
  bool skipActivate_ = false;
};

}  // namespace brevant::wizard
