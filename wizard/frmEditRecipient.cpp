#include "wizard/frmEditRecipient.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace brevant::wizard {

frmEditRecipient::frmEditRecipient(QWidget* parent) : Form("frmEditRecipient") {
  setParent(parent, Qt::Dialog);
  setWindowTitle("Check Fax Number");
  auto* outer = new QVBoxLayout(this);
  auto* frame = new QGroupBox("Recipient");
  frame->setObjectName("Frame1");
  auto* form = new QFormLayout(frame);
  txtName = new QLineEdit;
  txtName->setObjectName("txtName");
  txtNumber = new QLineEdit;
  txtNumber->setObjectName("txtNumber");
  form->addRow("To:", txtName);
  form->addRow("Fax Number:", txtNumber);
  outer->addWidget(frame);
  auto* buttons = new QDialogButtonBox;
  QPushButton* ok = buttons->addButton("OK", QDialogButtonBox::AcceptRole);
  ok->setObjectName("cmdOK");
  ok->setDefault(true);
  QPushButton* cancel = buttons->addButton("Cancel", QDialogButtonBox::RejectRole);
  cancel->setObjectName("cmdCancel");
  outer->addWidget(buttons);
  connect(ok, &QPushButton::clicked, this, [this] { hide(); });
  connect(cancel, &QPushButton::clicked, this, [this] { Cancel(); });
  setMinimumWidth(fontMetrics().averageCharWidth() * 48);
}

void frmEditRecipient::Cancel() {
  txtName->clear();
  txtNumber->clear();
  hide();
}

}  // namespace brevant::wizard
