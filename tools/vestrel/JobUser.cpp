#include "tools/vestrel/JobUser.h"

#include <strings.h>

#include <cstdio>
#include <sstream>
#include <vector>

#include "platform/fs/SafeFiles.h"
#include "platform/print/Cups.h"

namespace brevant::vestrel {
namespace {

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r");
  if (b == std::string::npos) return "";
  return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

bool Same(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

// One <Limit> (or <LimitExcept>) block of a policy.
struct Limit {
  std::vector<std::string> ops;
  bool except = false;
  bool authType = false;  // an AuthType other than None
  bool require = false;
  bool satisfyAny = false;

  bool Names(const std::string& op) const {
    for (const auto& o : ops)
      if (Same(o, op)) return true;
    return false;
  }
  bool Authenticates() const { return (authType || require) && !satisfyAny; }
};

// The limit the scheduler applies to op: the one naming it, else "All".
const Limit* LimitFor(const std::vector<Limit>& limits, const std::string& op) {
  for (const auto& l : limits)
    if (l.except ? !l.Names(op) : l.Names(op)) return &l;
  for (const auto& l : limits)
    if (!l.except && l.Names("All")) return &l;
  return nullptr;
}

}  // namespace

bool PolicyAuthenticatesJobs(const std::string& conf, const std::string& policy) {
  std::istringstream in(conf);
  std::string line;
  bool inPolicy = false;
  std::vector<Limit> limits;
  Limit* current = nullptr;
  bool found = false;
  while (std::getline(in, line)) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    std::vector<std::string> w = Words(line);
    if (!inPolicy) {
      if (Same(w[0], "<Policy") && w.size() >= 2) {
        std::string name = w[1];
        if (!name.empty() && name.back() == '>') name.pop_back();
        inPolicy = Same(name, policy);
      }
      continue;
    }
    if (Same(w[0], "</Policy>")) {
      found = true;
      break;
    }
    if (Same(w[0], "<Limit") || Same(w[0], "<LimitExcept")) {
      limits.emplace_back();
      current = &limits.back();
      current->except = Same(w[0], "<LimitExcept");
      for (std::size_t i = 1; i < w.size(); ++i) {
        std::string op = w[i];
        if (!op.empty() && op.back() == '>') op.pop_back();
        if (!op.empty()) current->ops.push_back(op);
      }
    } else if (Same(w[0], "</Limit>") || Same(w[0], "</LimitExcept>")) {
      current = nullptr;
    } else if (current && Same(w[0], "AuthType") && w.size() >= 2) {
      current->authType = !Same(w[1], "None");
    } else if (current && Same(w[0], "Require")) {
      current->require = true;
    } else if (current && Same(w[0], "Satisfy") && w.size() >= 2) {
      current->satisfyAny = Same(w[1], "any");
    }
  }
  if (!found) return false;
  for (const char* op : {"Print-Job", "Create-Job"}) {
    const Limit* l = LimitFor(limits, op);
    if (!l || !l->Authenticates()) return false;
  }
  return true;
}

JobUser FindJobUser(int jobId, const std::string& queue, const std::string& serverRoot) {
  JobUser u;
  try {
    const auto& cups = print::Cups();
    auto ask = [&](ipp_op_t op, const char* uriName, const std::string& uri, const char* attr) {
      ipp_t* req = cups.ippNewRequest(op);
      cups.ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_URI, uriName, nullptr, uri.c_str());
      cups.ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, "root");
      cups.ippAddString(req, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes", nullptr, attr);
      std::string value;
      if (ipp_t* resp = cups.cupsDoRequest(CUPS_HTTP_DEFAULT, req, "/")) {
        if (ipp_attribute_t* a = cups.ippFindAttribute(resp, attr, IPP_TAG_ZERO))
          if (const char* s = cups.ippGetString(a, 0, nullptr)) value = s;
        cups.ippDelete(resp);
      }
      return value;
    };
    u.name = ask(IPP_OP_GET_JOB_ATTRIBUTES, "job-uri", "ipp://localhost/jobs/" + std::to_string(jobId),
                 "job-originating-user-name");
    if (u.name.empty()) {
      u.why = "the print scheduler does not know job " + std::to_string(jobId);
      return u;
    }
    std::string policy = queue.empty() ? ""
                                       : ask(IPP_OP_GET_PRINTER_ATTRIBUTES, "printer-uri",
                                             "ipp://localhost/printers/" + queue, "printer-op-policy");
    if (policy.empty()) {
      u.why = "the print scheduler does not tell the operation policy of the queue \"" + queue + "\"";
      return u;
    }
    std::string conf, why;
    if (platform::ReadRegularFile(serverRoot + "/cupsd.conf", 1 << 20, &conf, &why) !=
        platform::ReadStatus::Ok) {
      u.why = "cannot read the scheduler's configuration: " + why;
      return u;
    }
    u.authenticated = PolicyAuthenticatesJobs(conf, policy);
    if (!u.authenticated)
      u.why = "the queue's operation policy \"" + policy +
              "\" lets anyone print under any name (lpadmin -p " + queue +
              " -o printer-op-policy=authenticated)";
  } catch (const std::exception& e) {
    u.why = std::string("cannot ask the print scheduler: ") + e.what();
  }
  return u;
}

}  // namespace brevant::vestrel
