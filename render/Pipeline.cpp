#include "render/Pipeline.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "common/CRegStatus.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "common/OsCheck.h"
#include "platform/emf/Emf.h"
#include "platform/env/Environment.h"
#include "platform/events/NamedEvent.h"
#include "platform/process/ChildProcess.h"
#include "printing/FaxPrinterSetup.h"
#include "render/FaxQueue.h"
#include "render/PdfPrint.h"
#include "render/PrintRoutes.h"

namespace fs = std::filesystem;

namespace brevant {

using platform::ChildProcess;
namespace {

using namespace render;

void (*g_exitApp)(int) = nullptr;
bool (*g_faxServiceRender)(const std::string&, const std::string&) = nullptr;

std::string PageFile(const std::string& spool, long n) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08ld.emf", n);
  return spool + buf;
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

std::string ConsoleTool() {
  const std::string t = platform::env::Get(platform::env::Var::ConsoleTool);
  return t.empty() ? GetExecutableFolder() + "/quorrender" : t;
}

// Starts the console tool hidden in the program folder. Following, it
// encodes the pages the fax printer writes from now on, and does the rest
// of commandWord once AwaitConsoleTool says printing is over.
bool StartConsoleTool(ChildProcess& p, const std::string& commandWord, bool follow) {
  if (follow) p.FeedInput();
  if (!p.Start({ConsoleTool(), commandWord + (follow ? "follow;" : "")}, GetProgramFolder())) {
    WriteErrorLog(2, p.Error(), "mMailFuncs.SuperShell");
    return false;
  }
  return true;
}

// Waits for the console tool's end (bounded: a spool run of hundreds of
// pages takes seconds, not minutes).
void AwaitConsoleTool(ChildProcess& p, const std::string& commandWord) {
  p.CloseInput();
  long limit = platform::env::Milliseconds(platform::env::Var::SpoolTimeoutMs, 600'000);
  if (!p.Wait(limit, 100)) {
    p.Kill();
    WriteErrorLog(0, "the console tool did not finish \"" + commandWord + "\" and was ended",
                  "mMailFuncs.SuperShell");
  }
}

// Runs the console tool and waits for its end. Returns whether it was
// started.
bool RunConsoleTool(const std::string& commandWord) {
  ChildProcess p;
  if (!StartConsoleTool(p, commandWord, false)) return false;
  AwaitConsoleTool(p, commandWord);
  return true;
}

// How many page files "00000001.emf" upward the spool folder holds (the
// cover page "00000000.emf", the print agent's "Printed/" folder and the
// images are not pages of the fax being printed).
long PageFileCount(const std::string& spool) {
  long n = 0;
  std::error_code ec;
  for (fs::directory_iterator it(spool, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec) && emf::PageFileNumber(it->path().filename().string()) >= 1) ++n;
  return n;
}

// The page files 00000001.emf upward while they follow each other.
std::string PageList(const std::string& spool) {
  std::string list;
  for (long k = 1; Exists(PageFile(spool, k)); ++k) list += (list.empty() ? "" : "\r\n") + PageFile(spool, k);
  return list;
}

void WritePageList(const std::string& spool, const std::string& list) {
  std::ofstream out(spool + "spool.pnx", std::ios::binary | std::ios::trunc);
  out << list;
}

std::string DateText(const LocalDateTime& t) {
  const std::tm tm = CalendarFields(t);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

}  // namespace

void SetPipelineExitHandler(void (*exitApp)(int)) {
  g_exitApp = exitApp;
}

void ClearSpoolFiles(const std::string& spool) {
  fs::create_directories(spool);
  for (const auto& e : fs::directory_iterator(spool)) {
    std::error_code ec;
    if (!e.is_regular_file(ec)) continue;
    fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add, ec);
    fs::remove(e.path(), ec);
  }
}

void SetFaxServiceRenderer(bool (*render)(const std::string&, const std::string&)) {
  g_faxServiceRender = render;
}

void WaitForSpoolEvent(const std::string& eventName) {
  try {
    // An event no process holds any more (the console tool has ended) is
    // no wait at all: nothing is created to be waited on, which also
    // spares the file watch a wait sets up and closes again (closing one
    // takes the kernel milliseconds).
    auto ev = platform::NamedEvent::Open(eventName);
    if (ev) ev->Wait(10'000'000);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mPrint.WaitForSpoolEvent");
  }
}

void WriteCoverUserInfo() {
  try {
    FaxJobRecord& job = FaxJob();
    CWinReg reg;
    if (!reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kUserInfoKey, true)) return;
    reg.SetString("Subject", job.FaxSubject);
    reg.SetString("Note", job.Note);
    reg.SetString("Sent", DateText(job.DTFaxSend));
    reg.SetString("LastRecipientName", job.g_arrFaxName.Count() >= 1 ? job.g_arrFaxName[1] : "");
    reg.SetString("LastRecipientNumber", job.g_arrFaxNumber.Count() >= 1 ? job.g_arrFaxNumber[1] : "");
    reg.CloseKey();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mPrint.WriteCoverUserInfo");
  }
}

int GetPrintStrategy() {
  // Installations (and tests) without the fax service's printer driver
  // can still pick the page list edition.
  if (std::string forced = platform::env::Get(platform::env::Var::PrintStrategy); !forced.empty())
    return std::atoi(forced.c_str());
  if (!MSFaxProperlyInstalled()) return 0;
  if (mCommon::CheckXP() == "XP") return 1;
  if (Config().ProgramType == 0) return 2;
  return 0;
}

void printToPreview(ui::WindowHandle owner, bool preview) {
  FaxJobRecord& job = FaxJob();
  // Every step runs on its own: a failing one is skipped.
  auto step = [](auto&& f) {
    try {
      f();
    } catch (...) {
      ErrInfo e = CurrentError();
      WriteErrorLog(e.number, e.description, "mPrint.printToPreview");
    }
  };
  job.PreviewFile.clear();
  job.FaxImageFile.clear();
  job.CoverInImage = false;

  const std::string spool = GetSpoolFolder();
  step([&] { ClearSpoolFiles(spool); });

  const bool status = owner != 0;
  if (status)
    step([&] {
      ui::ShowStatus("", owner);
      ui::DoEvents();
    });

  const std::size_t docs = job.g_arrFiles.Count();
  CRegStatus progress;
  step([&] { progress.Init(std::int32_t(docs) + (job.UseCover ? 1 : 0), 0, 1, 0, ""); });
  Run().AcrobatOpen = false;

  // The documents and the cover page printed here, for the status window's
  // bar and the progress lines (documents from the spool folder are only
  // copied).
  const long printSteps = long(Run().SpoolPages ? 0 : docs) + (job.UseCover ? 1 : 0);
  // Shows the status, or reports a cancel request (then nothing else runs).
  // place: the document's place among the printed ones, from 1.
  auto report = [&](const std::string& name, long place) {
    std::string text = "Printing " + name + "...";
    if (status) ui::ShowStatus(text, owner);
    if (progress.Aborted()) return false;
    progress.SetStatusText(text);
    ui::ShowProgress("Preparing fax: printing " + name + " (" + std::to_string(place) + " of " +
                         std::to_string(printSteps) + ")",
                     place - 1, printSteps, status ? owner : 0);
    return true;
  };
  auto abort = [&] {
    if (status) ui::CloseStatus();
    WriteTraceLog("printToPreview", "cancelled by the user");
  };
  // Why documents gave no page: the second line of the message that no fax
  // image was made.
  std::string noPages;
  const std::string cover = job.CoverIndex >= 1 && std::size_t(job.CoverIndex) <= job.CoverPages.Count()
                                ? job.CoverPages[std::size_t(job.CoverIndex)]
                                : "";

  // Without the fax printer's queue nothing is printed at all (the print
  // programs would take the user's own printer): the run ends and says why.
  if ((!Run().SpoolPages && docs > 0) || (job.UseCover && !cover.empty())) {
    std::string why;
    bool ready = true;
    step([&] { ready = FaxPrinterInstalled(&why); });
    if (!ready) {
      if (status) ui::CloseStatus();
      WriteErrorLog(0, why, "printToPreview");
      ui::MsgBox(why, "Pelorin");
      ui::SetCursor(ui::Cursor::Arrow);
      if (g_exitApp) g_exitApp(0);
      return;
    }
  }

  // When the console tool makes the fax image, it starts now and encodes
  // each page as the fax printer writes it, while the later pages render.
  const bool silent = owner == 0;
  int strategy = GetPrintStrategy();
  const std::string spoolWord = std::string("spool;") + (silent ? "silent;" : "");
  ChildProcess follower;
  const bool following = strategy == 0 && !Run().SpoolPages && StartConsoleTool(follower, spoolWord, true);

  if (Run().SpoolPages) {
    for (std::size_t i = 1; i <= docs; ++i)
      step([&] {
        const std::string& f = job.g_arrFiles[i];
        if (Exists(f))
          fs::copy_file(f, spool + fs::path(f).filename().string(), fs::copy_options::overwrite_existing);
      });
  } else {
    for (std::size_t i = 1; i <= docs; ++i) {
      const std::string file = job.g_arrFiles[i];
      const std::string name = fs::path(file).filename().string();
      if (!job.UseCover) job.FaxSubject = name;
      job.FaxName = name;
      std::error_code ec;
      auto size = fs::file_size(file, ec);
      if (i == docs && !ec && size == 0 && !job.UseCover) {
        if (status) ui::CloseStatus();
        ui::MsgBox("The attachment's file is empty and cover page not exist. Cannot make fax.");
        ui::SetCursor(ui::Cursor::Arrow);
        if (following) follower.Kill();
        if (g_exitApp) g_exitApp(0);
        return;
      }
      bool goOn = true;
      step([&] { goOn = report(name, long(i)); });
      if (!goOn) return abort();
      step([&] { progress.SetPos(std::int32_t(i) - 1); });
      step([&] {
        const long pagesBefore = PageFileCount(spool);
        std::string notPrinted;
        std::string refused =
            PrintOnFaxPrinter("printToPreview", [&] { notPrinted = PrintDocument(file, owner); });
        if (PageFileCount(spool) > pagesBefore) return;
        if (refused.empty())
          refused = notPrinted.empty() ? name + " gave the fax printer no page." : notPrinted;
        noPages += "\n" + refused;
      });
    }
  }

  if (job.UseCover) {
    // The pages the documents made; the cover page's file is the one the
    // printing adds after them.
    const long before = PageFileCount(spool);
    bool goOn = true;
    std::string refused;
    step([&] {
      if (cover.empty()) {
        // No template chosen (a new account has the cover page switched on
        // but none picked, or none is installed): the fax goes without one,
        // and no delivery path looks for one.
        job.UseCover = false;
        goOn = report("the cover page", printSteps);
        if (goOn) WriteTraceLog("printToPreview", "no cover page file is chosen; the fax has no cover page");
        return;
      }
      refused = PrintOnFaxPrinter("printToPreview", [&] {
        WriteCoverUserInfo();
        goOn = report(fs::path(cover).filename().string(), printSteps);
        if (!goOn) return;
        progress.SetPos(progress.GetProgressMax() - 1);
        // A picture is printed fitted to the page; anything else by its print
        // verb (a cover page template's is the console tool, which fills it
        // with the "UserInfo" values just written).
        if (IsImageFile(cover))
          PrintPictureFitted(FaxPrinterName(), cover);
        else
          ShellPrint(cover, "");
      });
    });
    if (!goOn) return abort();
    // The cover page printed last, so its page has the highest number: it
    // becomes page 0. A cover page that printed nothing moves nothing.
    step([&] {
      const long n = PageFileCount(spool);
      if (n > before && Exists(PageFile(spool, n))) {
        fs::rename(PageFile(spool, n), PageFile(spool, 0));
      } else if (!cover.empty()) {
        WriteErrorLog(567, "The cover page " + cover + " made no page", "printToPreview");
        ui::MsgBox("The cover page " + fs::path(cover).filename().string() +
                       " could not be printed. The fax goes without it." +
                       (refused.empty() ? "" : "\n" + refused),
                   "Pelorin");
      }
    });
    // The mail gateway attaches the cover page as a fax image of its own,
    // "FaxCover.Tif", in front of the documents.
    if (Config().ProgramType == 2)
      step([&] {
        if (Exists(PageFile(spool, 0))) RunConsoleTool("coverpage;maketif;");
      });
  }

  // Every document printed: the bar full, and the line for the conversion
  // that follows (the console tool or the page list).
  step([&] {
    ui::ShowProgress("Preparing fax: converting the pages", printSteps, printSteps, status ? owner : 0);
  });
  if (status) step([] { ui::CloseStatus(); });
  progress.Done();

  for (bool again = true; again;) {
    again = false;
    if (strategy == 1) {
      step([&] {
        RunConsoleTool(std::string("coverpage;") + (Config().ProgramType == 2 ? "maketif;" : ""));
        std::string list = PageList(spool);
        if (Exists(PageFile(spool, 0))) list = PageFile(spool, 0) + (list.empty() ? "" : "\r\n") + list;
        WritePageList(spool, list);
      });
      bool ok = g_faxServiceRender && g_faxServiceRender(spool + "spool.pnx", spool + "FaxPreview.tif");
      if (!ok) {
        strategy = Config().ProgramType != 2 ? 2 : 0;
        WriteErrorLog(0, "Good quality tiff failed, use " + std::to_string(strategy) + " strategy",
                      "printToPreview_");
        again = true;
      }
    } else if (strategy == 2) {
      step([&] {
        if (preview && RunConsoleTool(std::string("spool;keep;preview;fast;") + (silent ? "silent;" : "")))
          WaitForSpoolEvent("VestrelSpool");
        std::string list = PageList(spool);
        if (docs < 1 && job.UseCover && mCommon::CheckXP() != "XP") {
          if (!preview) RunConsoleTool("coverpage;");
          if (Exists(PageFile(spool, 0))) list = PageFile(spool, 0) + (list.empty() ? "" : "\r\n") + list;
          job.CoverInImage = true;
          job.FaxImageFile = spool + "spool.pnx";
        }
        WritePageList(spool, list);
        if (preview) {
          if (Exists(spool + "FaxPreview.tif"))
            job.PreviewFile = spool + "FaxPreview.tif";
          else
            ui::MsgBox("Generate fax preview error." + noPages, "Pelorin");
        }
        if (docs >= 1) {
          if (Exists(spool + "spool.pnx"))
            job.FaxImageFile = spool + "spool.pnx";
          else
            WriteErrorLog(128, "printToPreview", "Not found - \"" + spool + "spool.pnx\"");
        }
      });
    } else {
      step([&] {
        if (following) AwaitConsoleTool(follower, spoolWord);
        if (following || RunConsoleTool(spoolWord)) WaitForSpoolEvent("VestrelSpool");
        if (Exists(spool + "FaxPreview.tif"))
          job.PreviewFile = spool + "FaxPreview.tif";
        else
          ui::MsgBox("Generate fax image error." + noPages, "Pelorin");
        if (docs >= 1) {
          if (Exists(spool + "Fax.tif"))
            job.FaxImageFile = spool + "Fax.tif";
          else
            WriteErrorLog(128, "printToPreview", "Not found - \"" + spool + "Fax.tif\"");
        } else if (job.UseCover && Exists(spool + "Fax.tif")) {
          // A fax that is its cover page alone: the image is that page, and
          // no delivery path adds another.
          job.FaxImageFile = spool + "Fax.tif";
          job.CoverInImage = true;
        }
        if (Run().AcrobatOpen) {
          CloseAcrobatWindow();
          Run().AcrobatOpen = false;
        }
      });
    }
  }
  ui::SetCursor(ui::Cursor::Arrow);
}

void PrintPreview(ui::WindowHandle owner, bool preview) {
  std::int32_t debug = 0;
  {
    CWinReg reg;
    if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kPelorinKey)) debug = reg.GetDword("Debug");
  }
  printToPreview(owner, preview);
  if (debug == 1) ui::MsgBox("before print preview");
}

void PrintWebPage(const std::string& path) {
  try {
    std::string why;
    if (!FaxPrinterInstalled(&why)) {
      WriteErrorLog(0, why, "mPrint.PrintWebPage");
      ui::MsgBox(why, "Pelorin");
      return;
    }
    if (std::string refused = PrintOnFaxPrinter("printToPreview", [&] { PrintWebPageRoute(path); });
        !refused.empty())
      ui::MsgBox(refused, "Pelorin");
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mPrint.PrintWebPage");
  }
}

}  // namespace brevant
