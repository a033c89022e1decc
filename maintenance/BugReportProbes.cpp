// The bug report's probes over this machine: CUPS for printers, uname and
// os-release for the system, the registry store for the version record, and
// libcurl for the mail server.
#include <cups/cups.h>
#include "platform/net/Curl.h"
#include "platform/print/Cups.h"
#include <sys/utsname.h>

#include <fstream>

#include "common/OsCheck.h"
#include "common/CWinReg.h"
#include "maintenance/BugReport.h"
#include "maintenance/ReportMail.h"

namespace brevant {
namespace {

std::vector<PrinterRecord> CupsPrinters() {
  std::vector<PrinterRecord> list;
  cups_dest_t* dests = nullptr;
  int n = brevant::print::Cups().cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
  for (int i = 0; i < n; ++i) {
    const cups_dest_t& d = dests[i];
    if (d.instance) continue;
    auto opt = [&](const char* name, const char* fallback) {
      const char* v = brevant::print::Cups().cupsGetOption(name, d.num_options, d.options);
      return std::string(v && *v ? v : fallback);
    };
    // The queue's driver is its make and model; the print processor and the
    // data type are kept as options of the queue, with the spooler's usual
    // values when a queue has none.
    list.push_back({d.name, opt("printer-make-and-model", ""), opt("print-processor", "winprint"),
                    opt("datatype", "RAW")});
  }
  brevant::print::Cups().cupsFreeDests(n, dests);
  return list;
}

std::string OsDescription() {
  struct utsname u {};
  if (::uname(&u) != 0) return "";
  std::string text = std::string(u.sysname) + " " + u.release + " " + u.machine;
  std::ifstream in("/etc/os-release");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("PRETTY_NAME=", 0) == 0) {
      std::string v = line.substr(12);
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      text += " (" + v + ")";
    }
  }
  return text;
}

}  // namespace

BugReportProbes DefaultBugReportProbes() {
  BugReportProbes p;
  p.mailClient = [] { return ReportMailReachable(); };
  p.mailClientVersion = [] {
    return std::string("SMTP ") + ReportMailServer() + " (libcurl " + (brevant::net::Curl().version_info ? brevant::net::Curl().version_info(CURLVERSION_NOW)->version : "not installed") + ")";
  };
  p.printers = CupsPrinters;
  p.osDescription = OsDescription;
  p.xpCheck = mCommon::CheckXP;
  return p;
}

}  // namespace brevant
