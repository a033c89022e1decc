#pragma once
// What the fax service's client and daemon agree on beside the messages:
// the error type of the service's callers (job statuses, operations and
// receive modes are in Protocol.h), access rights, how a document is handed to the service,
// and where the service's folders are recorded.
#include <string>

#include "faxservice/protocol/Protocol.h"
#include "platform/error/Error.h"

namespace brevant::faxsvc {

// A failure of the fax service as its callers see it: the service's refusal
// (with the error number it sent) or a failure to reach it. Built on the
// platform's error type, so the program records it like any other failure
// under its number.
class FaxError : public platform::Error {
 public:
  using platform::Error::Error;
};

// Access rights of the fax server (the newer family's FaxSecurity
// GrantedRights bits).
enum AccessRight : int {
  kRightSubmitLow = 0x1,
  kRightSubmitNormal = 0x2,
  kRightSubmitHigh = 0x4,
  kRightQueryJobs = 0x8,
  kRightManageJobs = 0x10,
  kRightQueryConfig = 0x20,
  kRightManageConfig = 0x40,
  kRightQueryInArchive = 0x80,
  kRightManageInArchive = 0x100,
  kRightQueryOutArchive = 0x200,
  kRightManageOutArchive = 0x400,
};
// What every user holds: submitting at any priority, managing their own
// jobs and faxes, reading the configuration.
constexpr int kUserRights = kRightSubmitLow | kRightSubmitNormal | kRightSubmitHigh | kRightQueryConfig;
constexpr int kAdministratorRights = 0x7FF;

// The older family's queue status text of a status value ("Pending",
// "Transmitting", "Paused", "Retrying", "Failed", "Completed", "Canceled").
std::string QueueStatusText(int status);

// Opens a document for the fax service with this process's rights (the
// descriptor goes over the socket). A path that is missing, cannot be read
// or is not a regular file is refused with one message for all three.
// Throws FaxError 53; the caller closes the descriptor.
int OpenDocument(const std::string& path);

// The fax service's folders as this machine's local-machine registry names
// them: the received-fax store when incoming ("Store Directory" under
// Software\Microsoft\Fax\Setup\Original Setup Data), else the sent-fax
// archive ("ArchiveDirectory" under Software\Microsoft\Fax); "" when not
// set. The service records its folders there when it starts, so the
// service and every reader of the folders name the same ones.
std::string RegisteredFaxFolder(bool incoming);
// Records a folder there; false when the registry cannot be written.
bool RegisterFaxFolder(bool incoming, const std::string& folder);

}  // namespace brevant::faxsvc
