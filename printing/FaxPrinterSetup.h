#pragma once
// The fax printer "Vestrel": its set-up and checks.
#include <functional>
#include <string>

namespace brevant {

// "config" first gives the fax printer its data type and print processor.
void ConfigureFaxPrinterForConfig();

// True when the printer management service (the CUPS scheduler of this
// machine) answers. server, user and password name another machine's
// scheduler and its account; empty means the local one.
bool ConnectWmiServices(const std::string& server, const std::string& user, const std::string& password);

// Keeps the data type and print processor as options of the printer's queue
// and gives it priority 1. False when the scheduler does not answer, the
// printer does not exist or the change is refused.
bool SetFaxPrinterConfig(const std::string& printerName, const std::string& dataType,
                         const std::string& printProcessor);

// True when the fax service's own printer driver is properly installed:
// the fax service answers and a printer uses its driver ("Microsoft Shared
// Fax Driver" where the XP check says "XP", else "Windows NT Fax Driver",
// letter case ignored).
bool MSFaxProperlyInstalled();

// How MSFaxProperlyInstalled learns about the fax service, which lives in
// a later library: whether a fax server connection can be had, and the XP
// check. Until registered there is no fax server.
struct FaxServiceProbe {
  std::function<bool()> faxServerConnected;
  std::function<std::string()> xpCheck;
};
void SetFaxServiceProbe(FaxServiceProbe probe);

}  // namespace brevant
