#include "receive/ui/frmConfigureClient.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>

#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "faxjob/CXmlGroups.h"
#include "platform/ui/Ui.h"
#include "receive/ui/ConfigServices.h"
#include "receive/ui/frmFaxServer.h"

namespace brevant::configui {
namespace {

QString Q(const std::string& s) {
  return QString::fromLocal8Bit(s.c_str());
}
std::string S(const QString& s) {
  return s.toLocal8Bit().toStdString();
}

// Entry and end lines of an event handler in the trace log; a log that
// cannot be written does not stop the handler.
class Trace {
 public:
  explicit Trace(std::string name) : name_("frmConfigureClient->" + std::move(name)) { Write(name_); }
  ~Trace() { Write(name_ + " - END"); }

 private:
  static void Write(const std::string& text) {
    try {
      WriteTraceLog(text, "");
    } catch (...) {
    }
  }
  std::string name_;
};

void LogCurrent(const std::string& source) {
  ErrInfo e = CurrentError();
  WriteErrorLog(e.number, e.description, source);
}

}  // namespace

frmConfigureClient::frmConfigureClient(ExitAppFn exitApp, QWidget* parent)
    : QDialog(parent), exitApp_(exitApp) {
  setObjectName("frmConfigureClient");
  setWindowTitle("Pelorin Configure");
  // A normal window: not kept above other programs' windows.
  setWindowFlag(Qt::WindowStaysOnTopHint, false);
  setWindowFlag(Qt::WindowContextHelpButtonHint, false);

  auto named = [](QWidget* w, const char* name) {
    w->setObjectName(name);
    return w;
  };

  // Delivery path.
  auto* delivery = new QGroupBox("Delivery of outgoing faxes");
  optFaxDevice = static_cast<QRadioButton*>(named(new QRadioButton("Send fax by MS Fax"), "optFaxDevice"));
  optFaxDevice->setToolTip("All outgoing faxes send using fax device.");
  optFaxMail = static_cast<QRadioButton*>(named(new QRadioButton("Send fax by Talvane"), "optFaxMail"));
  optFaxMail->setToolTip("All outgoing faxes send using Talvane service.");
  optFaxEFax = static_cast<QRadioButton*>(named(new QRadioButton("Send fax by E-Fax"), "optFaxEFax"));
  optFaxEFax->setToolTip("All outgoing faxes send using Talvane service.");
  auto* deliveryLayout = new QVBoxLayout(delivery);
  for (QRadioButton* o : {optFaxDevice, optFaxMail, optFaxEFax}) deliveryLayout->addWidget(o);

  // The fax machine.
  auto* device = new QGroupBox("Fax device");
  Label2 = static_cast<QLabel*>(named(new QLabel("Fax Machine"), "Label2"));
  txtFaxMachine = static_cast<QLineEdit*>(named(new QLineEdit, "txtFaxMachine"));
  cmdFaxDevice = static_cast<QPushButton*>(named(new QPushButton("Fax Configure"), "cmdFaxDevice"));
  Label6 = static_cast<QLabel*>(named(new QLabel("PC must be connected to phone line!"), "Label6"));
  QFont notice = Label6->font();
  notice.setItalic(true);
  Label6->setFont(notice);
  auto* deviceLayout = new QGridLayout(device);
  deviceLayout->addWidget(Label2, 0, 0);
  deviceLayout->addWidget(txtFaxMachine, 0, 1);
  deviceLayout->addWidget(cmdFaxDevice, 0, 2);
  deviceLayout->addWidget(Label6, 1, 1, 1, 2);
  cmdFaxServer = static_cast<QPushButton*>(named(new QPushButton("Fax Server..."), "cmdFaxServer"));
  cmdFaxServer->setToolTip("Send, receive and watch faxes through an office fax server.");
  deviceLayout->addWidget(cmdFaxServer, 2, 2);
  deviceLayout->setColumnStretch(1, 1);

  // The mail-fax service.
  auto* service = new QGroupBox("Talvane fax service");
  Label1 = static_cast<QLabel*>(named(new QLabel("Fax Mail"), "Label1"));
  txtServerEmail = static_cast<QLineEdit*>(named(new QLineEdit, "txtServerEmail"));
  chkAllIncoming =
      static_cast<QCheckBox*>(named(new QCheckBox("Receive all incoming faxes"), "chkAllIncoming"));
  cmdDisconnect = static_cast<QPushButton*>(named(new QPushButton("Disconnect"), "cmdDisconnect"));
  cmdDisconnect->setToolTip("Disconnect from Talvane.");
  auto* serviceLayout = new QGridLayout(service);
  serviceLayout->addWidget(Label1, 0, 0);
  serviceLayout->addWidget(txtServerEmail, 0, 1, 1, 2);
  serviceLayout->addWidget(chkAllIncoming, 1, 1);
  serviceLayout->addWidget(cmdDisconnect, 1, 2);
  serviceLayout->setColumnStretch(1, 1);

  // Where faxes go.
  auto* folders = new QGroupBox("Incoming and outgoing faxes");
  Label3 =
      static_cast<QLabel*>(named(new QLabel("Forward incoming faxes (e.g. office@example.com)"), "Label3"));
  txtForwardEmail = static_cast<QLineEdit*>(named(new QLineEdit, "txtForwardEmail"));
  Label4 = static_cast<QLabel*>(named(new QLabel("Folder to store incoming faxes"), "Label4"));
  txtIncomFolder = static_cast<QLineEdit*>(named(new QLineEdit, "txtIncomFolder"));
  cmdInboxFolder = static_cast<QPushButton*>(named(new QPushButton("..."), "cmdInboxFolder"));
  Label5 = static_cast<QLabel*>(named(new QLabel("Folder to store outgoing faxes"), "Label5"));
  txtOutgFolder = static_cast<QLineEdit*>(named(new QLineEdit, "txtOutgFolder"));
  cmdSentFolder = static_cast<QPushButton*>(named(new QPushButton("..."), "cmdSentFolder"));
  for (QPushButton* b : {cmdInboxFolder, cmdSentFolder}) b->setFixedWidth(36);
  auto* foldersLayout = new QGridLayout(folders);
  foldersLayout->addWidget(Label3, 0, 0, 1, 2);
  foldersLayout->addWidget(txtForwardEmail, 1, 0, 1, 2);
  foldersLayout->addWidget(Label4, 2, 0, 1, 2);
  foldersLayout->addWidget(txtIncomFolder, 3, 0);
  foldersLayout->addWidget(cmdInboxFolder, 3, 1);
  foldersLayout->addWidget(Label5, 4, 0, 1, 2);
  foldersLayout->addWidget(txtOutgFolder, 5, 0);
  foldersLayout->addWidget(cmdSentFolder, 5, 1);

  // The two short labels line up.
  int labelWidth = std::max(Label1->sizeHint().width(), Label2->sizeHint().width());
  Label1->setMinimumWidth(labelWidth);
  Label2->setMinimumWidth(labelWidth);

  cmdHelp = static_cast<QPushButton*>(named(new QPushButton("Help"), "cmdHelp"));
  OKButton = static_cast<QPushButton*>(named(new QPushButton("OK"), "OKButton"));
  CancelButton = static_cast<QPushButton*>(named(new QPushButton("Cancel"), "CancelButton"));
  OKButton->setDefault(true);
  for (QPushButton* b :
       {cmdFaxDevice, cmdFaxServer, cmdDisconnect, cmdInboxFolder, cmdSentFolder, cmdHelp, CancelButton})
    b->setAutoDefault(false);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(cmdHelp);
  buttons->addStretch(1);
  buttons->addWidget(OKButton);
  buttons->addWidget(CancelButton);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(delivery);
  layout->addWidget(device);
  layout->addWidget(service);
  layout->addWidget(folders);
  layout->addLayout(buttons);
  resize(480, sizeHint().height());

  connect(txtServerEmail, &QLineEdit::textChanged, this, [this] { ApplyDisconnectRule(); });
  connect(chkAllIncoming, &QCheckBox::clicked, this, [this] { ApplyDisconnectRule(); });
  connect(OKButton, &QPushButton::clicked, this, [this] { OKButton_Click(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButton_Click(); });
  connect(cmdDisconnect, &QPushButton::clicked, this, [this] { cmdDisconnect_Click(); });
  connect(cmdFaxDevice, &QPushButton::clicked, this, [this] { cmdFaxDevice_Click(); });
  connect(cmdFaxServer, &QPushButton::clicked, this, [this] {
    Trace t("cmdFaxServer_Click");
    frmFaxServer dlg(this);
    dlg.exec();
  });
  connect(cmdInboxFolder, &QPushButton::clicked, this,
          [this] { BrowseFolder(txtIncomFolder, "cmdInboxFolder_Click"); });
  connect(cmdSentFolder, &QPushButton::clicked, this,
          [this] { BrowseFolder(txtOutgFolder, "cmdSentFolder_Click"); });
  connect(cmdHelp, &QPushButton::clicked, this, [this] { cmdHelp_Click(); });

  formId_ = ui::RegisterForm("frmConfigureClient", [this] {
    finished_ = true;
    hide();
  });
  GetInitData();
}

frmConfigureClient::~frmConfigureClient() {
  if (formId_) ui::UnregisterForm(formId_);
}

void frmConfigureClient::GetInitData() {
  Trace t("GetInitData");
  try {
    // Another program may have changed the shared file since start-up; the
    // registry-held values are those read at start-up.
    CXmlGroups groups;
    groups.ReadCfgProps();
  } catch (...) {
    LogCurrent("frmConfigureClient.GetInitData");
  }
  ClientConfig& c = Config();
  txtServerEmail->setText(Q(c.EmailFax));
  optFaxMail->setChecked(c.ProgramType == 1);
  optFaxEFax->setChecked(c.ProgramType == 2);
  optFaxDevice->setChecked(c.ProgramType != 1 && c.ProgramType != 2);
  txtFaxMachine->setText(Q(c.FaxDevice));
  chkAllIncoming->setChecked(c.ReceiveAll);
  cmdDisconnect->setEnabled(c.FaxGroupConnect);
  txtForwardEmail->setText(Q(c.ForwardEmail));
  txtIncomFolder->setText(Q(c.InboxPath));
  txtOutgFolder->setText(Q(c.SentPath));
}

// "Disconnect" only makes sense with an address and while all incoming
// faxes are asked for.
void frmConfigureClient::ApplyDisconnectRule() {
  if (txtServerEmail->text().trimmed().isEmpty())
    cmdDisconnect->setEnabled(false);
  else
    cmdDisconnect->setEnabled(chkAllIncoming->isChecked());
}

void frmConfigureClient::SetData() {
  ClientConfig& c = Config();
  if (optFaxEFax->isChecked()) {
    c.ProgramType = 2;
  } else if (optFaxMail->isChecked()) {
    c.ProgramType = 1;
    if (!txtServerEmail->text().trimmed().isEmpty() && chkAllIncoming->isChecked())
      cmdDisconnect->setEnabled(true);
  } else {
    c.ProgramType = 0;
  }
  c.FaxDevice = S(txtFaxMachine->text());
  c.EmailFax = S(txtServerEmail->text());
  c.ReceiveAll = chkAllIncoming->isChecked();
  c.FaxGroupConnect = cmdDisconnect->isEnabled();
  c.ForwardEmail = S(txtForwardEmail->text());
  c.InboxPath = S(txtIncomFolder->text());
  c.SentPath = S(txtOutgFolder->text());
  WriteClientPaths();
  CXmlGroups groups;
  groups.WriteCfgProps();
}

void frmConfigureClient::OKButton_Click() {
  Trace t("OKButton_Click");
  try {
    SetData();
  } catch (...) {
    LogCurrent("frmConfigureClient.OKButton_Click");
  }
  Finish();
}

void frmConfigureClient::CancelButton_Click() {
  Trace t("CancelButton_Click");
  Finish();
}

void frmConfigureClient::reject() {
  CancelButton_Click();
}

void frmConfigureClient::closeEvent(QCloseEvent* event) {
  event->accept();
  if (!finished_) CancelButton_Click();
}

void frmConfigureClient::Finish() {
  if (finished_) return;
  finished_ = true;
  if (formId_) ui::UnregisterForm(formId_);
  formId_ = 0;
  QDialog::done(0);
  if (exitApp_) exitApp_(0);
}

void frmConfigureClient::cmdDisconnect_Click() {
  Trace t("cmdDisconnect_Click");
  Config().EmailFax = S(txtServerEmail->text());
  if (txtServerEmail->text().trimmed().isEmpty()) return;
  DisconnectFromServer();
  cmdDisconnect->setEnabled(false);
  Config().FaxGroupConnect = false;
  chkAllIncoming->setChecked(false);
}

void frmConfigureClient::DisconnectFromServer() {
  try {
    // A failure is recorded by the sender; the button is disabled anyway.
    Services().sendDisconnectMail(Config().EmailFax);
  } catch (...) {
    LogCurrent("frmConfigure.DisconnectFromServer");
  }
}

void frmConfigureClient::cmdFaxDevice_Click() {
  Trace t("cmdFaxDevice_Click");
  try {
    // Without a fax device or its configuration the fax warning explains
    // what is missing.
    if (!Services().openFaxDeviceConfiguration()) Services().showFaxWarning();
  } catch (...) {
    LogCurrent("Brevant.frmFaxConfigure");
  }
}

void frmConfigureClient::BrowseFolder(QLineEdit* box, const char* handler) {
  Trace t(handler);
  try {
    std::string current = S(box->text());
    std::string title = current.empty() ? GetProgramFolder() : current;
    if (auto picked = Services().pickFolder(this, title, current)) {
      std::string path = *picked;
      path = path.substr(0, path.find('\0'));
      box->setText(Q(path));
    }
  } catch (...) {
    LogCurrent(std::string("frmConfigureClient.") + handler);
  }
}

void frmConfigureClient::cmdHelp_Click() {
  Trace t("cmdHelp_Click");
  try {
    Services().openHelp();
  } catch (...) {
    LogCurrent("frmConfigureClient.cmdHelp_Click");
  }
}

}  // namespace brevant::configui
