#include "render/FaxQueue.h"

#include <cups/cups.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "common/Logging.h"
#include "platform/ui/Ui.h"

namespace brevant::render {

std::string FaxPrinterName() {
  const char* p = std::getenv("BREVANT_FAX_PRINTER");
  return p && *p ? p : "Vestrel";
}

std::string GetDefaultPrinter() {
  cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, nullptr, nullptr);
  if (!dest) return "";
  std::string name = dest->name ? dest->name : "";
  cupsFreeDests(1, dest);
  return name;
}

bool SetDefaultPrinter(const std::string& name, std::string* error) {
  cups_dest_t* dests = nullptr;
  int n = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
  bool found = name.empty();
  for (int i = 0; i < n; ++i) {
    bool it = !dests[i].instance && strcasecmp(dests[i].name, name.c_str()) == 0;
    dests[i].is_default = it ? 1 : 0;
    found = found || it;
  }
  bool ok = found && cupsSetDests2(CUPS_HTTP_DEFAULT, n, dests) == 0;
  cupsFreeDests(n, dests);
  if (!ok && error)
    *error = found ? std::string("cannot save the default printer: ") + cupsLastErrorString()
                   : "no printer named \"" + name + "\"";
  return ok;
}

int QueueJobCount(const std::string& printer) {
  cups_job_t* jobs = nullptr;
  int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &jobs, printer.c_str(), 0, CUPS_WHICHJOBS_ACTIVE);
  if (jobs) cupsFreeJobs(n, jobs);
  if (n <= 0 && cupsLastError() > IPP_STATUS_OK_EVENTS_COMPLETE &&
      cupsLastError() != IPP_STATUS_ERROR_NOT_FOUND)
    return -1;
  return n < 0 ? -1 : n;
}

bool WaitQueueEmpty(const std::string& printer, const std::string& source, long timeoutMs, long pollMs) {
  if (timeoutMs < 0) {
    const char* t = std::getenv("BREVANT_QUEUE_TIMEOUT_MS");
    timeoutMs = t && *t ? std::atol(t) : 660'000;
  }
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  ui::SleepEvents(pollMs);
  for (;;) {
    int n = QueueJobCount(printer);
    if (n == 0) return true;
    if (n < 0) {
      WriteErrorLog(0, "The print scheduler does not answer while waiting for " + printer, source);
      return false;
    }
    if (std::chrono::steady_clock::now() >= end) {
      WriteErrorLog(0, "Jobs still in " + printer + " after " + std::to_string(timeoutMs / 1000) + " s", source);
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
  for (const auto& [k, v] : options) n = cupsAddOption(k.c_str(), v.c_str(), n, &opts);
  int job = cupsPrintFile(dest.c_str(), path.c_str(), title.c_str(), n, opts);
  cupsFreeOptions(n, opts);
  if (job <= 0) *error = "CUPS refused " + path + " for " + dest + ": " + cupsLastErrorString();
  return job > 0 ? job : 0;
}

DefaultPrinterSwitch::DefaultPrinterSwitch() : previous_(GetDefaultPrinter()) {
  std::string error;
  if (!SetDefaultPrinter(FaxPrinterName(), &error)) WriteErrorLog(0, error, "mPrint.SetDefaultPrinter");
}

DefaultPrinterSwitch::~DefaultPrinterSwitch() {
  std::string error;
  if (!SetDefaultPrinter(previous_, &error)) WriteErrorLog(0, error, "mPrint.SetDefaultPrinter");
}

}  // namespace brevant::render
