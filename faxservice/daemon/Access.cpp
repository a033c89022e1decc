#include "faxservice/daemon/Access.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "faxservice/daemon/State.h"
#include "faxservice/protocol/Service.h"

namespace brevant::faxd {

namespace {

enum class Rule {
  kAnyone,          // every local user, for their own view of the service
  kAdministrators,  // fax administrators only
  kOwner,           // the owner of the job or fax named, or an administrator
};

struct OpRule {
  const char* op;
  Rule rule;
  const char* what;  // the refused action, for the message
};

// Every request the service knows, and who may make it. A request not
// listed here is unknown and reaches nothing.
const OpRule kRules[] = {
    {"hello", Rule::kAnyone, ""},
    {"devices", Rule::kAnyone, ""},
    {"queue_get", Rule::kAnyone, ""},
    {"line_get", Rule::kAnyone, ""},
    {"folders", Rule::kAnyone, ""},
    {"submit", Rule::kAnyone, ""},
    {"jobs", Rule::kAnyone, ""},
    {"archive", Rule::kAnyone, ""},
    {"events", Rule::kAnyone, ""},
    {"job", Rule::kOwner, ""},
    {"job_op", Rule::kOwner, ""},
    {"resend", Rule::kOwner, ""},
    {"fax_open", Rule::kOwner, ""},
    {"device_set", Rule::kAdministrators, "change fax devices"},
    {"answer", Rule::kAdministrators, "answer calls"},
    {"call", Rule::kAdministrators, "ring the fax device with a test call"},
    {"queue_set", Rule::kAdministrators, "pause or resume the outgoing queue"},
    {"line_set", Rule::kAdministrators, "change line settings"},
    {"lines", Rule::kAdministrators, "list the fax lines"},
    {"line_add", Rule::kAdministrators, "add fax lines"},
    {"line_update", Rule::kAdministrators, "change fax lines"},
    {"line_remove", Rule::kAdministrators, "remove fax lines"},
    {"modem_probe", Rule::kAdministrators, "probe modems"},
    {"farend", Rule::kAdministrators, "read the far-end station's faxes"},
    {"shutdown", Rule::kAdministrators, "stop the fax service"},
};

// The object an owner-ruled request names, and the refusal a caller gets
// when it is missing or not theirs (the same text, so nobody learns which).
struct Named {
  std::string kind;
  long long id;
  std::string missing;
};

Named NamedBy(const faxsvc::Message& req) {
  const std::string op = req.Get("op");
  if (op == "resend" && req.Has("job")) {
    long long job = req.GetInt("job");
    return {"sent_job", job, "no sent fax to send again"};
  }
  if (op == "resend") return {"sent", req.GetInt("id"), "no sent fax to send again"};
  if (op == "fax_open") {
    long long id = req.GetInt("id");
    return {req.Get("folder") == "in" ? "received" : "sent", id,
            "no fax " + std::to_string(id) + " in this folder"};
  }
  long long id = req.GetInt("id");
  return {"job", id, "no fax job " + std::to_string(id)};
}

std::string UserName(uid_t uid) {
  std::vector<char> buf(16384);
  passwd pw{}, *found = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) == 0 && found) return pw.pw_name;
  return "";
}

}  // namespace

int Caller::Rights() const {
  return admin ? faxsvc::kAdministratorRights : faxsvc::kUserRights;
}

bool IsFaxAdministrator(uid_t uid, const std::string& adminGroup) {
  if (uid == 0) return true;
  std::vector<char> buf(65536);
  group gr{}, *g = nullptr;
  if (adminGroup.empty() || ::getgrnam_r(adminGroup.c_str(), &gr, buf.data(), buf.size(), &g) != 0 || !g)
    return false;
  gid_t admins = g->gr_gid;
  std::vector<char> pbuf(16384);
  passwd pw{}, *p = nullptr;
  if (::getpwuid_r(uid, &pw, pbuf.data(), pbuf.size(), &p) != 0 || !p) return false;
  if (p->pw_gid == admins) return true;
  // The group database, not the connecting process's groups: a user added
  // to the group counts from the next connection, one removed stops.
  int n = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(n));
  if (::getgrouplist(p->pw_name, p->pw_gid, groups.data(), &n) < 0) {
    groups.resize(static_cast<std::size_t>(n));
    if (::getgrouplist(p->pw_name, p->pw_gid, groups.data(), &n) < 0) return false;
  }
  for (int i = 0; i < n; ++i)
    if (groups[static_cast<std::size_t>(i)] == admins) return true;
  return false;
}

bool IdentifyPeer(int fd, const std::string& adminGroup, Caller* out) {
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) return false;
  out->uid = cred.uid;
  out->gid = cred.gid;
  out->pid = cred.pid;
  out->name = UserName(cred.uid);
  out->admin = IsFaxAdministrator(cred.uid, adminGroup);
  return true;
}

Grant CheckAccess(const Caller& caller, const faxsvc::Message& request, const OwnerLookup& ownerOf) {
  const std::string op = request.Get("op");
  const OpRule* rule = nullptr;
  for (const OpRule& r : kRules)
    if (op == r.op) rule = &r;
  if (!rule) throw Refused(faxsvc::kErrNotOffered, "unknown request \"" + op.substr(0, 64) + "\"");
  Grant grant;
  grant.all = caller.admin;
  grant.owner = static_cast<long long>(caller.uid);
  switch (rule->rule) {
    case Rule::kAnyone:
      break;
    case Rule::kAdministrators:
      if (!caller.admin)
        throw Refused(faxsvc::kErrAdministratorsOnly,
                      std::string("Permission denied: only fax administrators may ") + rule->what);
      break;
    case Rule::kOwner: {
      Named named = NamedBy(request);
      std::optional<long long> owner = ownerOf(named.kind, named.id);
      if (!owner || !grant.Allows(*owner)) throw Refused(faxsvc::kErrRefused, named.missing);
      break;
    }
  }
  return grant;
}

}  // namespace brevant::faxd
