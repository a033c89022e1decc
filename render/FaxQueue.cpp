#include "render/FaxQueue.h"

#include <cups/cups.h>
#include <strings.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "common/Logging.h"
#include "platform/env/Environment.h"
#include "platform/events/NamedEvent.h"
#include "platform/fs/Files.h"
#include "platform/print/Cups.h"
#include "platform/ui/Ui.h"
#include "printing/Spooler.h"

namespace brevant::render {

std::string FaxPrinterName() {
  const std::string p = platform::env::Get(platform::env::Var::FaxPrinter);
  return p.empty() ? "Vestrel" : p;
}

bool FaxPrinterInstalled(std::string* why) {
  long error = 0;
  std::vector<std::string> names = spooler::PrinterNames(&error);
  const std::string fax = FaxPrinterName();
  if (error != 0) {
    *why = "The print system does not answer, so the fax printer \"" + fax +
           "\" cannot be used. Cannot make fax.";
    return false;
  }
  for (const std::string& n : names)
    if (strcasecmp(n.c_str(), fax.c_str()) == 0) return true;
  *why = "The fax printer \"" + fax + "\" is not installed. Cannot make fax.";
  return false;
}

std::string GetDefaultPrinter() {
  return spooler::DefaultPrinterName();
}

bool SetDefaultPrinter(const std::string& name, std::string* error) {
  if (!name.empty()) {
    // The user's lpoptions "Default" line names the queue, and that is
    // what every print program takes (PRINTER and LPDEST aside): written,
    // the queue is the default, so nothing is read back.
    const long err = spooler::SetDefaultPrinterName(name);
    if (err == 0) return true;
    if (error)
      *error = err == spooler::kErrInvalidPrinterName
                   ? "no printer named \"" + name + "\""
                   : "\"" + name + "\" did not become the default printer (" + std::to_string(err) + ")";
    return false;
  }
  // No default before: the user's "Default" line goes back to an ordinary
  // "Dest" line, so the scheduler's own default applies again.
  const char* home = std::getenv("HOME");
  if (!home || !*home) return true;
  const std::string path = std::string(home) + "/.cups/lpoptions";
  std::ifstream in(path);
  if (!in) return true;
  std::string text, line;
  while (std::getline(in, line)) {
    if (line.rfind("Default ", 0) == 0) line = "Dest " + line.substr(8);
    text += line + "\n";
  }
  in.close();
  std::string why;
  if (platform::WriteFileAtomic(path, text, platform::AtomicOptions(0666), &why)) return true;
  if (error) *error = why;
  return false;
}

namespace {
// How often WaitQueueEmpty saw a queue empty: a print that awaited its own
// job shows as a change.
unsigned long g_queueEmptied = 0;
}  // namespace

int QueueJobCount(const std::string& printer) {
  std::uint32_t count = 0;
  long err = spooler::GetJobCount(printer, &count);
  if (err == spooler::kErrInvalidPrinterName) return 0;
  return err ? -1 : int(count);
}

bool WaitQueueEmpty(const std::string& printer, const std::string& source, long timeoutMs, long pollMs) {
  if (timeoutMs < 0) {
    timeoutMs = platform::env::Milliseconds(platform::env::Var::QueueTimeoutMs, 660'000);
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int n = QueueJobCount(printer);
    if (n == 0) {
      ++g_queueEmptied;
      return true;
    }
    if (n < 0) {
      WriteErrorLog(0, "The print scheduler does not answer while waiting for " + printer, source);
      return false;
    }
    if (std::chrono::steady_clock::now() >= end) {
      WriteErrorLog(0, "Jobs still in " + printer + " after " + std::to_string(timeoutMs / 1000) + " s",
                    source);
      return false;
    }
    ui::SleepEvents(pollMs);
  }
}

int SubmitFile(const std::string& printer, const std::string& path, const std::string& title,
               const std::map<std::string, std::string>& options, std::string* error) {
  std::string dest = printer.empty() ? GetDefaultPrinter() : printer;
  if (dest.empty()) {
    *error = "no default printer";
    return 0;
  }
  cups_option_t* opts = nullptr;
  int n = 0;
  for (const auto& [k, v] : options) n = brevant::print::Cups().cupsAddOption(k.c_str(), v.c_str(), n, &opts);
  int job = brevant::print::Cups().cupsPrintFile(dest.c_str(), path.c_str(), title.c_str(), n, opts);
  brevant::print::Cups().cupsFreeOptions(n, opts);
  if (job <= 0)
    *error = "CUPS refused " + path + " for " + dest + ": " + brevant::print::Cups().cupsLastErrorString();
  return job > 0 ? job : 0;
}

namespace {

// Takes a variable out of the environment, returning what it held.
std::pair<bool, std::string> TakeEnv(const char* name) {
  const char* v = std::getenv(name);
  std::pair<bool, std::string> saved{v != nullptr, v ? v : ""};
  ::unsetenv(name);
  return saved;
}

void PutEnv(const char* name, const std::pair<bool, std::string>& value) {
  if (value.first)
    ::setenv(name, value.second.c_str(), 1);
  else
    ::unsetenv(name);
}

}  // namespace

DefaultPrinterSwitch::DefaultPrinterSwitch() : printer_(TakeEnv("PRINTER")), lpdest_(TakeEnv("LPDEST")) {
  const std::string fax = FaxPrinterName();
  for (const auto* v : {&printer_, &lpdest_})
    if (v->first && strcasecmp(v->second.c_str(), fax.c_str()) != 0)
      WriteTraceLog("mPrint.SetDefaultPrinter", std::string(v == &printer_ ? "PRINTER" : "LPDEST") +
                                                    " names " + v->second + "; the fax's documents go to " +
                                                    fax);
  previous_ = GetDefaultPrinter();
  std::string error;
  if (!SetDefaultPrinter(fax, &error)) WriteErrorLog(0, error, "mPrint.SetDefaultPrinter");
  ::setenv("PRINTER", fax.c_str(), 1);
  ::setenv("LPDEST", fax.c_str(), 1);
}

DefaultPrinterSwitch::~DefaultPrinterSwitch() {
  ::unsetenv("PRINTER");
  ::unsetenv("LPDEST");
  std::string error;
  if (!SetDefaultPrinter(previous_, &error)) WriteErrorLog(0, error, "mPrint.SetDefaultPrinter");
  PutEnv("PRINTER", printer_);
  PutEnv("LPDEST", lpdest_);
}

std::string PrintOnFaxPrinter(const std::string& source, const std::function<void()>& print) {
  DefaultPrinterSwitch useFaxPrinter;
  auto faxPrinter = platform::NamedEvent::Create("FaxPrinter", true, true);
  const unsigned long emptied = g_queueEmptied;
  const std::string printer = FaxPrinterName();
  std::uint32_t before = 0;
  spooler::NewestJobId(printer, &before);
  print();
  // A route that handed its job over and returned gives the scheduler a
  // moment to show the job. One that waited until its job had left the
  // queue needs no such pause: the queue is only asked whether anything
  // came after.
  if (g_queueEmptied == emptied) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  WaitQueueEmpty(printer, source);
  if (faxPrinter) faxPrinter->Reset();

  // The jobs of this print the fax printer aborted: its message says why (a
  // spool folder it may not write, a document it cannot read).
  std::vector<spooler::RefusedJob> refused;
  std::string why;
  if (spooler::RefusedJobs(printer, before, &refused) != 0) return why;
  for (const spooler::RefusedJob& j : refused) {
    const std::string line = "The fax printer \"" + printer + "\" refused " + j.Document + ": " +
                             (j.Reason.empty() ? "it gave no reason" : j.Reason);
    WriteErrorLog(0, line, source);
    why += (why.empty() ? "" : "\n") + line;
  }
  return why;
}

}  // namespace brevant::render
