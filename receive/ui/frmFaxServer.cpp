#include "receive/ui/frmFaxServer.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "common/CWinReg.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "platform/faxservice/HylaFax.h"
#include "platform/ui/Ui.h"

namespace brevant::configui {

namespace {
QString Q(const std::string& s) { return QString::fromUtf8(s.c_str()); }
std::string S(const QString& s) { return s.trimmed().toUtf8().toStdString(); }
}  // namespace

frmFaxServer::frmFaxServer(QWidget* parent) : QDialog(parent) {
  setObjectName("frmFaxServer");
  setWindowTitle("Fax Server");
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);
  chkUseServer = new QCheckBox("Use a fax server (HylaFAX)");
  txtServer = new QLineEdit;
  spnPort = new QSpinBox;
  spnPort->setRange(1, 65535);
  txtUser = new QLineEdit;
  txtPassword = new QLineEdit;
  txtPassword->setEchoMode(QLineEdit::Password);
  chkPassive = new QCheckBox("Passive data connections");
  chkPassive->setToolTip("Brevant opens the data connections itself (through firewalls and NAT).");
  OKButton = new QPushButton("OK");
  CancelButton = new QPushButton("Cancel");
  OKButton->setDefault(true);
  CancelButton->setAutoDefault(false);

  auto* form = new QFormLayout;
  form->addRow("Server", txtServer);
  form->addRow("Port", spnPort);
  form->addRow("User", txtUser);
  form->addRow("Password", txtPassword);
  form->addRow("", chkPassive);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(OKButton);
  buttons->addWidget(CancelButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(chkUseServer);
  layout->addLayout(form);
  layout->addLayout(buttons);

  faxsvc::FaxServerSettings s = faxsvc::ReadFaxServerSettings();
  chkUseServer->setChecked(s.hylafax);
  txtServer->setText(Q(s.host));
  spnPort->setValue(s.port);
  txtUser->setText(Q(s.user));
  txtUser->setPlaceholderText("your login name");
  txtPassword->setText(Q(s.password));
  chkPassive->setChecked(s.passive);
  UpdateEnabled();

  connect(chkUseServer, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
  connect(OKButton, &QPushButton::clicked, this, [this] {
    if (Save()) accept();
  });
  connect(CancelButton, &QPushButton::clicked, this, [this] { reject(); });
}

void frmFaxServer::UpdateEnabled() {
  for (QWidget* w : std::initializer_list<QWidget*>{txtServer, spnPort, txtUser, txtPassword, chkPassive})
    w->setEnabled(chkUseServer->isChecked());
}

bool frmFaxServer::Save() {
  CWinReg reg;
  std::string why;
  bool ok = reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, faxsvc::kFaxServerKey, true);
  if (ok) {
    ok = reg.SetString("Service", chkUseServer->isChecked() ? "HylaFAX" : "brevant-faxd") &&
         reg.SetString("Server", S(txtServer->text())) && reg.SetDword("Port", spnPort->value()) &&
         reg.SetString("User", S(txtUser->text())) && reg.SetDword("PassiveMode", chkPassive->isChecked() ? 1 : 0);
    if (!ok) why = "the settings cannot be written to the registry store";
  } else {
    why = "the registry key of the fax server settings cannot be opened";
  }
  if (ok) ok = faxsvc::StoreFaxServerPassword(txtPassword->text().toUtf8().toStdString(), &why);
  if (!ok) {
    WriteErrorLog(kErrPathFileAccess, why, "frmFaxServer.Save");
    ui::MsgBox("The fax server settings were not saved: " + why, "Pelorin");
  }
  return ok;
}

}  // namespace brevant::configui
