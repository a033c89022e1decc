#include "app/Init.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "common/CWinReg.h"
#include "common/FaxJob.h"
#include "delivery/Delivery.h"
#include "render/Pipeline.h"

#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "common/MailSessions.h"
#include "delivery/FaxTransport.h"
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
void Init::FaxConsole() { mCommon::RunFaxConsole(); }
void Init::FaxAbout() { NotAvailable("Init.FaxAbout"); }
void Init::Repair() { NotAvailable("Init.Repair"); }
void Init::FaxHelp() { ui::MsgBox("Help", "Pelorin"); }
void Init::FaxRecv() {
  brevant::FaxRecv([this](const std::string& m) { ShowWarning(m); });
  exitApp(0);
}
void Init::SendNow(const StringList& names, const StringList& numbers, const StringList& files) {
  ClientConfig& cfg = brevant::Config();
  if (cfg.ProgramType == 1 && cfg.EmailFax.empty()) {
    ui::MsgBox("You should set Fax Mail in Setup for using Pelorin.");
    return;
  }
  ClearFaxJob();
  FaxJobRecord& job = FaxJob();
  // The lists of the command line end with "#", so their last entry is
  // empty and not taken.
  // A recipient needs a number: the numbers list decides how many there
  // are, so an empty or unterminated numbers field leaves none.
  if (!names.empty()) {
    const std::size_t n = numbers.empty() ? 0 : numbers.size() - 1;
    job.g_arrFaxName.Resize(n);
    job.g_arrFaxNumber.Resize(n);
  }
  if (!files.empty()) job.g_arrFiles.Resize(files.size() - 1);
  for (std::size_t k = 1; k <= job.g_arrFaxNumber.Count(); ++k) {
    job.g_arrFaxNumber[k] = numbers[k - 1];
    job.g_arrFaxName[k] = k - 1 < names.size() ? names[k - 1] : "";
  }
  for (std::size_t k = 1; k <= job.g_arrFiles.Count(); ++k) {
    std::string f = files[k - 1];
    f.erase(std::remove(f.begin(), f.end(), '"'), f.end());
    job.g_arrFiles[k] = f;
  }
  if (job.g_arrFaxNumber.Empty()) {
    ui::MsgBox("Please dial a fax number.");
    return;
  }
  {
    CWinReg reg;
    if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kPelorinKey)) {
      job.UseCover = reg.GetString("SetCoverPage") != "0";
      job.FaxSubject = reg.GetString("CoverPageSubject");
      job.Note = reg.GetString("CoverPageNote");
      reg.CloseKey();
    }
  }
  {
    CWinReg reg;
    if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kUserInfoKey)) {
      std::string cover = reg.GetString("CoverPageFile");
      job.CoverIndex = 0;
      if (!cover.empty() && job.UseCover) {
        job.CoverPages.Clear();
        job.CoverPages.Append(cover);
        job.CoverIndex = 1;
      }
      reg.CloseKey();
    }
  }
  if (job.g_arrFiles.Empty() && !job.UseCover) {
    ui::MsgBox("You should add document and/or cover page to send fax.");
    return;
  }

  // From here on errors do not stop the steps.
  PendingError err;
  // A fax that cannot be made ends the run at once.
  SetPipelineExitHandler([](int code) {
    exitApp(code);
    std::exit(code);
  });
  err.Step([&] {
    if (job.PreviewFile.empty()) PrintPreview(0, false);
  });
  err.Step([&] {
    if (cfg.ProgramType != 2) {
      std::error_code ec;
      if (!job.FaxImageFile.empty() && std::filesystem::exists(job.FaxImageFile, ec)) {
        job.g_arrFiles.Clear();
        job.g_arrFiles.Append(job.FaxImageFile);
      } else {
        WriteErrorLog(123, "File not exist", "sendNow");
      }
    }
  });
  err.Step([&] {
    switch (cfg.ProgramType) {
      case 1: SendFaxMail(); break;
      case 2: SendFaxEFax(); break;
      default: SendFaxMSFax(); break;
    }
  });
  if (err.Any()) {
    ui::MsgBox("Error Send Fax.");
    WriteErrorLog(err.Get().number, err.Get().description, "init.SendNow");
    err.Clear();
  }
  exitApp(0);
}
void Init::SetCoverPage() { NotAvailable("Init.SetCoverPage"); }
void Init::BugReport() { NotAvailable("Init.BugReport"); }

}  // namespace brevant
