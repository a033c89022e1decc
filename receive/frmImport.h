#pragma once
// The "Import Faxes" dialog and the progress window of small imports. Only
// window code includes this header.
#include <QDialog>

#include "receive/FaxImport.h"

class QProgressBar;
class QRadioButton;
class QLabel;
class QPushButton;

namespace brevant {

class frmImport : public QDialog {
 public:
  frmImport(long count, DateTime newest, QWidget* parent = nullptr);

  QProgressBar* progress;
  QRadioButton* optAll;
  QRadioButton* optLast;
  QLabel* Label1;
  QPushButton* OKButton;
  QPushButton* CancelButton;

  bool Importing() const { return importing_; }
  // Escape or the window's close button while importing: the import goes on.
  void reject() override;

 private:
  void OKButton_Click();
  void CancelButton_Click();

  DateTime newest_;
  bool importing_ = false;
};

// Makes the dialog and the progress window the import's windows (call once
// the window system is up). The dialog is shown modeless, kept on top, and
// the import waits until it closes.
void RegisterImportWindows();

}  // namespace brevant
