#include "wizard/frmSetCover.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTextEdit>
#include <QVBoxLayout>
#include <algorithm>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Logging.h"
#include "platform/ui/Ui.h"
#include "wizard/CoverChoice.h"
#include "wizard/Form.h"

namespace brevant::configui {

using wizard::Q;
using wizard::S;
using wizard::TrimBlanks;

frmSetCover::frmSetCover(ExitAppFn exitApp, QWidget* parent) : QDialog(parent), exitApp_(exitApp) {
  setObjectName("frmSetCover");
  setWindowTitle("Set Cover Page");
  setWindowFlag(Qt::WindowStaysOnTopHint, false);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  auto* caption = new QLabel("Preparing the Cover Page");
  caption->setObjectName("lblCaption");
  QFont big = caption->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.35);
  caption->setFont(big);
  auto* explanation = new QLabel(
      "Select a cover page template, and type a subject line and note if required by the template. "
      "The information is automatically added to the cover page.");
  explanation->setObjectName("lblExplanation");
  explanation->setWordWrap(true);

  chkCover = new QCheckBox("Set a default cover page template with the following information.");
  chkCover->setObjectName("chkCover");
  lblTemplate = new QLabel("Cover page template:");
  lblTemplate->setObjectName("lblTemplate");
  cbCover = new QComboBox;
  cbCover->setObjectName("cbCover");
  Picture1 = new QLabel;
  Picture1->setObjectName("Picture1");
  Picture1->setFixedSize(170, 220);
  Picture1->setFrameShape(QFrame::StyledPanel);
  Picture1->setAlignment(Qt::AlignCenter);
  lblSubject = new QLabel("Subject line:");
  lblSubject->setObjectName("lblSubject");
  txtSubject = new QLineEdit;
  txtSubject->setObjectName("txtSubject");
  lblNote = new QLabel("Note:");
  lblNote->setObjectName("lblNote");
  rtbNote = new QTextEdit;
  rtbNote->setObjectName("rtbNote");
  rtbNote->setAcceptRichText(false);

  auto* notice = new QLabel("PC must be connected to phone line!");
  notice->setObjectName("lblNotice");
  QFont italic = notice->font();
  italic.setItalic(true);
  notice->setFont(italic);
  cmdNext = new QPushButton("Ok");
  cmdNext->setObjectName("cmdNext");
  cmdNext->setDefault(true);
  cmdCancel = new QPushButton("Cancel");
  cmdCancel->setObjectName("cmdCancel");
  cmdCancel->setAutoDefault(false);

  auto* fields = new QVBoxLayout;
  fields->addWidget(lblTemplate);
  fields->addWidget(cbCover);
  fields->addSpacing(6);
  fields->addWidget(lblSubject);
  fields->addWidget(txtSubject);
  fields->addSpacing(6);
  fields->addWidget(lblNote);
  fields->addWidget(rtbNote, 1);
  auto* body = new QHBoxLayout;
  body->addLayout(fields, 1);
  body->addSpacing(8);
  auto* pictureColumn = new QVBoxLayout;
  pictureColumn->addWidget(Picture1);
  pictureColumn->addStretch(1);
  body->addLayout(pictureColumn);

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(notice);
  buttons->addStretch(1);
  buttons->addWidget(cmdNext);
  buttons->addWidget(cmdCancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(caption);
  layout->addWidget(explanation);
  layout->addSpacing(6);
  layout->addWidget(chkCover);
  layout->addLayout(body, 1);
  layout->addLayout(buttons);
  resize(560, 430);

  connect(chkCover, &QCheckBox::clicked, this, [this] { chkCover_Click(); });
  connect(cbCover, &QComboBox::currentIndexChanged, this, [this] { cbCover_Click(); });
  connect(cmdNext, &QPushButton::clicked, this, [this] { cmdNext_Click(); });
  connect(cmdCancel, &QPushButton::clicked, this, [this] { cmdCancel_Click(); });

  formId_ = ui::RegisterForm("frmSetCover", [this] {
    finished_ = true;
    hide();
  });
  GetCoverPages();
}

frmSetCover::~frmSetCover() {
  if (formId_) ui::UnregisterForm(formId_);
}

void frmSetCover::GetCoverPages() {
  wizard::FillCoverList(cbCover, chkCover, "frmSetCover.GetCoverPages");
}

void frmSetCover::Activate() {
  FaxJobRecord& job = FaxJob();
  wizard::SelectStoredCover();
  {
    CWinReg reg;
    if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kPelorinKey)) {
      if (reg.GetString("SetCoverPage") != "0") {
        chkCover->setChecked(true);
        txtSubject->setText(Q(reg.GetString("CoverPageSubject")));
        rtbNote->setPlainText(Q(reg.GetString("CoverPageNote")));
      } else {
        chkCover->setChecked(false);
        txtSubject->clear();
        rtbNote->clear();
      }
    }
  }
  if (cbCover->count() > 0 && !cbCover->isEditable()) {
    int pos = job.CoverIndex < 1 ? 0 : job.CoverIndex;
    if (pos < cbCover->count()) {
      QSignalBlocker quiet(cbCover);
      cbCover->setCurrentIndex(pos);
    }
  }
  chkCover_Click();
  cbCover_Click();
}

void frmSetCover::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!event->spontaneous()) Activate();
}

void frmSetCover::chkCover_Click() {
  wizard::EnableCoverFields(chkCover->isChecked(), {cbCover, lblTemplate, lblSubject, lblNote}, txtSubject,
                            rtbNote);
}

void frmSetCover::cbCover_Click() {
  try {
    wizard::ShowCoverPreview(cbCover, Picture1, "frmSetCover.cbCover_Click");
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "frmSetCover.cbCover_Click");
  }
}

void frmSetCover::SetProperties() {
  try {
    const VbList<std::string>& list = FaxJob().CoverPages;
    std::size_t entry = std::size_t(std::max(cbCover->isEditable() ? -1 : cbCover->currentIndex(), -1) + 1);
    {
      CWinReg reg;
      if (reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kUserInfoKey, true))
        reg.SetString("CoverPageFile", entry <= list.Count() ? list[entry] : "");
    }
    CWinReg reg;
    if (reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorinKey, true)) {
      reg.SetString("SetCoverPage", chkCover->isChecked() ? "1" : "0");
      reg.SetString("CoverPageSubject", TrimBlanks(S(txtSubject->text())));
      reg.SetString("CoverPageNote", TrimBlanks(S(rtbNote->toPlainText())));
    }
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "frmSetCover.SetProperties");
  }
}

void frmSetCover::cmdNext_Click() {
  try {
    if (chkCover->isChecked() && TrimBlanks(S(txtSubject->text())).empty() &&
        TrimBlanks(S(rtbNote->toPlainText())).empty()) {
      ui::MsgBox("Please enter text in the Note and/or Subject field.");
      return;
    }
    SetProperties();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "frmSetCover.cmdNext_Click");
  }
  Finish();
}

void frmSetCover::cmdCancel_Click() {
  Finish();
}

void frmSetCover::reject() {
  cmdCancel_Click();
}

void frmSetCover::closeEvent(QCloseEvent* event) {
  event->accept();
  if (!finished_) cmdCancel_Click();
}

// The choice just stored must survive the end of the run: exit code 1.
void frmSetCover::Finish() {
  if (finished_) return;
  finished_ = true;
  if (formId_) ui::UnregisterForm(formId_);
  formId_ = 0;
  QDialog::done(0);
  if (exitApp_) exitApp_(1);
}

}  // namespace brevant::configui
