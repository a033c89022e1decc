#pragma once
// "Fax Server": whether this user's Brevant sends, watches and receives
// through a HylaFAX fax server instead of the machine's own fax service,
// and how it reaches the server: let in by the server's host list without
// a password, or with a password (which hfaxd receives in clear, as the
// window says). Saved on OK: the settings to the user's registry key, the
// password to the user's secret store (never the registry).
#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace brevant::configui {

class frmFaxServer : public QDialog {
 public:
  explicit frmFaxServer(QWidget* parent = nullptr);

  QCheckBox *chkUseServer, *chkPassive;
  QLineEdit *txtServer, *txtUser, *txtPassword;
  QRadioButton *optHostAccess, *optPassword;
  QLabel* lblClearText;
  QSpinBox* spnPort;
  QPushButton *OKButton, *CancelButton;

  // Writes the settings; false (and a message and error record) when they
  // could not all be kept.
  bool Save();

 private:
  void UpdateEnabled();
};

}  // namespace brevant::configui
