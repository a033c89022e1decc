#pragma once
// frmConfigureClient: the delivery path, the mail-fax and forwarding
// addresses, the fax folders and the fax machine, saved to "FaxGroup.xml"
// and the registry on OK.
#include <QDialog>

#include "receive/ui/ConfigDialogs.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace brevant::configui {

class frmConfigureClient : public QDialog {
 public:
  explicit frmConfigureClient(ExitAppFn exitApp, QWidget* parent = nullptr);
  ~frmConfigureClient() override;

  void GetInitData();
  void SetData();
  void DisconnectFromServer();

  QRadioButton *optFaxDevice, *optFaxMail, *optFaxEFax;
  QLineEdit *txtFaxMachine, *txtServerEmail, *txtForwardEmail, *txtIncomFolder, *txtOutgFolder;
  QPushButton *cmdFaxDevice, *cmdDisconnect, *cmdInboxFolder, *cmdSentFolder, *cmdHelp;
  QPushButton *OKButton, *CancelButton;
  // Opens "Fax Server" (frmFaxServer.h): a HylaFAX server as the fax service.
  QPushButton* cmdFaxServer;
  QCheckBox* chkAllIncoming;
  QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  void ApplyDisconnectRule();
  void OKButton_Click();
  void CancelButton_Click();
  void cmdDisconnect_Click();
  void cmdFaxDevice_Click();
  void BrowseFolder(QLineEdit* box, const char* handler);
  void cmdHelp_Click();
  void Finish();

  ExitAppFn exitApp_;
  int formId_ = 0;
  bool finished_ = false;
};

}  // namespace brevant::configui
