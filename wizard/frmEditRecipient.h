#pragma once
// "Check Fax Number": edits one recipient row of the recipients page. It
// checks nothing itself; the page takes both texts when neither is empty.
#include "wizard/Form.h"

class QLineEdit;

namespace brevant::wizard {

class frmEditRecipient : public Form {
 public:
  frmEditRecipient(QWidget* parent);
  QLineEdit* txtName = nullptr;
  QLineEdit* txtNumber = nullptr;

 protected:
  void CloseRequested() override { Cancel(); }

 private:
  void Cancel();
};

}  // namespace brevant::wizard
