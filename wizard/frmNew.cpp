#include "wizard/frmNew.h"

#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/mMisc.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Logging.h"
#include "platform/ui/Ui.h"
#include "wizard/frmCover.h"
#include "wizard/frmEditRecipient.h"

namespace brevant::wizard {
namespace {

QPointer<frmNew> g_page;
constexpr const char* kCaption = "Send Fax Wizard";

void LogError(const char* source) {
  ErrInfo e = CurrentError();
  WriteErrorLog(e.number, e.description, source);
}

bool ContainsFax(const std::string& name) {
  return Q(name).contains("fax", Qt::CaseInsensitive);
}

std::string AfterAt(const std::string& address) {
  auto at = address.find('@');
  return at == std::string::npos ? address : address.substr(at + 1);
}

}  // namespace

frmNew* frmNew::Load() {
  if (!g_page || g_page->Unloading()) g_page = new frmNew;
  return g_page;
}
frmNew* frmNew::Loaded() {
  return g_page && !g_page->Unloading() ? g_page.data() : nullptr;
}

frmNew::frmNew() : WizardPage("frmNew", "New Fax") {
  Trace("frmNew->Form_Initialize");
  setWindowFlag(Qt::WindowStaysOnTopHint, false);
  QVBoxLayout* body = BuildFrame(
      "Recipient Information",
      {"Enter the name and number of the person you want to send the fax to, or click Address Book "
       "to select a recipient."});

  auto* grid = new QGridLayout;
  grid->setColumnStretch(1, 1);
  grid->setHorizontalSpacing(10);
  txtTo = new QLineEdit;
  txtTo->setObjectName("txtTo");
  auto* lblTo = new QLabel("To:");
  lblTo->setBuddy(txtTo);
  cmdAddress = new QPushButton("Address Book...");
  cmdAddress->setObjectName("cmdAddress");
  txtFaxNumber = new QLineEdit;
  txtFaxNumber->setObjectName("txtFaxNumber");
  auto* lblNumber = new QLabel("Fax Number:");
  lblNumber->setBuddy(txtFaxNumber);
  grid->addWidget(lblTo, 0, 0);
  grid->addWidget(txtTo, 0, 1);
  grid->addWidget(cmdAddress, 0, 2);
  grid->addWidget(lblNumber, 1, 0);
  grid->addWidget(txtFaxNumber, 1, 1);
  body->addLayout(grid);

  auto* multi = new QLabel(
      "To send to multiple recipients, type each recipient's information above, and then click Add to "
      "add the recipient to the list below.");
  multi->setWordWrap(true);
  body->addSpacing(6);
  body->addWidget(multi);

  auto* listRow = new QGridLayout;
  lvRecipients = new QTreeWidget;
  lvRecipients->setObjectName("lvRecipients");
  lvRecipients->setRootIsDecorated(false);
  lvRecipients->setUniformRowHeights(true);
  lvRecipients->setSelectionMode(QAbstractItemView::SingleSelection);
  lvRecipients->setHeaderLabels({"Recipient Name", "Fax Number"});
  lvRecipients->header()->setStretchLastSection(false);
  cmdAdd = new QPushButton("Add");
  cmdAdd->setObjectName("cmdAdd");
  cmdEdit = new QPushButton("Edit");
  cmdEdit->setObjectName("cmdEdit");
  cmdRemove = new QPushButton("Remove");
  cmdRemove->setObjectName("cmdRemove");
  listRow->addWidget(cmdAdd, 0, 1);
  listRow->addWidget(lvRecipients, 0, 0, 4, 1);
  listRow->addWidget(cmdEdit, 1, 1);
  listRow->addWidget(cmdRemove, 2, 1);
  listRow->setRowStretch(3, 1);
  body->addLayout(listRow, 1);
  FinishFrame("btnBack", "btnNext", "btnCancel");
  setTabOrder(txtTo, txtFaxNumber);
  setTabOrder(txtFaxNumber, cmdAddress);
  setTabOrder(cmdAddress, cmdAdd);
  setTabOrder(cmdAdd, lvRecipients);
  setTabOrder(lvRecipients, cmdEdit);
  setTabOrder(cmdEdit, cmdRemove);
  setTabOrder(cmdRemove, back_);

  connect(txtTo, &QLineEdit::textChanged, this, [this] { CheckEnableButton(); });
  connect(txtFaxNumber, &QLineEdit::textChanged, this, [this] { CheckEnableButton(); });
  connect(lvRecipients, &QTreeWidget::itemSelectionChanged, this, [this] { CheckEnableButton(); });
  connect(lvRecipients, &QTreeWidget::itemDoubleClicked, this, [this] { cmdEdit_Click(); });
  connect(cmdAdd, &QPushButton::clicked, this, [this] { cmdAdd_Click(); });
  connect(cmdEdit, &QPushButton::clicked, this, [this] { cmdEdit_Click(); });
  connect(cmdRemove, &QPushButton::clicked, this, [this] { cmdRemove_Click(); });
  connect(cmdAddress, &QPushButton::clicked, this, [this] { cmdAddress_Click(); });
  connect(next_, &QPushButton::clicked, this, [this] { btnNext_Click(); });
  connect(cancel_, &QPushButton::clicked, this, [this] { btnCancel_Click(); });
  resize(620, 500);
  Trace("frmNew->Form_Initialize - END");
  Trace("frmNew->Form_Load");
}

void frmNew::FormUnload() {
  Trace("frmNew->Form_Unload");
}

void frmNew::FitColumns() {
  // The number column takes what the name column leaves of the list's
  // client area, which is narrower while a vertical scroll bar shows: the
  // two columns always fill the list without a horizontal scroll bar.
  lvRecipients->doItemsLayout();
  int client = lvRecipients->viewport()->width();
  lvRecipients->setColumnWidth(1, std::max(0, client - lvRecipients->header()->sectionPosition(1)));
}

void frmNew::Activate() {
  if (skipActivate_) {
    skipActivate_ = false;
    return;
  }
  try {
    Trace("frmNew->Activate");
    txtTo->clear();
    txtFaxNumber->clear();
    lvRecipients->clear();
    // The name column has the list's standard width (an inch, or what its
    // heading needs); the number column reaches from its left edge to the
    // end of the client area.
    lvRecipients->setColumnWidth(0, std::max(logicalDpiX(), lvRecipients->header()->sectionSizeHint(0)));
    lvRecipients->setColumnWidth(
        1, std::max(0, lvRecipients->viewport()->width() - lvRecipients->header()->sectionPosition(1)));
    const FaxJobRecord& job = FaxJob();
    for (std::size_t k = 1; k <= job.g_arrFaxName.Count(); ++k) {
      auto* row = new QTreeWidgetItem(lvRecipients);
      row->setText(0, Q(job.g_arrFaxName[k]));
      row->setText(1, Q(k <= job.g_arrFaxNumber.Count() ? job.g_arrFaxNumber[k] : ""));
    }
    FitColumns();
    back_->setEnabled(false);
    CheckEnableButton();
    txtTo->setFocus();
    Trace("frmNew->Activate - END");
  } catch (...) {
    LogError("frmNew.Activate");
  }
}

void frmNew::CheckEnableButton() {
  try {
    std::string to = TrimBlanks(S(txtTo->text())), number = TrimBlanks(S(txtFaxNumber->text()));
    cmdAdd->setEnabled(!to.empty() && !number.empty() && IsValidFaxNumber(number));
    bool selected = !lvRecipients->selectedItems().isEmpty();
    cmdEdit->setEnabled(selected);
    cmdRemove->setEnabled(selected);
  } catch (...) {
    LogError("frmNew.CheckEnableButton");
  }
}

void frmNew::cmdAdd_Click() {
  try {
    Trace("frmNew->cmdAdd_Click");
    QString to = Q(TrimBlanks(S(txtTo->text()))), number = Q(TrimBlanks(S(txtFaxNumber->text())));
    for (int i = 0; i < lvRecipients->topLevelItemCount(); ++i) {
      QTreeWidgetItem* row = lvRecipients->topLevelItem(i);
      if (row->text(1) == number && row->text(0) == to) {
        txtTo->clear();
        txtFaxNumber->clear();
        return;
      }
    }
    auto* row = new QTreeWidgetItem(lvRecipients);
    row->setText(0, to);
    row->setText(1, number);
    FitColumns();
    lvRecipients->scrollToItem(row);
    txtTo->clear();
    txtFaxNumber->clear();
    cmdAdd->setEnabled(false);
    Trace("frmNew->cmdAdd_Click - END");
  } catch (...) {
    LogError("frmNew.cmdAdd_Click");
  }
}

void frmNew::cmdEdit_Click() {
  try {
    Trace("frmNew->cmdEdit_Click");
    QList<QTreeWidgetItem*> selected = lvRecipients->selectedItems();
    if (!selected.isEmpty()) {
      QTreeWidgetItem* row = selected.first();
      QPointer<frmEditRecipient> dialog = new frmEditRecipient(this);
      dialog->txtName->setText(row->text(0));
      dialog->txtNumber->setText(row->text(1));
      skipActivate_ = true;
      dialog->ShowModal();
      if (dialog) {
        if (!dialog->txtName->text().isEmpty() && !dialog->txtNumber->text().isEmpty()) {
          row->setText(0, dialog->txtName->text());
          row->setText(1, dialog->txtNumber->text());
        }
        dialog->Unload();
      }
      skipActivate_ = false;
    }
    Trace("frmNew->cmdEdit_Click - END");
  } catch (...) {
    LogError("frmNew.cmdEdit_Click");
  }
}

void frmNew::cmdRemove_Click() {
  try {
    Trace("frmNew->cmdRemove_Click");
    QList<QTreeWidgetItem*> selected = lvRecipients->selectedItems();
    if (!selected.isEmpty()) delete selected.first();
    FitColumns();
    CheckEnableButton();
    Trace("frmNew->cmdRemove_Click - END");
  } catch (...) {
    LogError("frmNew.cmdRemove_Click");
  }
}

void frmNew::ExtractMails(const AddressEntry& entry) {
  try {
    if (!entry.members.empty()) {
      for (const AddressEntry& member : entry.members) ExtractMails(member);
      return;
    }
    txtTo->setText(Q(entry.name));
    std::string number;
    if (ContainsFax(entry.name)) {
      // The address book's own fax entries carry the number after the "@".
      number = AfterAt(entry.address);
    } else {
      for (const std::string& n : entry.faxNumbers)
        if (!n.empty()) {
          number = n;
          break;
        }
    }
    txtFaxNumber->setText(Q(number));
    if (!number.empty() && number != "SMTP") cmdAdd_Click();
  } catch (...) {
    LogError("frmNew.ExtractMails");
  }
}

void frmNew::cmdAddress_Click() {
  Trace("frmNew->cmdAddress_Click");
  try {
    const auto& book = WizardHooks().AddressBook;
    std::vector<AddressEntry> picked;
    if (!book || !book(&picked)) {
      ui::MsgBox("Please install CDO.", "Error");
    } else {
      for (const AddressEntry& e : picked) ExtractMails(e);
    }
  } catch (...) {
    LogError("frmNew.cmdAddress");
  }
  Trace("frmNew->cmdAddress_Click - END");
}

void frmNew::btnNext_Click() {
  try {
    Trace("frmNew->btnNext_Click");
    std::string to = TrimBlanks(S(txtTo->text())), number = TrimBlanks(S(txtFaxNumber->text()));
    if (lvRecipients->topLevelItemCount() == 0 || !to.empty() || !number.empty()) {
      const char* problem = nullptr;
      if (to.empty())
        problem = "Please enter the recipient's name.";
      else if (number.empty())
        problem = "Please enter the recipient's fax number.";
      else if (!IsValidFaxNumber(number))
        problem = "Please enter valid fax number.";
      if (problem) {
        ui::MsgBox(problem, kCaption);
        return;
      }
    }
    if (cmdAdd->isEnabled()) cmdAdd_Click();
    int rows = lvRecipients->topLevelItemCount();
    if (rows == 0) return;
    try {
      FaxJobRecord& job = FaxJob();
      job.g_arrFaxName.Clear();
      job.g_arrFaxNumber.Clear();
      job.g_arrFaxName.Resize(std::size_t(rows));
      job.g_arrFaxNumber.Resize(std::size_t(rows));
      for (int i = 0; i < rows; ++i) {
        job.g_arrFaxName[std::size_t(i) + 1] = S(lvRecipients->topLevelItem(i)->text(0));
        job.g_arrFaxNumber[std::size_t(i) + 1] = S(lvRecipients->topLevelItem(i)->text(1));
      }
    } catch (...) {
      LogError("frmNew->btnNext_Click");
    }
    QPoint where = pos();
    Unload();
    frmCover* cover = frmCover::Load();
    cover->move(where);
    cover->ShowAt(nullptr, false);
    Trace("frmNew->btnNext_Click - END");
  } catch (...) {
    LogError("frmNew->btnNext_Click");
  }
}

void frmNew::btnCancel_Click() {
  try {
    Trace("frmNew->cmdCancel_Click");
    Unload();
    exitApp(0);
    Trace("frmNew->cmdCancel_Click - END");
  } catch (...) {
    LogError("frmNew.btnCancel_Click()");
  }
}

}  // namespace brevant::wizard
