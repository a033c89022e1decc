#pragma once
// The service's requests: each passes the access check (Access.h) and then
// reaches the jobs, devices and archives through the state it shares with
// the line workers. docs/fax-service.md lists them. Requests.cpp answers
// the job, queue and archive requests; LineRequests.cpp the line
// administration (lines, their devices and the service's settings).
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "faxservice/daemon/Access.h"
#include "faxservice/daemon/Archive.h"
#include "faxservice/daemon/State.h"
#include "faxservice/daemon/lines/Line.h"
#include "faxservice/protocol/Protocol.h"

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
      : state_(state),
        archive_(archive),
        idleTimeoutMs_(idleTimeoutMs),
        stopService_(std::move(stopService)),
        linesChanged_(std::move(linesChanged)) {}

  // One request of the caller, with the document descriptor its frame
  // carried (-1 when none; the caller of Handle closes it). Never throws.
  Reply Handle(const Caller& caller, const faxsvc::Message& request, int documentFd);

 private:
  std::optional<long long> OwnerOf(const std::string& kind, long long id);
  faxsvc::Message Hello(const Caller& caller);
  faxsvc::Message Devices(const Caller& caller);
  faxsvc::Message Submit(const Caller& caller, const faxsvc::Message& req, int fd,
                         std::unique_lock<std::mutex>& lk);
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

  // A line's settings as a request leaves them: its kind's own settings
  // (config, defaults filled in) and whether its device is to be asked.
  struct LinePlan {
    faxsvc::Message config;
    LineCheck check;
    bool askDevice = false;
  };
  // Refuses (Refused) a plan whose device another line than `line` owns,
  // or whose settings the kind's check refuses.
  void ClaimDevice(LinePlan& plan, long long line);
  // Every change of a line's settings goes through here. `plan` works the
  // change out from the rows as they are, with the lock held; the device
  // is then asked without the lock (a modem takes seconds), so another
  // administrator may change the lines meanwhile: with the lock taken
  // again, `plan` runs again, and `write` keeps what it found then, with
  // the device's report, provided the device it asked is still the one
  // the change needs (otherwise the new one is asked).
  faxsvc::Message ChangeLine(
      std::unique_lock<std::mutex>& lk, const std::function<LinePlan()>& plan,
      const std::function<faxsvc::Message(const LinePlan&, const faxsvc::Message& report)>& write);
  Reply OpenFax(const faxsvc::Message& req);

  State& state_;
  const Archive& archive_;
  long idleTimeoutMs_;
  std::function<void()> stopService_;
  std::function<void()> linesChanged_;
};

// A reply that says yes, and one that refuses with an error number
// (faxsvc::ErrorNumber) and the reason.
faxsvc::Message Ok();
faxsvc::Message Refusal(long number, const std::string& text);
// Refuses (Refused) a request with a field longer than the service keeps.
void CheckLengths(const faxsvc::Message& req);

// The far-end station's record of one call, kept in the state (the
// loopback line's LineEnv::farEndRecord).
void RecordFarEnd(State& state, const faxsvc::Message& record);

}  // namespace brevant::faxd
