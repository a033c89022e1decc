#pragma once
// "Sender Information": the sender's details printed on the cover page.
#include "wizard/Form.h"

class QLineEdit;
class QPlainTextEdit;

namespace brevant::wizard {

class frmSender : public Form {
 public:
  // Loads the dialog. endsRun: opened on its own ("sender"), so closing it
  // ends the run; from the cover page it does not.
  static frmSender* Open(bool endsRun);
  static frmSender* Loaded();

  QLineEdit* txtFullName = nullptr;
  QLineEdit* txtFaxNumber = nullptr;
  QLineEdit* txtEmail = nullptr;
  QLineEdit* txtTitle = nullptr;
  QLineEdit* txtCompany = nullptr;
  QLineEdit* txtOffice = nullptr;
  QLineEdit* txtDepartment = nullptr;
  QLineEdit* txtHomePhone = nullptr;
  QLineEdit* txtWorkPhone = nullptr;
  QLineEdit* txtBillingCode = nullptr;
  QPlainTextEdit* txtAddress = nullptr;
  QPushButton* btnOk = nullptr;
  QPushButton* btnCancel = nullptr;

 protected:
  void Activate() override;
  void FormUnload() override;
  void CloseRequested() override { btnCancel_Click(); }
  bool event(QEvent* e) override;

 private:
  frmSender();
  void btnOk_Click();
  void btnCancel_Click();
  bool endsRun_ = false;
};

}  // namespace brevant::wizard
