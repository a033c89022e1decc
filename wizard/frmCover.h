#pragma once
// "Cover Page": the cover page and attachments page. It is loaded once and
// then only hidden while other pages show, so its template list is read
// once per run.
#include <functional>

#include "wizard/Form.h"

class QCheckBox;
class QComboBox;
class QFileDialog;
class QLabel;
class QLineEdit;
class QTextEdit;
class QTreeWidget;

namespace brevant::wizard {

class frmCover : public WizardPage {
 public:
  static frmCover* Load();
  static frmCover* Loaded();
  // The file-open dialog of "Add"; replaceable so tests can answer it.
  using FilePicker = std::function<QString(QWidget* owner)>;
  static void SetFilePicker(FilePicker picker);
  // The "Add" button's file dialog, not yet shown, owned by the caller.
  static QFileDialog* AttachmentDialog(QWidget* owner);

  QCheckBox* chkCover = nullptr;
  QComboBox* cbCover = nullptr;
  QLabel* Picture1 = nullptr;
  QLineEdit* txtSubject = nullptr;
  QTextEdit* rtbNote = nullptr;
  QTreeWidget* lstAttachments = nullptr;
  QPushButton* cmdBrowse = nullptr;
  QPushButton* cmdRemove = nullptr;
  QPushButton* cmdSender = nullptr;

  // Appends dropped or picked files to the attachment list.
  void AddAttachments(const QStringList& paths);

 protected:
  void Activate() override;
  void FormUnload() override;
  void CloseRequested() override { cmdCancel_Click(); }
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  frmCover();
  void GetCoverPages();
  void SetProperties();
  void chkCover_Click();
  void cbCover_Click();
  void cmdNext_Click();
  void cmdBack_Click();
  void cmdCancel_Click();
  void cmdSender_Click();
  void cmdBrowse_Click();
  void cmdRemove_Click();
  void NarrowColumn();
  QLabel* lblTemplate_ = nullptr;
  QLabel* lblSubject_ = nullptr;
  QLabel* lblNote_ = nullptr;
};

}  // namespace brevant::wizard
