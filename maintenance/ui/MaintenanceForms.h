#pragma once
// The maintenance dialogs' classes; their controls carry the names the rest
// of the suite and the tests know them by.
#include <QDialog>

class QCheckBox;
class QCloseEvent;
class QLabel;
class QPushButton;

namespace brevant {

// A dialog that counts as a loaded form from its construction until it
// closes, the way a form unloads with its window, not until Qt deletes it
// later: an exit right after the close finds no form left behind.
class FormDialog : public QDialog {
 public:
  FormDialog(const char* name, QWidget* parent);
  ~FormDialog() override;
  void done(int result) override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void Unload();
  int formId_ = 0;
};

class frmAbout : public FormDialog {
  Q_OBJECT
 public:
  explicit frmAbout(QWidget* parent = nullptr);
  // True when the load found another about box and handed over to it.
  bool HandedOver() const { return handedOver_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void cmdOK_Click();
  QLabel* lblVersion_ = nullptr;
  QLabel* labelUrl_ = nullptr;
  QLabel* lblSupport_ = nullptr;
  bool handedOver_ = false;
};

class frmWarning : public FormDialog {
  Q_OBJECT
 public:
  explicit frmWarning(QWidget* parent = nullptr);
  void SetMessage(const std::string& message);

 private:
  QLabel* lblText_ = nullptr;
};

class frmRepair : public FormDialog {
  Q_OBJECT
 public:
  explicit frmRepair(QWidget* parent = nullptr);
  // The folder whose components are checked and registered (the program
  // folder unless set).
  void SetFolder(const std::string& folder) { folder_ = folder; }

 private:
  void OKButton_Click();
  void CancelButton_Click();
  QLabel* lblFileOK_ = nullptr;
  QLabel* lblRegOk_ = nullptr;
  QLabel* lblAddinOk_ = nullptr;
  QPushButton* okButton_ = nullptr;
  QPushButton* cancelButton_ = nullptr;
  std::string folder_;
};

}  // namespace brevant
