#include "receive/ui/ConfigServices.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "delivery/MailTransport.h"
#include "platform/env/Environment.h"
#include "platform/fs/SafeFiles.h"
#include "platform/process/Process.h"

namespace fs = std::filesystem;

namespace brevant::configui {
namespace {

// The mail store's top folder, found the way the mail store finds it.
std::string MaildirRoot() {
  if (std::string m = platform::env::Get(platform::env::Var::MailDir); !m.empty()) return m;
  return platform::HomeFolder() + "/Maildir";
}

// A list of the mail folders with a button for any other folder.
std::optional<std::string> PickFolder(QWidget* owner, const std::string& title,
                                      const std::string& current) {
  QDialog dialog(owner);
  dialog.setObjectName("frmPickFolder");
  dialog.setWindowTitle(QString::fromStdString(title));
  auto* list = new QListWidget(&dialog);
  list->setObjectName("lstFolders");
  for (const std::string& f : Services().mailFolders()) {
    auto* item = new QListWidgetItem(QString::fromStdString(f), list);
    if (f == current) list->setCurrentItem(item);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  QPushButton* other = buttons->addButton("Other Folder...", QDialogButtonBox::ActionRole);
  std::optional<std::string> chosen;
  QObject::connect(other, &QPushButton::clicked, &dialog, [&] {
    QString dir = QFileDialog::getExistingDirectory(&dialog, QString::fromStdString(title),
                                                    QString::fromStdString(current));
    if (!dir.isEmpty()) {
      chosen = dir.toStdString();
      dialog.accept();
    }
  });
  QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
    if (list->currentItem()) chosen = list->currentItem()->text().toStdString();
    dialog.accept();
  });
  QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  QObject::connect(list, &QListWidget::itemDoubleClicked, &dialog, [&](QListWidgetItem* item) {
    chosen = item->text().toStdString();
    dialog.accept();
  });
  auto* layout = new QVBoxLayout(&dialog);
  layout->addWidget(list);
  layout->addWidget(buttons);
  dialog.resize(460, 320);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  return chosen;
}

ConfigServices Plain() {
  ConfigServices s;
  s.mailFolders = MaildirFolders;
  s.openFaxDeviceConfiguration = [] {
    NotAvailable("frmConfigureClient.FaxDeviceConfiguration");
    return false;
  };
  s.showFaxWarning = [] {
    platform::Spawn({GetExecutableFolder() + "/brevant", "warning;1;"}, GetExecutableFolder(), false);
  };
  s.sendDisconnectMail = SendDisconnectMail;
  s.openHelp = [] { platform::ShellExecute("open", Run().HelpFile); };
  s.pickFolder = PickFolder;
  return s;
}

}  // namespace

std::vector<std::string> MaildirFolders() {
  // The store's top folder holds "cur", "new" and "tmp"; each subfolder is
  // a Maildir of its own (".Sent Items" in the usual layout, or plain names).
  std::vector<std::string> out;
  std::error_code ec;
  fs::path root = MaildirRoot();
  bool rootIsFolder = fs::is_directory(root / "cur", ec);
  if (rootIsFolder) out.push_back(root.string());
  for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec) && fs::is_directory(it->path() / "cur", ec)) out.push_back(it->path().string());
  }
  std::sort(out.begin() + (rootIsFolder ? 1 : 0), out.end());
  return out;
}

ConfigServices& Services() {
  static ConfigServices services = Plain();
  return services;
}

void ResetServices() { Services() = Plain(); }

}  // namespace brevant::configui
