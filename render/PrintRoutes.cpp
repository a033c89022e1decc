#include "render/PrintRoutes.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "platform/env/Environment.h"
#include "platform/fs/Files.h"
#include "platform/process/ChildProcess.h"
#include "render/FaxQueue.h"
#include "render/PdfPrint.h"
#include "render/WindowSystem.h"

namespace fs = std::filesystem;

namespace brevant::render {

using platform::ChildProcess;
namespace {

std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}
bool Has(const std::string& path, const char* ext) {
  return Lower(path).find(ext) != std::string::npos;
}

void Trace(const std::string& procedure, const std::string& message) {
  try {
    WriteTraceLog(procedure, message);
  } catch (...) {
    // Trace lines are advisory.
  }
}

// Why the document being printed reached no printer: the last failure of
// its route, for the message that tells the user no fax image was made.
std::string g_failure;

void Failed(long number, const std::string& why, const std::string& source) {
  WriteErrorLog(number, why, source);
  g_failure = why;
}

// A folder of its own in the user's temporary folder, removed with the
// object; Path() is "" when there is none.
class ScratchDir {
 public:
  ScratchDir() {
    std::string temp = mCommon::GetTempDir();
    std::string tmpl = temp + "brevant-print-XXXXXX";
    if (!temp.empty() && ::mkdtemp(tmpl.data())) path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

std::string FindProgram(platform::env::Var given, std::initializer_list<const char*> names) {
  if (std::string e = platform::env::Get(given); !e.empty()) return e;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  for (const char* n : names) {
    std::size_t start = 0;
    while (start <= dirs.size()) {
      std::size_t end = dirs.find(':', start);
      std::string dir = dirs.substr(start, end == std::string::npos ? std::string::npos : end - start);
      std::string candidate = (dir.empty() ? "." : dir) + "/" + n;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  return "";
}

// The office suite, headless, converting one document to PDF in outDir.
// Returns the PDF's path, "" when the suite could not make one.
enum class OfficeResult { Done, NoSuite, Failed };
OfficeResult OfficeToPdf(const std::string& file, const std::string& outDir, std::string* pdf,
                         std::string* why) {
  std::string soffice = FindProgram(platform::env::Var::Office, {"soffice", "libreoffice"});
  if (soffice.empty()) {
    *why = "the office suite (soffice) is not installed";
    return OfficeResult::NoSuite;
  }
  // A profile of our own: a suite the user has open does not take the job
  // over, and no first-start dialog can appear.
  std::string profile = mCommon::GetTempDir() + "brevant-office-" + std::to_string(::getuid());
  std::string log = outDir + "/office.log";
  ChildProcess p;
  if (!p.Start(
          {soffice, "-env:UserInstallation=file://" + profile, "--headless", "--invisible", "--norestore",
           "--nolockcheck", "--nodefault", "--convert-to", "pdf", "--outdir", outDir, file},
          outDir, log)) {
    *why = p.Error();
    return OfficeResult::NoSuite;
  }
  if (!p.Wait(OfficeTimeoutMs(), 50)) {
    p.Kill();
    *why = "the office suite did not finish " + file + " within " + std::to_string(OfficeTimeoutMs() / 1000) +
           " s and was ended";
    return OfficeResult::Failed;
  }
  *pdf = outDir + "/" + fs::path(file).stem().string() + ".pdf";
  std::error_code ec;
  if (!fs::exists(*pdf, ec) || fs::file_size(*pdf, ec) == 0) {
    std::ifstream in(log);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    *why = "the office suite made no PDF of " + file + " (exit code " + std::to_string(p.ExitCode()) + ")" +
           (text.empty() ? "" : ": " + text.substr(0, 300));
    return OfficeResult::Failed;
  }
  return OfficeResult::Done;
}

// Word and Excel documents: the office suite makes a PDF, the PDF goes to
// the default printer (the fax printer now), then the queue is awaited.
void PrintOffice(const std::string& file, bool word) {
  const char* app = word ? "Word.Application" : "Excel.Application";
  if (IsFileOpen(file))
    Trace("printToPreview", file + " is open in another program; a read-only copy is printed");
  ScratchDir dir;
  std::string pdf, why;
  OfficeResult r = dir.Path().empty() ? OfficeResult::NoSuite : OfficeToPdf(file, dir.Path(), &pdf, &why);
  if (r == OfficeResult::NoSuite) {
    WriteErrorLog(429, why + "\t" + "Cant Create " + app, "printToPreview");
    g_failure = why;
    if (word) ShellPrint(file, "");
    return;
  }
  if (r == OfficeResult::Failed) {
    Failed(0, why, "printToPreview");
    return;
  }
  std::string error;
  if (!SubmitFile("", pdf, fs::path(file).filename().string(), {}, &error)) {
    Failed(0, error, "printToPreview");
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  WaitQueueEmpty(FaxPrinterName(), "printToPreview");
}

// What a helper program wrote, for the record of its failure: its last
// line that is not empty, without the program's name in front.
std::string LastLine(const std::string& logFile) {
  std::ifstream in(logFile);
  std::string line, last;
  while (std::getline(in, line))
    if (line.find_first_not_of(" \t\r") != std::string::npos) last = line;
  for (const char* prefix : {"quorrender: ", "lp: "})
    if (last.rfind(prefix, 0) == 0) last = last.substr(std::strlen(prefix));
  return last;
}

// The console tool prints a page it can draw (a TIFF's pages, a cover page
// template, a picture of any form the print system does not read itself)
// on printer. False with *why when it could not.
bool ConsolePrint(const std::string& file, const std::string& printer, std::string* why) {
  ScratchDir dir;
  const std::string log = dir.Path() + "/quorrender.log";
  const std::string tool = GetExecutableFolder() + "/quorrender";
  ChildProcess p;
  if (!p.Start({tool, file, "/pt", printer}, GetProgramFolder(), log)) {
    *why = "cannot run " + tool + ": " + p.Error();
    return false;
  }
  if (!p.Wait(ToolTimeoutMs(), 20)) {
    p.Kill();
    *why =
        "the console tool did not print " + file + " within " + std::to_string(ToolTimeoutMs() / 1000) + " s";
    return false;
  }
  if (p.ExitCode() != 0) {
    *why = LastLine(log);
    if (why->empty()) *why = "the console tool could not print " + file;
    return false;
  }
  return true;
}

void PrintImage(const std::string& file) {
  // Pictures reach the queue through the console tool, which turns forms
  // the print system refuses (metafiles, icons, RLE bitmaps) into one it
  // prints, or says at once why it cannot. It hands the job over before it
  // ends, so there is no job to wait for here: the pipeline's queue wait
  // follows.
  std::string why;
  if (!ConsolePrint(file, FaxPrinterName(), &why)) {
    Failed(0, why, "printToPreview(" + file + ")");
    ui::MsgBox(why, "Pelorin");
  }
}

void PrintTiff(const std::string& file) {
  std::string why;
  if (!ConsolePrint(file, FaxPrinterName(), &why)) Failed(0, why, "printToPreview");
}

// The "print" verb of a file: a cover page template's is the console tool,
// which fills it with the fax's fields; everything else goes to lp, which
// hands it to the print system's own filters.
std::vector<std::string> PrintVerb(const std::string& path) {
  if (IsCoverTemplate(path)) {
    const std::string printer = GetDefaultPrinter();
    return {GetExecutableFolder() + "/quorrender", path, "/pt", printer.empty() ? FaxPrinterName() : printer};
  }
  return {"lp", "-t", fs::path(path).filename().string(), "--", path};
}

}  // namespace

long OfficeTimeoutMs() {
  return platform::env::Milliseconds(platform::env::Var::OfficeTimeoutMs, 180'000);
}
long BrowserTimeoutMs() {
  return platform::env::Milliseconds(platform::env::Var::BrowserTimeoutMs, 90'000);
}
long ToolTimeoutMs() {
  return platform::env::Milliseconds(platform::env::Var::ToolTimeoutMs, 120'000);
}

bool IsCoverTemplate(const std::string& path) {
  const std::string ext = Lower(fs::path(path).extension().string());
  return ext == ".cov" || ext == ".svg";
}

bool IsImageFile(const std::string& path) {
  for (const char* e : {".emf", ".rle", ".wmf", ".bmp", ".ico", ".gif", ".jpg"})
    if (Has(path, e)) return true;
  return false;
}

Route RouteFor(const std::string& path) {
  if (IsImageFile(path)) return Route::Image;
  if (Has(path, ".tif")) return Route::Tiff;
  if (Has(path, ".doc")) return Route::Word;
  if (Has(path, ".xls")) return Route::Excel;
  if (Has(path, ".htm")) return Route::WebPage;
  if (Has(path, ".pdf")) return Route::Pdf;
  // The office suite's own formats and rich text go the Word way too; the
  // spreadsheet one the Excel way.
  if (Has(path, ".odt") || Has(path, ".rtf")) return Route::Word;
  if (Has(path, ".ods")) return Route::Excel;
  return Route::Shell;
}

const char* RouteName(Route r) {
  switch (r) {
    case Route::Image:
      return "image";
    case Route::Tiff:
      return "TIFF";
    case Route::Word:
      return "Word";
    case Route::Excel:
      return "Excel";
    case Route::WebPage:
      return "web page";
    case Route::Pdf:
      return "PDF";
    case Route::Shell:
      return "shell";
  }
  return "?";
}

bool IsFileOpen(const std::string& path) {
  platform::UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  const int fd = file.get();
  if (!file) return false;
  bool open = false;
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK)
    open = true;
  else
    ::flock(fd, LOCK_UN);
  struct flock fl {};
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  if (!open && ::fcntl(fd, F_GETLK, &fl) == 0 && fl.l_type != F_UNLCK) open = true;
  file.reset();
  if (!open) {
    fs::path p(path);
    std::error_code ec;
    open = fs::exists(p.parent_path() / (".~lock." + p.filename().string() + "#"), ec);
  }
  return open;
}

bool ShellPrint(const std::string& path, const std::string& windowTitle) {
  if (path.empty()) {
    Failed(kErrFileNotFound, "no file to print", "ShellPrint");
    return false;
  }
  ScratchDir dir;
  const std::string log = dir.Path() + "/verb.log";
  ChildProcess p;
  if (!p.Start(PrintVerb(path), "", log)) {
    Failed(0, "cannot start the print verb: " + p.Error(), "ShellPrint");
    return false;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ToolTimeoutMs());
  while (!p.Wait(100, 100)) {
    if (!windowTitle.empty()) {
      WindowSystem& ws = Windows();
      for (auto w : ws.TopLevelWindows())
        if (ws.Title(w) == windowTitle) ws.PostClose(w);
    }
    ui::DoEvents();
    if (std::chrono::steady_clock::now() >= end) {
      p.Kill();
      Failed(0, "the print verb on " + path + " did not end and was stopped", "ShellPrint");
      break;
    }
  }
  if (p.ExitCode() != 0) {
    const std::string said = LastLine(log);
    Failed(0,
           "the print verb could not print " + path + " (exit code " + std::to_string(p.ExitCode()) + ")" +
               (said.empty() ? "" : ": " + said),
           "ShellPrint");
  }
  return true;
}

bool PrintPictureFitted(const std::string& printer, const std::string& picturePath) {
  std::string why;
  if (ConsolePrint(picturePath, printer, &why)) return true;
  Failed(0, why, "PrintPictureFitted");
  return false;
}

void PrintWebPageRoute(const std::string& pathOrUrl) {
  const std::string printer = FaxPrinterName();
  const int c0 = QueueJobCount(printer);
  std::error_code ec;
  std::string target =
      fs::exists(pathOrUrl, ec) ? "file://" + fs::absolute(pathOrUrl, ec).string() : pathOrUrl;
  std::string browser =
      FindProgram(platform::env::Var::Browser, {"chromium", "chromium-browser", "google-chrome"});
  if (browser.empty()) {
    Failed(0, "no web browser (chromium) to print " + pathOrUrl, "frmWebPrint.PrintPage");
    return;
  }
  ScratchDir dir;
  const std::string pdf = dir.Path() + "/page.pdf";
  ChildProcess p;
  if (!p.Start({browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                "--user-data-dir=" + dir.Path() + "/profile", "--no-pdf-header-footer",
                "--print-to-pdf=" + pdf, target},
               dir.Path(), dir.Path() + "/browser.log")) {
    Failed(0, "cannot start " + browser + ": " + p.Error(), "frmWebPrint.PrintPage");
    return;
  }
  if (!p.Wait(BrowserTimeoutMs(), 10)) {
    p.Kill();
    Failed(0,
           "the browser did not print " + pathOrUrl + " within " + std::to_string(BrowserTimeoutMs() / 1000) +
               " s and was ended",
           "frmWebPrint.PrintPage");
    return;
  }
  if (!fs::exists(pdf, ec) || fs::file_size(pdf, ec) == 0) {
    Failed(0, "the browser made no page of " + pathOrUrl, "frmWebPrint.PrintPage");
    return;
  }
  std::string error;
  int job = SubmitFile("", pdf, fs::path(pathOrUrl).filename().string(), {}, &error);
  if (!job) {
    Failed(0, error, "frmWebPrint.PrintPage");
    return;
  }
  // Printed: now wait until the queue shows the change (bounded: a job
  // that has already finished leaves the count where it was).
  for (int i = 0; i < 1000 && QueueJobCount(printer) == c0; ++i) ui::SleepEvents(10);
}

std::string PrintDocument(const std::string& document, ui::WindowHandle owner) {
  // The helpers run in folders of their own: they need the full path.
  std::error_code ec;
  const std::string path = fs::exists(document, ec) ? fs::absolute(document, ec).string() : document;
  if (!fs::exists(path, ec)) return "The file \"" + path + "\" cannot be found.";
  Route r = RouteFor(path);
  Trace("printToPreview", std::string("route ") + RouteName(r) + ": " + path);
  g_failure.clear();
  switch (r) {
    case Route::Image:
      PrintImage(path);
      break;
    case Route::Tiff:
      PrintTiff(path);
      break;
    case Route::Word:
      PrintOffice(path, true);
      break;
    case Route::Excel:
      PrintOffice(path, false);
      break;
    case Route::WebPage:
      PrintWebPageRoute(path);
      break;
    case Route::Pdf: {
      // A PDF that opens only with its password cannot be printed without
      // it; one whose owner forbids printing is printed all the same.
      const std::string name = fs::path(path).filename().string();
      const PdfLock lock = PdfProtection(path);
      if (lock == PdfLock::Password) {
        Failed(0, PasswordPdfText(name), "printToPreview");
        break;
      }
      if (lock == PdfLock::NoPrinting)
        Trace("printToPreview",
              name + ": its owner does not allow printing it; the fax printer prints it all the same");
      PrintPDF(path, owner, FaxPrinterName());
      Run().AcrobatOpen = true;
      Run().ClosePdfReaderWindow = &CloseAcrobatWindow;
      break;
    }
    case Route::Shell:
      ShellPrint(path, "");
      break;
  }
  return g_failure;
}

}  // namespace brevant::render
