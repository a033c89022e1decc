#include "receive/ui/ConfigServices.h"

#include <QFileDialog>
#include <filesystem>

#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "delivery/MailTransport.h"
#include "platform/process/Process.h"
#include "platform/ui/Ui.h"

namespace brevant::configui {
namespace {

// The folder browser: file-system folders only, titled as the caller
// says, opening at the current folder. Mail folders are not offered: fax
// files belong in a folder of their own, never inside the mail store.
std::optional<std::string> PickFolder(QWidget* owner, const std::string& title, const std::string& current) {
  QFileDialog dialog(owner, QString::fromStdString(title),
                     QString::fromStdString(current.empty() ? title : current));
  dialog.setObjectName("dlgBrowseFolder");
  dialog.setFileMode(QFileDialog::Directory);
  dialog.setOptions(QFileDialog::ShowDirsOnly | QFileDialog::DontUseNativeDialog);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first().toStdString();
}

ConfigServices Plain() {
  ConfigServices s;
  s.openFaxDeviceConfiguration = [] {
    NotAvailable("frmConfigureClient.FaxDeviceConfiguration");
    return false;
  };
  s.showFaxWarning = [] {
    platform::Spawn({GetExecutableFolder() + "/brevant", "warning;1;"}, GetExecutableFolder(), false);
  };
  s.sendDisconnectMail = SendDisconnectMail;
  s.openHelp = [] {
    // The desktop's browser shows the guide; a help file that is not there
    // or no browser to show it is said, not passed over.
    std::error_code ec;
    const std::string& help = Run().HelpFile;
    if (help.empty() || !std::filesystem::is_regular_file(help, ec) || !platform::ShellExecute("open", help))
      ui::MsgBox("The help file " + (help.empty() ? std::string("of Pelorin") : help) + " cannot be opened.",
                 "Pelorin");
  };
  s.pickFolder = PickFolder;
  return s;
}

}  // namespace

ConfigServices& Services() {
  static ConfigServices services = Plain();
  return services;
}

void ResetServices() {
  Services() = Plain();
}

}  // namespace brevant::configui
