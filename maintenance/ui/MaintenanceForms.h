#pragma once
// The maintenance dialogs' classes; their controls carry the names the rest
// of the suite and the tests know them by.
#include <QDialog>

class QCheckBox;
class QLabel;
class QPushButton;

namespace brevant {

class frmAbout : public QDialog {
  Q_OBJECT
 public:
  explicit frmAbout(QWidget* parent = nullptr);
  ~frmAbout() override;
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
  int formId_ = 0;
};

class frmWarning : public QDialog {
  Q_OBJECT
 public:
  explicit frmWarning(QWidget* parent = nullptr);
  ~frmWarning() override;
  void SetMessage(const std::string& message);

 private:
  QLabel* lblText_ = nullptr;
  int formId_ = 0;
};

class frmRepair : public QDialog {
  Q_OBJECT
 public:
  explicit frmRepair(QWidget* parent = nullptr);
  ~frmRepair() override;
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
  int formId_ = 0;
};

}  // namespace brevant
