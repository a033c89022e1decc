#include "wizard/frmSender.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/mMisc.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Logging.h"
#include "common/SenderInfo.h"

namespace brevant::wizard {
namespace {

QPointer<frmSender> g_dialog;

QLineEdit* Field(const char* name) {
  auto* e = new QLineEdit;
  e->setObjectName(name);
  return e;
}

}  // namespace

frmSender* frmSender::Open(bool endsRun) {
  if (!g_dialog || g_dialog->Unloading()) g_dialog = new frmSender;
  g_dialog->endsRun_ = endsRun;
  return g_dialog;
}
frmSender* frmSender::Loaded() {
  return g_dialog && !g_dialog->Unloading() ? g_dialog.data() : nullptr;
}

frmSender::frmSender() : Form("frmSender") {
  setWindowTitle("Sender Information");
  setWindowFlag(Qt::WindowStaysOnTopHint, false);
  auto* outer = new QVBoxLayout(this);
  auto* intro = new QLabel("This sender information will be included  on your cover page.");
  intro->setWordWrap(true);
  outer->addWidget(intro);

  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
  grid->setHorizontalSpacing(10);
  txtFullName = Field("txtFullName");
  txtFaxNumber = Field("txtFaxNumber");
  txtEmail = Field("txtEmail");
  txtTitle = Field("txtTitle");
  txtCompany = Field("txtCompany");
  txtOffice = Field("txtOffice");
  txtDepartment = Field("txtDepartment");
  txtHomePhone = Field("txtHomePhone");
  txtWorkPhone = Field("txtWorkPhone");
  txtBillingCode = Field("txtBillingCode");
  txtAddress = new QPlainTextEdit;
  txtAddress->setObjectName("txtAddress");
  txtAddress->setTabChangesFocus(true);
  txtAddress->setFixedHeight(txtAddress->fontMetrics().lineSpacing() * 4 + 12);
  auto row = [&](int r, int c, const char* label, QWidget* field, int span = 1) {
    auto* l = new QLabel(label);
    l->setBuddy(field);
    grid->addWidget(l, r, c, field == txtAddress ? Qt::AlignTop : Qt::AlignVCenter);
    grid->addWidget(field, r, c + 1, 1, span);
  };
  // Reading order: name and numbers first, then the company, then the rest.
  row(0, 0, "Your full name:", txtFullName);
  row(0, 2, "Fax number:", txtFaxNumber);
  row(1, 0, "E-mail Address:", txtEmail, 3);
  row(2, 0, "Title:", txtTitle);
  row(2, 2, "Company:", txtCompany);
  row(3, 0, "Office location:", txtOffice);
  row(3, 2, "Department:", txtDepartment);
  row(4, 0, "Home phone:", txtHomePhone);
  row(4, 2, "Work phone:", txtWorkPhone);
  row(5, 0, "Address:", txtAddress, 3);
  row(6, 0, "Billing Code:", txtBillingCode);
  outer->addLayout(grid);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  btnOk = new QPushButton("OK");
  btnOk->setObjectName("btnOk");
  btnOk->setDefault(true);
  btnCancel = new QPushButton("Cancel");
  btnCancel->setObjectName("btnCancel");
  buttons->addWidget(btnOk);
  buttons->addWidget(btnCancel);
  outer->addLayout(buttons);
  connect(btnOk, &QPushButton::clicked, this, [this] { btnOk_Click(); });
  connect(btnCancel, &QPushButton::clicked, this, [this] { btnCancel_Click(); });
  setMinimumWidth(fontMetrics().averageCharWidth() * 80);
}

bool frmSender::event(QEvent* e) {
  // Activation reads the stored details again, so a change made meanwhile
  // by another program shows, and an edit that was not saved is dropped.
  if (e->type() == QEvent::WindowActivate && isVisible()) Activate();
  return Form::event(e);
}

void frmSender::Activate() {
  mCommon::GetSenderInfo();
  const FaxJobRecord& j = FaxJob();
  txtAddress->setPlainText(Q(j.SenderAddress));
  txtBillingCode->setText(Q(j.SenderBillingCode));
  txtCompany->setText(Q(j.SenderCompany));
  txtDepartment->setText(Q(j.SenderDepartment));
  txtEmail->setText(Q(j.SenderEmail));
  txtFaxNumber->setText(Q(j.SenderfaxNumber));
  txtFullName->setText(Q(j.SenderFullName));
  txtHomePhone->setText(Q(j.SenderHomePhone));
  txtTitle->setText(Q(j.SenderTitle));
  txtOffice->setText(Q(j.SenderOffice));
  txtWorkPhone->setText(Q(j.SenderWorkPhone));
}

void frmSender::btnOk_Click() {
  Trace("frmSender->btnOk_Click");
  if (focusWidget() == txtAddress) {
    // Enter in the address box is a line break, not "OK".
    txtAddress->insertPlainText("\n");
    Trace("frmSender->btnOk_Click - END");
    return;
  }
  if (btnOk->text().contains('&')) WriteErrorLog(0, "frmSender.btnOK.Caption has '&' symbols", "frmSender");
  FaxJobRecord& j = FaxJob();
  j.SenderAddress = S(txtAddress->toPlainText());
  j.SenderBillingCode = S(txtBillingCode->text());
  j.SenderCompany = S(txtCompany->text());
  j.SenderDepartment = S(txtDepartment->text());
  j.SenderEmail = S(txtEmail->text());
  j.SenderfaxNumber = S(txtFaxNumber->text());
  j.SenderFullName = S(txtFullName->text());
  j.SenderHomePhone = S(txtHomePhone->text());
  j.SenderTitle = S(txtTitle->text());
  j.SenderOffice = S(txtOffice->text());
  j.SenderWorkPhone = S(txtWorkPhone->text());
  mCommon::SetSenderInfo();
  Unload();
  Trace("frmSender->btnOk_Click - END");
}

void frmSender::btnCancel_Click() {
  Unload();
}

void frmSender::FormUnload() {
  if (endsRun_) exitApp(0);
}

}  // namespace brevant::wizard
