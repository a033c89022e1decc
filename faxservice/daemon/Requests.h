#pragma once
// The service's requests: each passes the access check (Access.h) and then
// reaches the jobs, devices and archives through the state it shares with
// the line workers. docs/fax-service.md lists them.
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "faxservice/protocol/Protocol.h"
#include "faxservice/daemon/Access.h"
#include "faxservice/daemon/Archive.h"
#include "faxservice/daemon/State.h"

namespace brevant::faxd {

// A reply, with a descriptor to hand over (a stored fax) when fd >= 0; the
// server closes it once sent.
struct Reply {
  faxsvc::Message message;
  int fd = -1;
};

class Requests {
 public:
  // stopService ends the service; linesChanged starts and ends the
  // workers of lines added or removed (called without the state's lock).
  Requests(State& state, const Archive& archive, long idleTimeoutMs, std::function<void()> stopService,
           std::function<void()> linesChanged = {})
      : state_(state), archive_(archive), idleTimeoutMs_(idleTimeoutMs), stopService_(std::move(stopService)),
        linesChanged_(std::move(linesChanged)) {}

  // One request of the caller, with the document descriptor its frame
  // carried (-1 when none; the caller of Handle closes it). Never throws.
  Reply Handle(const Caller& caller, const faxsvc::Message& request, int documentFd);

 private:
  std::optional<long long> OwnerOf(const std::string& kind, long long id);
  faxsvc::Message Hello(const Caller& caller);
  faxsvc::Message Devices(const Caller& caller);
  faxsvc::Message Submit(const Caller& caller, const faxsvc::Message& req, int fd, std::unique_lock<std::mutex>& lk);
  faxsvc::Message PlaceCall(const faxsvc::Message& req, int fd, std::unique_lock<std::mutex>& lk);
  faxsvc::Message ListJobs(const Grant& grant, const faxsvc::Message& req);
  faxsvc::Message ListArchive(const Grant& grant, const faxsvc::Message& req);
  faxsvc::Message ListEvents(const Grant& grant, const faxsvc::Message& req);
  faxsvc::Message ListFarEnd(const faxsvc::Message& req);
  faxsvc::Message JobOp(const Caller& caller, const faxsvc::Message& req, std::unique_lock<std::mutex>& lk);
  faxsvc::Message Resend(const Caller& caller, const faxsvc::Message& req, std::unique_lock<std::mutex>& lk);
  faxsvc::Message SetDevice(const faxsvc::Message& req);
  faxsvc::Message Answer(const faxsvc::Message& req);
  faxsvc::Message SetLine(const faxsvc::Message& req);
  faxsvc::Message ListLines();
  faxsvc::Message AddLine(const faxsvc::Message& req, std::unique_lock<std::mutex>& lk);
  faxsvc::Message UpdateLine(const faxsvc::Message& req, std::unique_lock<std::mutex>& lk);
  faxsvc::Message RemoveLine(const faxsvc::Message& req);
  faxsvc::Message ProbeModem(const faxsvc::Message& req, std::unique_lock<std::mutex>& lk);
  // The line (other than `except`) whose device is `device`, 0 when none.
  long long LineWithDevice(const std::string& device, long long except);
  Reply OpenFax(const faxsvc::Message& req);

  State& state_;
  const Archive& archive_;
  long idleTimeoutMs_;
  std::function<void()> stopService_;
  std::function<void()> linesChanged_;
};

// The far-end station's record of one call, kept in the state (the
// loopback line's LineEnv::farEndRecord).
void RecordFarEnd(State& state, const faxsvc::Message& record);

}  // namespace brevant::faxd
