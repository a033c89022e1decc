#include "delivery/FaxTransport.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/CoverFolders.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/FaxServerConfig.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "common/OsCheck.h"
#include "delivery/Delivery.h"
#include "delivery/ServiceDocument.h"
#include "faxservice/client/FaxService.h"
#include "platform/events/NamedEvent.h"
#include "platform/process/Process.h"
#include "platform/registry/Registry.h"
#include "platform/ui/Ui.h"

namespace brevant {

namespace {

std::shared_ptr<faxsvc::FaxServer>& ProcessFaxServer() {
  static std::shared_ptr<faxsvc::FaxServer> server;
  return server;
}

// Why the last attempt to reach the fax service failed ("" once it answered).
std::string& ConnectFailure() {
  static std::string why;
  return why;
}

// The folder of faxes the user reads as files: the fax service's archives
// belong to the service, so the user's own view of one (their faxes, as
// the service hands them over) is kept in the program folder. Without the
// service, the folder the registry names (the service names its own there
// when it starts), for whoever may read it.
std::string FolderView(bool incoming) {
  auto server = GetFaxServer();
  if (!server || !server->Connected()) return faxsvc::RegisteredFaxFolder(incoming);
  std::string view = GetProgramFolder() + "/FaxService/" + (incoming ? "Received" : "Sent");
  try {
    faxsvc::MirrorArchive(*server, incoming, view);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, incoming ? "mCommon.FaxStoreFolder" : "mCommon.FaxArchiveFolder");
  }
  return view;
}

// A document the service cannot be handed; the user is told why.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

}  // namespace

std::string FaxStoreFolder() {
  return FolderView(true);
}

std::string FaxArchiveFolder() {
  return FolderView(false);
}

std::shared_ptr<faxsvc::FaxServer> CreateFaxServer(std::string* why) {
  return faxsvc::FaxServer::Running(faxsvc::ProgramFaxClient(), why);
}

std::shared_ptr<faxsvc::FaxServer> GetFaxServer() {
  auto& server = ProcessFaxServer();
  if (!server) {
    // Without the service there is no server, and the next call tries
    // again; a server that fails to connect is kept, unconnected. Why is
    // kept for the message that the fax service cannot be reached.
    ConnectFailure().clear();
    server = CreateFaxServer(&ConnectFailure());
    if (!server) return nullptr;
    try {
      server->Connect(Config().FaxDevice.empty() ? GetLocalComputerName() : Config().FaxDevice);
    } catch (...) {
      // Not reported here: the caller's next call on the server fails.
      ConnectFailure() = CurrentError().description;
    }
  }
  return server;
}

void ResetFaxServerForTests() {
  ProcessFaxServer().reset();
}

void SendFaxMSFax() {
  PendingError err;
  std::shared_ptr<faxsvc::FaxServer> server;
  err.Step([&] {
    server = GetFaxServer();
    if (!server || !server->Connected()) throw VbError(429, "ActiveX component can't create object");
  });
  // "FaxPrinter" tells the suite's printing components that this program is
  // submitting; it is held for the whole submission.
  std::unique_ptr<platform::NamedEvent> printing;
  err.Step([&] {
    printing = platform::NamedEvent::Create("FaxPrinter", true, true);
    if (!printing) throw VbError(kErrInvalidCall, "cannot create the FaxPrinter event");
  });
  if (err.Any()) {
    // The fixed text, then what stood in the way.
    const std::string why = ConnectFailure().empty() ? err.Get().description : ConnectFailure();
    WriteErrorLog(err.Get().number, why, "msend.SendFaxMSFax");
    ui::MsgBox("Error connect to fax. Please reinstall fax server.\n" + why, "Pelorin");
  } else {
    GenerateFax();
  }
  if (printing) printing->Reset();
  printing.reset();
  err.Step([&] {
    CWinReg reg;
    if (reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorinKey, false)) reg.SetString("SetCoverPage", "0");
  });
  err.Clear();
}

void GenerateFax() {
  FaxJobRecord& job = FaxJob();
  auto server = ProcessFaxServer();
  ServiceImage image;
  try {
    if (!server) throw VbError(kErrObjectNotSet, "Object variable or With block variable not set");
    // One fax image for every recipient, made before the first is
    // submitted: the service takes fax images only.
    std::string document;
    if (job.g_arrFiles.Count() < 1) {
      // Without documents the fax is its cover page: a one-blank text
      // document stands in for the body.
      document = GetProgramFolder() + "/.txt";
      std::ofstream out(document, std::ios::binary | std::ios::trunc);
      if (!out) throw VbError(kErrPathFileAccess, "Path/File access error: " + document);
      out << ' ';
    } else {
      document = job.g_arrFiles[1];
    }
    std::string why;
    if (!MakeServiceImage(document, &image, &why)) throw Refusal(why);
    for (std::size_t i = 1; i <= job.g_arrFaxName.Count(); ++i) {
      std::shared_ptr<faxsvc::FaxDocument> doc = server->CreateDocument(document);
      doc->FileName = document;
      doc->ImagePath = image.path;
      doc->CoverpageNote = job.Note;
      doc->SendCoverpage = false;
      doc->ServerCoverpage = false;
      doc->RecipientName = job.g_arrFaxName[i];
      std::string number = i <= job.g_arrFaxNumber.Count() ? job.g_arrFaxNumber[i] : "";
      doc->RecipientAddress = number;
      doc->FaxNumber = number;
      if (job.FaxSchedule == 2) doc->DiscountSend = 1;
      if (job.UseCover && !job.CoverInImage) {
        std::string cover;
        if (job.CoverIndex >= 1 && static_cast<std::size_t>(job.CoverIndex) <= job.CoverPages.Count())
          cover = job.CoverPages[static_cast<std::size_t>(job.CoverIndex)];
        doc->ServerCoverpage = mCommon::IsServerCoverPage(cover);
        doc->SendCoverpage = true;
        doc->CoverPageName = cover;
      }
      auto copy = [](std::string& property, const std::string& field) {
        if (!field.empty()) property = field;
      };
      copy(doc->BillingCode, job.SenderBillingCode);
      copy(doc->SenderCompany, job.SenderCompany);
      copy(doc->SenderDepartment, job.SenderDepartment);
      copy(doc->EmailAddress, job.SenderEmail);
      copy(doc->SenderFax, job.SenderfaxNumber);
      copy(doc->SenderHomePhone, job.SenderHomePhone);
      copy(doc->SenderName, job.SenderFullName);
      copy(doc->SenderOffice, job.SenderOffice);
      copy(doc->SenderOfficePhone, job.SenderWorkPhone);
      copy(doc->SenderAddress, job.SenderAddress);
      copy(doc->SenderTitle, job.SenderTitle);
      doc->CoverpageSubject = job.FaxSubject;
      doc->DisplayName = job.FaxSubject;
      doc->Send();
      ++Run().FaxesHandedOver;
    }
  } catch (const Refusal& r) {
    WriteErrorLog(kErrFileNotFound, r.what(), "msend.GenerateFax");
    ui::MsgBox(std::string(r.what()) + " The fax was not sent.", "Pelorin");
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "msend.GenerateFax");
    // The service refused it (a bad number, a full queue) or is gone: the
    // user learns that the fax did not go.
    ui::MsgBox("The fax service did not take the fax: " + e.description, "Pelorin");
  }
  if (image.temporary) {
    std::error_code ec;
    std::filesystem::remove(image.path, ec);
  }
}

std::string GetFaxName() {
  try {
    auto server = GetFaxServer();
    if (!server) throw VbError(kErrObjectNotSet, "Object variable or With block variable not set");
    if (mCommon::CheckXP() == "XP") return server->GetDevices().Item(1).DeviceName();
    return server->GetPorts().Item(1).TSID();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mCommon.GetFaxName");
    return "";
  }
}

bool FaxDeviceInstalled() {
  // Contacting the service logs why it failed; an empty name counts as no
  // device, so the callers warn the user instead of failing later.
  return !GetFaxName().empty();
}

bool Doc2Tiff_viaFaxComLibEx(const std::string&, const std::string&) {
  WriteErrorLog(0, "Doc2Tiff_viaFaxComLibEx called", "mFaxFuncs(2K Version)");
  return false;
}

namespace mCommon {

void RunFaxConsole() {
  try {
    // The console shows the queue first on the older fax service, the
    // devices and folders on the newer one.
    std::string program = GetExecutableFolder() + "/brevant-faxmon";
    std::vector<std::string> argv{program};
    if (mCommon::CheckXP() != "XP") argv.push_back("--queue");
    auto r = platform::Spawn(argv, "", false);
    if (!r.started) throw VbError(kErrFileNotFound, "cannot start " + program + ": " + r.error);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mCommon.RunFaxConsole");
  }
}

}  // namespace mCommon

}  // namespace brevant
