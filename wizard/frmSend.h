#pragma once
// "Send Schedule": when the fax is sent and with which priority.
#include <QDateTime>

#include "common/FaxJob.h"
#include "wizard/Form.h"

class QDateTimeEdit;
class QGroupBox;
class QRadioButton;

namespace brevant::wizard {

// The fax job's send time in a date-time picker and back: the wall-clock
// date and time fields as they stand, not an instant moved through the time
// zone.
QDateTime ToQt(LocalDateTime t);
LocalDateTime FromQt(const QDateTime& t);

class frmSend : public WizardPage {
 public:
  static frmSend* Load();
  static frmSend* Loaded();

  QGroupBox* FramePriority = nullptr;
  QRadioButton* optPriorityLow = nullptr;
  QRadioButton* optPriorityNormal = nullptr;
  QRadioButton* optPriorityHigh = nullptr;
  QGroupBox* FrameSend = nullptr;
  QRadioButton* optSchNow = nullptr;
  QRadioButton* optSchDiscount = nullptr;
  QRadioButton* optSchTime = nullptr;
  QDateTimeEdit* dtFaxSend = nullptr;

 protected:
  void Activate() override;
  void FormUnload() override;
  void CloseRequested() override { btnCancel_Click(); }
  // The close box unloads the page without its Cancel handler.
  void CloseBox() override { Unload(); }

 private:
  frmSend();
  void Choose(QRadioButton* choice);
  void SetParameters();
  void btnNext_Click();
  void btnBack_Click();
  void btnCancel_Click();
  bool guard_ = false;
  bool movingOn_ = false;
};

}  // namespace brevant::wizard
