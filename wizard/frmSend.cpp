#include "wizard/frmSend.h"

#include <QButtonGroup>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <array>
#include <chrono>

#include "app/mMisc.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Logging.h"
#include "common/OsCheck.h"
#include "wizard/frmCover.h"
#include "wizard/frmFinish.h"

namespace brevant::wizard {
namespace {

QPointer<frmSend> g_page;

void LogError(const char* source) {
  ErrInfo e = CurrentError();
  WriteErrorLog(e.number, e.description, source);
}

// A radio button that only changes when the page says so: the page switches
// the choices of a group itself, as the fax job demands, including "none".
QRadioButton* Choice(const char* name, const char* text) {
  auto* b = new QRadioButton(text);
  b->setObjectName(name);
  b->setAutoExclusive(false);
  return b;
}

}  // namespace

QDateTime ToQt(LocalDateTime t) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  const QDateTime fields = QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
  return QDateTime(fields.date(), fields.time());
}

LocalDateTime FromQt(const QDateTime& t) {
  return LocalDateTime(std::chrono::milliseconds(QDateTime(t.date(), t.time(), Qt::UTC).toMSecsSinceEpoch()));
}

frmSend* frmSend::Load() {
  if (!g_page || g_page->Unloading()) g_page = new frmSend;
  return g_page;
}
frmSend* frmSend::Loaded() {
  return g_page && !g_page->Unloading() ? g_page.data() : nullptr;
}

frmSend::frmSend() : WizardPage("frmSend", "Send Schedule") {
  Trace("frmSend->Form_Initialize");
  QVBoxLayout* body = BuildFrame(
      "Schedule",
      {"Specify when you want your fax to be sent, and set priority. Higher priority faxes will be sent "
       "first."});

  FrameSend = new QGroupBox("When do you want to send this fax?");
  FrameSend->setObjectName("FrameSend");
  auto* sendLayout = new QVBoxLayout(FrameSend);
  optSchNow = Choice("optSchNow", "Now");
  optSchDiscount = Choice("optSchDiscount", "When discount rates apply");
  optSchTime = Choice("optSchTime", "Specific time in the next 24 hours:");
  dtFaxSend = new QDateTimeEdit;
  dtFaxSend->setObjectName("dtFaxSend");
  dtFaxSend->setDisplayFormat("H:mm:ss");
  auto* timeRow = new QHBoxLayout;
  timeRow->addWidget(optSchTime);
  timeRow->addWidget(dtFaxSend);
  timeRow->addStretch(1);
  sendLayout->addWidget(optSchNow);
  sendLayout->addWidget(optSchDiscount);
  sendLayout->addLayout(timeRow);

  FramePriority = new QGroupBox("What is the fax priority?");
  FramePriority->setObjectName("FramePriority");
  auto* prioLayout = new QHBoxLayout(FramePriority);
  optPriorityLow = Choice("optPriorityLow", "Low");
  optPriorityNormal = Choice("optPriorityNormal", "Normal");
  optPriorityHigh = Choice("optPriorityHigh", "High");
  prioLayout->addWidget(optPriorityLow);
  prioLayout->addWidget(optPriorityNormal);
  prioLayout->addWidget(optPriorityHigh);
  prioLayout->addStretch(1);

  body->addWidget(FrameSend);
  body->addSpacing(8);
  body->addWidget(FramePriority);
  body->addStretch(1);
  FinishFrame("btnBack", "btnNext", "btnCancel");

  for (QRadioButton* b :
       {optPriorityLow, optPriorityNormal, optPriorityHigh, optSchNow, optSchDiscount, optSchTime})
    connect(b, &QRadioButton::clicked, this, [this, b] { Choose(b); });
  connect(next_, &QPushButton::clicked, this, [this] { btnNext_Click(); });
  connect(back_, &QPushButton::clicked, this, [this] { btnBack_Click(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { btnCancel_Click(); });
  resize(620, 500);
  Trace("frmSend->Form_Initialize - END");
  Trace("frmSend->Form_Load");
}

void frmSend::Activate() {
  try {
    Trace("frmSend->Form_Activate");
    guard_ = true;
    FaxJobRecord& job = FaxJob();
    for (QRadioButton* b : {optPriorityLow, optPriorityNormal, optPriorityHigh}) b->setChecked(false);
    if (job.FaxPriority == 0) optPriorityLow->setChecked(true);
    if (job.FaxPriority == 1) optPriorityNormal->setChecked(true);
    if (job.FaxPriority == 2) optPriorityHigh->setChecked(true);

    for (QRadioButton* b : {optSchNow, optSchDiscount, optSchTime}) b->setChecked(false);
    dtFaxSend->setEnabled(false);
    if (job.FaxSchedule == 1) {
      optSchTime->setChecked(true);
      dtFaxSend->setEnabled(true);
    } else if (job.FaxSchedule == 2) {
      optSchDiscount->setChecked(true);
    } else if (job.FaxSchedule == 0) {
      optSchNow->setChecked(true);
    }

    int programType = brevant::Config().ProgramType;
    bool xp = mCommon::CheckXP() == "XP";
    if (programType != 0) {
      // Mail-fax and gateway deliveries go out at once.
      optSchTime->setEnabled(false);
      optSchDiscount->setEnabled(false);
      dtFaxSend->setEnabled(false);
      job.FaxSchedule = 0;
      optSchTime->setChecked(false);
      optSchDiscount->setChecked(false);
      optSchNow->setChecked(true);
    }
    if (!xp) {
      if (optSchTime->isChecked()) {
        optSchTime->setChecked(false);
        job.FaxSchedule = 0;
        optSchNow->setChecked(true);
      }
      optSchTime->setEnabled(false);
      dtFaxSend->setEnabled(false);
    }
    if (programType == 0 && !xp) {
      FramePriority->setEnabled(false);
      optPriorityHigh->setChecked(false);
      optPriorityLow->setChecked(false);
      optPriorityNormal->setChecked(true);
    }
    dtFaxSend->setDateTime(ToQt(job.DTFaxSend));
    guard_ = false;
    Trace("frmSend->Form_Activate - END");
  } catch (...) {
    guard_ = false;
    LogError("frmSend.Form_Active");
  }
}

void frmSend::Choose(QRadioButton* choice) {
  if (guard_) return;
  guard_ = true;
  bool schedule = choice == optSchNow || choice == optSchDiscount || choice == optSchTime;
  std::array<QRadioButton*, 3> group =
      schedule ? std::array<QRadioButton*, 3>{optSchNow, optSchDiscount, optSchTime}
               : std::array<QRadioButton*, 3>{optPriorityLow, optPriorityNormal, optPriorityHigh};
  for (QRadioButton* b : group) b->setChecked(b == choice);
  if (schedule) dtFaxSend->setEnabled(choice == optSchTime);
  guard_ = false;
}

void frmSend::SetParameters() {
  try {
    FaxJobRecord& job = FaxJob();
    if (optSchDiscount->isChecked()) job.FaxSchedule = 2;
    if (optSchNow->isChecked()) job.FaxSchedule = 0;
    if (optSchTime->isChecked()) job.FaxSchedule = 1;
    if (optPriorityHigh->isChecked()) job.FaxPriority = 2;
    if (optPriorityLow->isChecked()) job.FaxPriority = 0;
    if (optPriorityNormal->isChecked()) job.FaxPriority = 1;
    job.DTFaxSend = FromQt(dtFaxSend->dateTime());
  } catch (...) {
    LogError("frmSend.SetParameters");
  }
}

void frmSend::btnNext_Click() {
  try {
    Trace("frmSend->btnNext_Click");
    SetParameters();
    frmFinish::Load()->ShowAt(this, true);
    movingOn_ = true;
    Unload();
    Trace("frmSend->btnNext_Click - END");
  } catch (...) {
    LogError("frmSend.btnNext_Click");
  }
}

void frmSend::btnBack_Click() {
  try {
    Trace("frmSend->btnBack_Click");
    SetParameters();
    frmCover::Load()->ShowAt(this, true);
    movingOn_ = true;
    Unload();
    Trace("frmSend->btnBack_Click - END");
  } catch (...) {
    LogError("frmSend.btnBack_Click");
  }
}

void frmSend::btnCancel_Click() {
  try {
    Trace("frmSend->btnCancel_Click");
    Unload();
    Trace("frmSend->btnCancel_Click - END");
  } catch (...) {
    LogError("frmSend.btnCancel_Click()");
  }
}

void frmSend::FormUnload() {
  Trace("frmSend->Form_Unload");
  if (!movingOn_) exitApp(0);
  movingOn_ = false;
  Trace("frmSend->Form_Unload END");
}

}  // namespace brevant::wizard
