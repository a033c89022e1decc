#pragma once
// frmSetCover: outside the wizard, whether faxes get a cover page by
// default, which template, and the default subject and note. The choice is
// stored where the wizard's cover page reads it.
#include <QDialog>

#include "receive/ui/ConfigDialogs.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTextEdit;

namespace brevant::configui {

class frmSetCover : public QDialog {
 public:
  explicit frmSetCover(ExitAppFn exitApp, QWidget* parent = nullptr);
  ~frmSetCover() override;

  // Reads the stored choice into the controls (each time it is shown).
  void Activate();

  QCheckBox* chkCover;
  QComboBox* cbCover;
  QLabel* Picture1;
  QLineEdit* txtSubject;
  QTextEdit* rtbNote;
  QPushButton *cmdNext, *cmdCancel;
  QLabel *lblTemplate, *lblSubject, *lblNote;

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  void GetCoverPages();
  void SetProperties();
  void chkCover_Click();
  void cbCover_Click();
  void cmdNext_Click();
  void cmdCancel_Click();
  void Finish();

  ExitAppFn exitApp_;
  int formId_ = 0;
  bool finished_ = false;
};

}  // namespace brevant::configui
