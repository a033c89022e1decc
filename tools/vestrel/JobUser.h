#pragma once
// Who printed a job, as the print scheduler knows it. The user name on the
// backend's command line is whatever the client claimed ("lp -U anyone");
// it is worth something only when the queue's operation policy makes the
// scheduler authenticate whoever submits a job (on the local socket it
// checks the peer's credentials), so both are asked for.
#include <string>

namespace brevant::vestrel {

struct JobUser {
  std::string name;  // "" when not known
  bool authenticated = false;
  std::string why;  // what is missing when the name does not count
};

// Asks the scheduler (IPP Get-Job-Attributes, Get-Printer-Attributes) for
// the job's job-originating-user-name and its queue's printer-op-policy,
// and reads that policy in serverRoot + "/cupsd.conf". Runs as root, which
// may read both.
JobUser FindJobUser(int jobId, const std::string& queue, const std::string& serverRoot);

// Whether the <Policy name> of a cupsd.conf text makes the scheduler
// authenticate the user of Print-Job and Create-Job: the <Limit> that
// applies to each (the one naming it, else "All") has an AuthType other
// than None or a Require line, and no "Satisfy any".
bool PolicyAuthenticatesJobs(const std::string& conf, const std::string& policy);

}  // namespace brevant::vestrel
