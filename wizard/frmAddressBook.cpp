#include "wizard/frmAddressBook.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <algorithm>

#include "platform/ui/Ui.h"

namespace brevant::wizard {

bool PickFromContacts(std::vector<AddressEntry>* picked) {
  std::vector<mail::Contact> book = ReadAddressBook();
  if (ui::Unattended()) return true;  // nobody to pick: nothing picked
  QDialog dialog;
  dialog.setObjectName("frmAddressBook");
  dialog.setWindowTitle("AddressBook");
  auto* contacts = new QListWidget;
  contacts->setObjectName("lstContacts");
  contacts->setSelectionMode(QAbstractItemView::ExtendedSelection);
  for (const auto& c : book)
    contacts->addItem(QString::fromStdString(c.isGroup ? c.name + " (list)" : c.name));
  auto* to = new QListWidget;
  to->setObjectName("lstTo");
  std::vector<std::size_t> chosen;  // book positions, in the order chosen
  auto* choice = new QPushButton("Choice");
  choice->setObjectName("cmdChoice");
  auto choose = [&] {
    for (int row = 0; row < contacts->count(); ++row) {
      if (!contacts->item(row)->isSelected()) continue;
      if (std::find(chosen.begin(), chosen.end(), std::size_t(row)) != chosen.end()) continue;
      chosen.push_back(std::size_t(row));
      to->addItem(contacts->item(row)->text());
    }
    contacts->clearSelection();
  };
  QObject::connect(choice, &QPushButton::clicked, &dialog, choose);
  QObject::connect(contacts, &QListWidget::itemDoubleClicked, &dialog, choose);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);

  auto* layout = new QGridLayout(&dialog);
  layout->addWidget(new QLabel(QString::fromStdString(book.empty() ? "No contacts in " + ContactsFolder()
                                                                   : "Contacts (" + ContactsFolder() + "):")),
                    0, 0, 1, 2);
  layout->addWidget(contacts, 1, 0, 2, 1);
  layout->addWidget(choice, 1, 1, Qt::AlignTop);
  layout->addWidget(to, 2, 1);
  layout->addWidget(buttons, 3, 0, 1, 2);
  dialog.resize(520, 360);
  if (dialog.exec() != QDialog::Accepted) return true;
  for (std::size_t row : chosen) picked->push_back(EntryOf(book[row], book));
  return true;
}

}  // namespace brevant::wizard
