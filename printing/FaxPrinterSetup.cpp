#include "printing/FaxPrinterSetup.h"

#include <strings.h>

#include "common/Errors.h"
#include "common/Logging.h"
#include "printing/CPrinters.h"
#include "printing/Spooler.h"

namespace brevant {

namespace {
FaxServiceProbe& Probe() {
  static FaxServiceProbe probe;
  return probe;
}
}  // namespace

void SetFaxServiceProbe(FaxServiceProbe probe) {
  Probe() = std::move(probe);
}

void ConfigureFaxPrinterForConfig() {
  try {
    // The result is not looked at: a fax printer that is missing is told
    // by the fax printer checks, not by the configuration dialog.
    SetFaxPrinterConfig("Vestrel", "NT EMF 1.008", "vprproc");
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mPrinters.ConfigureFaxPrinterForConfig");
  }
}

bool ConnectWmiServices(const std::string& server, const std::string& user, const std::string& password) {
  try {
    // Only this machine's scheduler is managed here; a named server is
    // reached only when it is this machine.
    if (!server.empty() && strcasecmp(server.c_str(), "localhost") != 0 && server != ".") return false;
    long err = 0;
    spooler::PrinterNames(&err);
    return err == 0;
  } catch (...) {
    return false;
  }
}

bool SetFaxPrinterConfig(const std::string& printerName, const std::string& dataType,
                         const std::string& printProcessor) {
  try {
    if (!ConnectWmiServices("", "", "")) return false;
    spooler::PrinterRecord rec;
    if (spooler::GetPrinter(printerName, &rec) != 0) return false;
    // CUPS always spools a whole job before printing it and prints in
    // order, so "queued" and "complete first" hold without a setting.
    long err = spooler::SetPrinterOptions(rec.PrinterName, {{"brevant-datatype", dataType},
                                                            {"brevant-priority", "1"},
                                                            {"job-priority", "1"},
                                                            {"brevant-print-processor", printProcessor}});
    return err == 0;
  } catch (...) {
    return false;
  }
}

bool MSFaxProperlyInstalled() {
  try {
    const FaxServiceProbe& probe = Probe();
    if (!probe.faxServerConnected || !probe.faxServerConnected()) return false;
    const bool xp = probe.xpCheck && probe.xpCheck() == "XP";
    const std::string expected = xp ? "Microsoft Shared Fax Driver" : "Windows NT Fax Driver";
    CPrinters printers;
    for (CPrinterInfo* p : printers.NewEnum())
      if (strcasecmp(p->DriverName().c_str(), expected.c_str()) == 0) return true;
    WriteErrorLog(0, "Cant find Printer.DriverName = '" + expected + "'", "MSFaxProperlyInstalled");
    std::string dump = "dumping printers...\r\n";
    for (CPrinterInfo* p : printers.NewEnum())
      dump += "PrinterName = '" + p->PrinterName() + "', DriverName = '" + p->DriverName() + "'\r\n";
    WriteErrorLog(0, dump, "MSFaxProperlyInstalled");
    return false;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "MSFaxProperlyInstalled");
    return false;
  }
}

}  // namespace brevant
