#include "wizard/frmFinish.h"

#include <QDateTime>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/mMisc.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Logging.h"
#include "platform/ui/Ui.h"
#include "wizard/Hooks.h"
#include "wizard/frmSend.h"

namespace brevant::wizard {
namespace {

QPointer<frmFinish> g_page;

void LogError(const char* source) {
  ErrInfo e = CurrentError();
  WriteErrorLog(e.number, e.description, source);
}

QLabel* Value(const char* name) {
  auto* l = new QLabel;
  l->setObjectName(name);
  l->setTextInteractionFlags(Qt::TextSelectableByMouse);
  l->setWordWrap(true);
  return l;
}

}  // namespace

QString ScheduledTimeText(const QDateTime& when, const QDate& today) {
  qint64 days = today.daysTo(when.date());
  // The locale's long time, seconds included, without a time zone.
  QString format = QLocale().timeFormat(QLocale::LongFormat);
  format.remove(QLatin1Char('t'));
  QString time = QLocale().toString(when.time(), format.trimmed());
  if (days == 0) return time;
  // A day count shown as a date counts from the day before 1900-01-01.
  return QLocale().toString(QDate(1899, 12, 30).addDays(days), QLocale::ShortFormat) + " " + time;
}

frmFinish* frmFinish::Load() {
  if (!g_page || g_page->Unloading()) g_page = new frmFinish;
  return g_page;
}
frmFinish* frmFinish::Loaded() {
  return g_page && !g_page->Unloading() ? g_page.data() : nullptr;
}

frmFinish::frmFinish() : WizardPage("frmFinish", "Finish") {
  Trace("frmFinish.Form_Initialize");
  QVBoxLayout* body =
      BuildFrame("Completing the Send Fax Wizard", {"You have successfully created a fax as follows:"});

  auto* form = new QFormLayout;
  form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
  form->setHorizontalSpacing(12);
  form->setVerticalSpacing(8);
  lvRecipients = new QTreeWidget;
  lvRecipients->setObjectName("lvRecipients");
  lvRecipients->setRootIsDecorated(false);
  lvRecipients->setHeaderLabels({"Recipient Name", "Fax Number"});
  lvRecipients->setMinimumHeight(90);
  lvRecipients->setMaximumHeight(lvRecipients->fontMetrics().lineSpacing() * 9);
  lblSubject = Value("lblSubject");
  lblCover = Value("lblCover");
  lblSend = Value("lblSend");
  form->addRow("To:", lvRecipients);
  form->addRow("Subject:", lblSubject);
  form->addRow("Cover page template:", lblCover);
  form->addRow("Time to send:", lblSend);
  body->addLayout(form);
  body->addSpacing(8);

  btnPreview = new QPushButton("Preview Fax...");
  btnPreview->setObjectName("btnPreview");
  auto* previewRow = new QHBoxLayout;
  previewRow->addWidget(btnPreview);
  previewRow->addStretch(1);
  body->addLayout(previewRow);
  auto* toSend = new QLabel("To send your fax, click Finish.");
  body->addSpacing(8);
  body->addWidget(toSend);
  body->addStretch(1);
  FinishFrame("btnBack", "OKButton", "CancelButton", "Finish");

  connect(btnPreview, &QPushButton::clicked, this, [this] { btnPreview_Click(); });
  connect(back_, &QPushButton::clicked, this, [this] { btnBack_Click(); });
  connect(next_, &QPushButton::clicked, this, [this] { OKButton_Click(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { CancelButton_Click(); });
  resize(620, 500);
  Trace("frmFinish.Form_Initialize - END");
  Trace("frmFinish.Form_Load");
}

void frmFinish::Activate() {
  try {
    Trace("frmFinish->Form_Activate");
    const FaxJobRecord& job = FaxJob();
    lvRecipients->clear();
    for (std::size_t k = 1; k <= job.g_arrFaxName.Count(); ++k)
      new QTreeWidgetItem(lvRecipients,
                          QStringList{Q(job.g_arrFaxName[k]),
                                      Q(k <= job.g_arrFaxNumber.Count() ? job.g_arrFaxNumber[k] : "")});
    lvRecipients->resizeColumnToContents(0);
    if (job.FaxSchedule == 1) {
      lblSend->setText(ScheduledTimeText(ToQt(job.DTFaxSend), QDate::currentDate()));
    } else if (job.FaxSchedule == 2) {
      lblSend->setText("Discount period");
    } else if (job.FaxSchedule == 0) {
      lblSend->setText("Now");
    }
    lblSubject->setText(Q(job.FaxSubject));
    if (job.CoverIndex < 1 || std::size_t(job.CoverIndex) > job.CoverPages.Count()) {
      lblCover->setText("None");
    } else {
      std::string path = job.CoverPages[std::size_t(job.CoverIndex)];
      auto cut = path.find_last_of("/\\");
      lblCover->setText(Q(cut == std::string::npos ? path : path.substr(cut + 1)));
    }
    Trace("frmFinish->Form_Activate- END");
  } catch (...) {
    LogError("frmFinish.Form_Activate");
  }
}

void frmFinish::btnPreview_Click() {
  try {
    Trace("frmFinish.btnPreview_Click");
    setEnabled(false);
    btnPreview->setEnabled(false);
    ui::DoEvents();
    ui::SetCursor(ui::Cursor::Wait);
    WizardHooks().PrintPreview(ui::WindowHandle(winId()), true);
    ui::SetCursor(ui::Cursor::Default);
    if (!FaxJob().PreviewFile.empty()) WizardHooks().OpenPreview(FaxJob().PreviewFile);
    btnPreview->setEnabled(true);
    setEnabled(true);
    ui::DoEvents();
    Trace("frmFinish.btnPreview_Click - END");
  } catch (...) {
    ui::SetCursor(ui::Cursor::Default);
    btnPreview->setEnabled(true);
    setEnabled(true);
    LogError("frmFinish.btnPreview_Click");
  }
}

void frmFinish::OKButton_Click() {
  try {
    Trace("frmFinish->OKButton_Click");
    setEnabled(false);
    FaxJobRecord& job = FaxJob();
    if (job.PreviewFile.empty()) WizardHooks().PrintPreview(ui::WindowHandle(winId()), false);
    Trace("frmFinish->OKButton_Click - MIDDLE");
    int programType = brevant::Config().ProgramType;
    if (!job.FaxImageFile.empty() && programType != 2) {
      job.g_arrFiles.Clear();
      job.g_arrFiles.Append(job.FaxImageFile);
    }
    if (programType == 1)
      WizardHooks().SendFaxMail();
    else if (programType == 2)
      WizardHooks().SendFaxEFax();
    else
      WizardHooks().SendFaxMSFax();
    setEnabled(true);
    Trace("frmFinish->OKButton_Click - END 2");
  } catch (...) {
    setEnabled(true);
    LogError("frmFinish.OKButton_Click");
  }
  // The run ends here whatever happened: the unload handler calls exitApp.
  setEnabled(true);
  Unload();
}

void frmFinish::btnBack_Click() {
  try {
    Trace("frmFinish->btnBack_Click");
    FaxJob().PreviewFile.clear();
    FaxJob().FaxImageFile.clear();
    ui::DoEvents();
    frmSend::Load()->ShowAt(this, true);
    movingOn_ = true;
    Unload();
    Trace("frmFinish->btnBack_Click - END");
  } catch (...) {
    LogError("frmFinish.btnBack_Click");
  }
}

void frmFinish::CancelButton_Click() {
  try {
    Trace("frmFinish->CancelButton_Click");
    Unload();
    Trace("frmFinish->CancelButton_Click - END");
  } catch (...) {
    LogError("frmFinish.btnCancel_Click()");
  }
}

void frmFinish::FormUnload() {
  Trace("frmFinish.Form_Unload");
  if (!movingOn_) exitApp(0);
  movingOn_ = false;
  Trace("frmFinish.Form_Unload END");
}

}  // namespace brevant::wizard
