#pragma once
// "Fax Server": whether this user's Brevant sends, watches and receives
// through a HylaFAX fax server instead of the machine's own fax service,
// and how it reaches the server. Saved on OK: the settings to the user's
// registry key, the password to the user's password file (never the
// registry).
#include <QDialog>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace brevant::configui {

class frmFaxServer : public QDialog {
 public:
  explicit frmFaxServer(QWidget* parent = nullptr);

  QCheckBox *chkUseServer, *chkPassive;
  QLineEdit *txtServer, *txtUser, *txtPassword;
  QSpinBox* spnPort;
  QPushButton *OKButton, *CancelButton;

  // Writes the settings; false (and a message and error record) when they
  // could not all be kept.
  bool Save();

 private:
  void UpdateEnabled();
};

}  // namespace brevant::configui
