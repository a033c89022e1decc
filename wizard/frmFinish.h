#pragma once
// "Finish": the summary page; previews the fax image and hands the fax to
// the delivery path of the configuration.
#include "wizard/Form.h"

class QLabel;
class QTreeWidget;

namespace brevant::wizard {

class frmFinish : public WizardPage {
 public:
  static frmFinish* Load();
  static frmFinish* Loaded();

  QTreeWidget* lvRecipients = nullptr;
  QLabel* lblSubject = nullptr;
  QLabel* lblCover = nullptr;
  QLabel* lblSend = nullptr;
  QPushButton* btnPreview = nullptr;

 protected:
  void Activate() override;
  void FormUnload() override;
  void CloseRequested() override { CancelButton_Click(); }

 private:
  frmFinish();
  void btnPreview_Click();
  void btnBack_Click();
  void OKButton_Click();
  void CancelButton_Click();
  bool movingOn_ = false;
};

// The "Time to send:" text for a scheduled time: the time of day for a time
// today, else the day count from today as a date with the time.
QString ScheduledTimeText(const QDateTime& when, const QDate& today);

}  // namespace brevant::wizard
