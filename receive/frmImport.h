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

 private:
  void OKButton_Click();
  void CancelButton_Click();

  DateTime newest_;
  bool importing_ = false;
  bool cancelled_ = false;
};

// Makes the dialog and the progress window the import's windows (call once
// the window system is up).
void RegisterImportWindows();

}  // namespace brevant
