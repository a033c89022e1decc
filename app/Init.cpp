#include "app/Init.h"

#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "common/MailSessions.h"
#include "platform/process/Process.h"
#include "platform/ui/Ui.h"
#include "receive/FaxImport.h"
#include "receive/QueueControl.h"

namespace brevant {

Init::~Init() { mCommon::Dispose(); }

void Init::ShowFaxNew(const StringList&, const StringList&, const StringList&, bool) {
  NotAvailable("Init.ShowFaxNew");
}
void Init::ShowWarning(const std::string&) { NotAvailable("Init.ShowWarning"); }
void Init::Config() { NotAvailable("Init.Config"); }
void Init::AutoRecv() { brevant::AutoRecv(); }
void Init::FaxPause() { brevant::FaxPause(); }
void Init::FaxStop() { brevant::FaxStop(); }

void Init::FaxFolder() {
  // The result is ignored: a missing file manager only means nothing opens.
  platform::ShellExecute("explore", brevant::Config().InboxPath);
}

void Init::scan() { NotAvailable("Init.scan"); }
void Init::ShowFaxCover(const StringList&, const StringList&) { NotAvailable("Init.ShowFaxCover"); }
void Init::FaxImport() { RunFaxImport(); }
void Init::FaxSender() { NotAvailable("Init.FaxSender"); }
void Init::FaxConsole() { NotAvailable("Init.FaxConsole"); }
void Init::FaxAbout() { NotAvailable("Init.FaxAbout"); }
void Init::Repair() { NotAvailable("Init.Repair"); }
void Init::FaxHelp() { ui::MsgBox("Help", "Pelorin"); }
void Init::FaxRecv() { brevant::FaxRecv(); }
void Init::SendNow(const StringList&, const StringList&, const StringList&) {
  NotAvailable("Init.SendNow");
}
void Init::SetCoverPage() { NotAvailable("Init.SetCoverPage"); }
void Init::BugReport() { NotAvailable("Init.BugReport"); }

}  // namespace brevant
