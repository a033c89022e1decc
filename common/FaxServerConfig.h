#pragma once
// Which fax service this user's Brevant uses, and how it reaches a fax
// server, is set in the registry (HKCU, else HKLM):
//   Software\Norvane\Pelorin\FaxServer
//     "Service"      "HylaFAX" for a fax server; anything else: brevant-faxd
//     "Server"       host name or address (localhost)
//     "Port"         DWORD, 4559
//     "User"         login name on the server (the user's own login name)
//     "PassiveMode"  DWORD, 1 (the client opens data connections) or 0 (the
//                    server connects back, PORT)
//     "Timeout"      DWORD seconds any reply may take (30)
//     "DiscountStart", "DiscountEnd"  DWORD hours of cheap rates (20, 7):
//                    a fax sent at discount rates waits for DiscountStart
//     "Retries"      DWORD further attempts after the first (the server's
//                    own default when absent)
// The password ("Password" of the user's key) is never kept in the
// registry: it is in the user's secret store (platform/secret), where
// brevant-reg and the configuration dialog put it.
#include <string>

#include "faxservice/client/FaxService.h"

namespace brevant::faxsvc {

inline constexpr const char* kFaxServerKey = "Software\\Norvane\\Pelorin\\FaxServer";

// The settings of this user (HKCU values first, then HKLM's; the password
// from the user's secret store).
FaxServerSettings ReadFaxServerSettings();
// Whether they name a HylaFAX server ("Service" alone is read).
bool FaxServerConfigured();

// Stores (or, when empty, removes) the password in the user's secret
// store; false with *why when no store takes it.
bool StoreFaxServerPassword(const std::string& password, std::string* why);

// What the program hands the fax service client: this user's fax server,
// and the program's error log for the failures the client reports.
ClientSettings ProgramFaxClient();

}  // namespace brevant::faxsvc
