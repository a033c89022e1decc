#include "render/PdfPrint.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <thread>

#include "common/Errors.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "platform/env/Environment.h"
#include "platform/process/ChildProcess.h"
#include "platform/process/Process.h"
#include "render/FaxQueue.h"
#include "render/PrintRoutes.h"

namespace brevant::render {

using platform::ChildProcess;
using platform::RunAwaited;
namespace {

int g_pollLimit = 30000;

void Debug(const std::string& message) {
  try {
    WriteDebugLog("PrintPDF", message);
  } catch (...) {
    // The debug log is advisory; printing goes on without it.
  }
}

void SleepMs(long ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}  // namespace

void SetReaderPollLimit(int polls) {
  g_pollLimit = polls;
}

bool ParseReaderTitle(const std::string& title, std::string* version, std::string* document) {
  static const std::string kReader = "Acrobat Reader";
  if (title.compare(0, kReader.size(), kReader) != 0) return false;
  std::string rest = title.substr(kReader.size());
  std::string doc;
  auto sep = rest.rfind(" - ");
  if (sep != std::string::npos) {
    std::string part = rest.substr(sep + 3);
    if (part.size() < 2 || part.front() != '[' || part.back() != ']') return false;
    doc = part.substr(1, part.size() - 2);
    rest = rest.substr(0, sep);
  }
  if (version) *version = rest.empty() ? "" : rest.substr(1);
  if (document) *document = doc;
  return true;
}

WindowSystem::Handle FindReaderWindow() {
  WindowSystem& ws = Windows();
  for (auto w : ws.TopLevelWindows())
    if (ParseReaderTitle(ws.Title(w))) return w;
  return 0;
}

std::string PdfReaderCommand() {
  const std::string r = platform::env::Get(platform::env::Var::PdfReader);
  return r.empty() ? "lp" : r;
}

void PrintPDF(const std::string& path, ui::WindowHandle, const std::string& faxPrinter) {
  try {
    std::string doc = path.substr(path.find_last_of('\\') + 1);
    doc = doc.substr(doc.find_last_of('/') + 1);
    WindowSystem& ws = Windows();

    WindowSystem::Handle win = FindReaderWindow();
    std::string initial = win ? ws.Title(win) : "";
    const bool reuse = win != 0;

    // The "print" verb: the reader hands the document to the default printer.
    std::vector<std::string> argv = platform::SplitCommandLine(PdfReaderCommand());
    if (argv.size() == 1 && argv[0] == "lp") argv = {"lp", "-t", doc, "--"};
    argv.push_back(path);
    ChildProcess reader;
    if (!reader.Start(argv, ""))
      WriteErrorLog(0, "cannot start the PDF reader: " + reader.Error(), "PrintPDF");
    // A failed reader that left no job ends the waiting early: no window
    // and no job will come.
    auto readerFailed = [&] {
      return !reuse && !reader.Running() && reader.ExitCode() != 0 && QueueJobCount(faxPrinter) < 1;
    };

    enum class Exit { None, Job, TimeOut, NoWindow, Reader } exit = Exit::None;
    std::string phase = "1. Waiting creation of Acrobat window";
    Debug(phase);
    if (!win) {
      exit = Exit::TimeOut;
      for (int i = 0; i < g_pollLimit; ++i) {
        win = FindReaderWindow();
        if (win) {
          initial = ws.Title(win);
          exit = Exit::None;
          break;
        }
        SleepMs(1);
        // The scheduler is asked every 10 ms while the reader runs, and at
        // once when it has ended (lp ends as soon as its job is queued).
        const bool readerEnded = !reuse && !reader.Running();
        if ((readerEnded || i % 10 == 9) && QueueJobCount(faxPrinter) >= 1) {
          exit = Exit::Job;
          break;
        }
        if (readerFailed()) {
          exit = Exit::Reader;
          break;
        }
      }
    }
    if (exit == Exit::None) {
      if (win) {
        Debug("1Hiding acrobat window");
        ws.Hide(win);
      }
      phase = "2. Waiting of loading printing document in the Acrobat";
      Debug(phase);
      exit = Exit::TimeOut;
      for (int i = 0; i < g_pollLimit; ++i) {
        std::string title = ws.Title(win);
        if (title.empty()) {
          exit = Exit::NoWindow;
          break;
        }
        if (title != initial) {
          exit = Exit::None;
          break;
        }
        ui::DoEvents();
        SleepMs(1);
        if (QueueJobCount(faxPrinter) >= 1) {
          exit = Exit::Job;
          break;
        }
      }
    }
    if (exit == Exit::None) {
      if (win) {
        Debug("2Hiding acrobat window");
        ws.Hide(win);
      }
      phase = "3. Waiting of unloading printed document from the Acrobat";
      Debug(phase);
      for (;;) {
        std::string title = ws.Title(win);
        if (title.empty()) {
          exit = Exit::NoWindow;
          break;
        }
        if (title == initial) {
          SleepMs(100);
          break;
        }
        ui::DoEvents();
        SleepMs(100);
        if (QueueJobCount(faxPrinter) >= 1) {
          exit = Exit::Job;
          break;
        }
      }
    }
    switch (exit) {
      case Exit::Job:
        Debug("ExitByPrinterJobs: " + phase);
        if (win) {
          Debug("3Hiding acrobat window");
          ws.Hide(win);
        }
        WaitQueueEmpty(faxPrinter, "PrintPDF");
        break;
      case Exit::TimeOut:
        Debug("ExitByTimeOut: " + phase);
        if (win) ws.Minimise(win);
        // Without anyone to answer, one request is all that can be made.
        for (int round = 0; FindReaderWindow() && round < (ui::Unattended() ? 1 : 1000); ++round)
          ui::MsgBox("To continue you must close Acrobat Reader");
        break;
      case Exit::NoWindow:
        Debug(phase + "- [No Acrobat Window]");
        break;
      case Exit::Reader:
        Debug("ExitByReader: " + phase);
        WriteErrorLog(0,
                      "The PDF reader could not print " + path + " (exit code " +
                          std::to_string(reader.ExitCode()) + ")",
                      "PrintPDF");
        break;
      case Exit::None:
        break;
    }
    // The reader has done its part; a submission still running is let finish briefly.
    reader.Wait(5000, 10);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "PrintPDF");
  }
}

PdfLock PdfProtection(const std::string& path) {
  const std::string out = mCommon::GetTempFile();
  if (out.empty()) return PdfLock::None;
  ChildProcess info;
  if (info.Start({"pdfinfo", path}, "", out) && !info.Wait(ToolTimeoutMs(), 10)) info.Kill();
  std::ifstream in(out);
  std::string said((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(out.c_str());
  if (said.find("Incorrect password") != std::string::npos) return PdfLock::Password;
  // "Encrypted:       yes (print:no copy:no ...)"
  const auto encrypted = said.find("\nEncrypted:");
  if (encrypted != std::string::npos && said.find("print:no", encrypted) < said.find('\n', encrypted + 1))
    return PdfLock::NoPrinting;
  return PdfLock::None;
}

std::string PasswordPdfText(const std::string& name) {
  return name +
         " is protected by a password. To fax it, open it in a PDF reader with the password and print it "
         "to the fax printer \"" +
         FaxPrinterName() + "\".";
}

void CloseAcrobatWindow() {
  try {
    WindowSystem& ws = Windows();
    for (int counter = 5000; counter > 0; counter -= 100) {
      WindowSystem::Handle w = FindReaderWindow();
      if (!w) return;
      Debug("Post WM_CLOSE to Acrobat Window");
      ws.PostClose(w);
      SleepMs(100);
      ui::DoEvents();
    }
    Debug("Close Acrobat Window: exit by timeout");
    if (WindowSystem::Handle w = FindReaderWindow()) ws.Minimise(w);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "CloseAcrobatWindow");
  }
}

}  // namespace brevant::render
