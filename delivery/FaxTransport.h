#pragma once
// The fax service transport: the process's fax server connection, the
// submission of a fax job (one fax per recipient), the fax device name and
// check, and the fax service's store folders. SendFaxMSFax itself is
// declared in Delivery.h.
#include <memory>
#include <string>

namespace brevant {

namespace faxsvc {
class FaxServer;
}

// The process's fax server, created and connected on first use and reused
// afterwards (never reconnected). Null while the fax service does not run
// (each call asks again); a server whose Connect failed is returned
// unconnected, and its next call fails.
std::shared_ptr<faxsvc::FaxServer> GetFaxServer();
// The running fax service as a fax server object, not connected; null when
// the service does not answer (*why says why, when given).
std::shared_ptr<faxsvc::FaxServer> CreateFaxServer(std::string* why = nullptr);
// Forgets the process's fax server (tests that start a new daemon).
void ResetFaxServerForTests();

// One fax document per recipient of the current fax job.
void GenerateFax();

// Name of the first fax device; "" when there is none or the fax service
// cannot be reached.
std::string GetFaxName();
bool FaxDeviceInstalled();

// Always False: documents are not converted through the fax service.
bool Doc2Tiff_viaFaxComLibEx(const std::string& document, const std::string& target);

// The received-fax store and the sent-fax archive as folders of files, for
// the older fax server edition: with the fax service running, this user's
// view of them in the program folder ("FaxService/Received", ".../Sent"),
// refreshed from the service (the user's own faxes, received faxes routed
// to them, every fax for an administrator); without it, the folders the
// local-machine registry names ("Store Directory", "ArchiveDirectory"; the
// service names its own there when it starts), "" when unset.
std::string FaxStoreFolder();
std::string FaxArchiveFolder();

namespace mCommon {
// Opens the fax monitor (the fax service's console).
void RunFaxConsole();
}  // namespace mCommon

}  // namespace brevant
