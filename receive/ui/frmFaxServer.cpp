#include "receive/ui/frmFaxServer.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "common/CWinReg.h"
#include "common/Errors.h"
#include "common/FaxServerConfig.h"
#include "common/Logging.h"
#include "faxservice/client/HylaFax.h"
#include "platform/ui/Ui.h"

namespace brevant::configui {

namespace {
QString Q(const std::string& s) {
  return QString::fromUtf8(s.c_str());
}
std::string S(const QString& s) {
  return s.trimmed().toUtf8().toStdString();
}
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
  // How the server lets this user in: by the computer (its host list,
  // hosts.hfaxd, names this computer and needs no password) or by a
  // password, which hfaxd's protocol carries unencrypted.
  optHostAccess = new QRadioButton("No password: the server lets this computer in (hosts.hfaxd)");
  optPassword = new QRadioButton("Password:");
  txtPassword = new QLineEdit;
  txtPassword->setEchoMode(QLineEdit::Password);
  lblClearText = new QLabel(
      "HylaFAX's hfaxd receives the password unencrypted: on the way to a server on another computer "
      "anyone who can watch the network can read it. Where the server allows it, let this computer in "
      "by the server's host list instead and use no password.");
  lblClearText->setObjectName("lblClearText");
  lblClearText->setWordWrap(true);
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
  form->addRow("", optHostAccess);
  form->addRow(optPassword, txtPassword);
  form->addRow("", lblClearText);
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
  (s.password.empty() ? optHostAccess : optPassword)->setChecked(true);
  chkPassive->setChecked(s.passive);
  UpdateEnabled();

  connect(chkUseServer, &QCheckBox::toggled, this, [this] { UpdateEnabled(); });
  connect(optPassword, &QRadioButton::toggled, this, [this] { UpdateEnabled(); });
  connect(OKButton, &QPushButton::clicked, this, [this] {
    if (Save()) accept();
  });
  connect(CancelButton, &QPushButton::clicked, this, [this] { reject(); });
}

void frmFaxServer::UpdateEnabled() {
  for (QWidget* w : std::initializer_list<QWidget*>{txtServer, spnPort, txtUser, optHostAccess, optPassword,
                                                    lblClearText, chkPassive})
    w->setEnabled(chkUseServer->isChecked());
  txtPassword->setEnabled(chkUseServer->isChecked() && optPassword->isChecked());
}

bool frmFaxServer::Save() {
  CWinReg reg;
  std::string why;
  bool ok = reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, faxsvc::kFaxServerKey, true);
  if (ok) {
    ok = reg.SetString("Service", chkUseServer->isChecked() ? "HylaFAX" : "brevant-faxd") &&
         reg.SetString("Server", S(txtServer->text())) && reg.SetDword("Port", spnPort->value()) &&
         reg.SetString("User", S(txtUser->text())) &&
         reg.SetDword("PassiveMode", chkPassive->isChecked() ? 1 : 0);
    if (!ok) why = "the settings cannot be written to the registry store";
  } else {
    why = "the registry key of the fax server settings cannot be opened";
  }
  // Host-based access keeps no password at all.
  const std::string password = optPassword->isChecked() ? txtPassword->text().toUtf8().toStdString() : "";
  if (ok) ok = faxsvc::StoreFaxServerPassword(password, &why);
  if (!ok) {
    WriteErrorLog(kErrPathFileAccess, why, "frmFaxServer.Save");
    ui::MsgBox("The fax server settings were not saved: " + why, "Pelorin");
  }
  return ok;
}

}  // namespace brevant::configui
