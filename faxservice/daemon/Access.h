#pragma once
// Who asks and what they may do. The service runs as root and serves every
// local user, so each request is decided by the credentials of the process
// that connected (SO_PEERCRED), never by file permissions: a user sees and
// acts on their own jobs and faxes; the fax administrators (root and the
// members of the administrators' group, brevant-fax-admin unless the
// service is told another) manage all of them, change devices and line
// settings, pause the queue, answer and place test calls, read received
// faxes and end the service. A received fax routed to a user (the device's
// route_to) is that user's.
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>

#include "faxservice/protocol/Protocol.h"

namespace brevant::faxd {

struct Caller {
  uid_t uid = 0;
  gid_t gid = 0;
  pid_t pid = 0;
  std::string name;  // the user's name ("" when the user database has none)
  bool admin = false;
  // The fax server's access rights (faxsvc::AccessRight bits) they hold.
  int Rights() const;
};

// The peer of a connected Unix socket; false when the kernel cannot say.
bool IdentifyPeer(int fd, const std::string& adminGroup, Caller* out);
// Root, or a member of adminGroup in the group database (primary or
// supplementary).
bool IsFaxAdministrator(uid_t uid, const std::string& adminGroup);

// What a granted request may reach: every owner's jobs and faxes, or only
// the caller's.
struct Grant {
  bool all = false;
  long long owner = -1;
  bool Allows(long long ownerUid) const { return all || ownerUid == owner; }
};

// The owner of the job or fax a request names ("job", "sent", "received",
// by id), or nothing when there is none.
using OwnerLookup = std::function<std::optional<long long>(const std::string& kind, long long id)>;

// The one check every request passes before any job, device or archive
// code sees it. Throws Refused: kErrNotOffered for an unknown request,
// kErrAdministratorsOnly for a request only administrators may make, and for a job or fax that is not
// the caller's the same refusal as for one that does not exist.
Grant CheckAccess(const Caller& caller, const faxsvc::Message& request, const OwnerLookup& ownerOf);

}  // namespace brevant::faxd
