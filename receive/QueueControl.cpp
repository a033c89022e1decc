#include "receive/QueueControl.h"

#include <cmath>
#include <cstdlib>
#include <memory>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "common/OsCheck.h"
#include "delivery/FaxTransport.h"
#include "faxservice/client/FaxService.h"
#include "platform/events/NamedEvent.h"
#include "platform/ui/Ui.h"

namespace brevant {

namespace {

using faxsvc::FaxServer;

// The single-instance guard of one queue command: null when another copy of
// the command holds the event (or it cannot be made), and the caller then
// does nothing at all.
std::unique_ptr<platform::NamedEvent> Guard(const char* name) {
  bool existed = false;
  auto ev = platform::NamedEvent::Create(name, false, true, &existed);
  if (!ev || existed) return nullptr;
  return ev;
}

bool IsNumeric(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  if (b == std::string::npos) return false;
  std::string t = s.substr(b, e - b + 1);
  char* end = nullptr;
  std::strtod(t.c_str(), &end);
  return end && *end == '\0';
}

long ToLong(const std::string& s) {
  return std::lround(std::strtod(s.c_str(), nullptr));
}

// Runs f; a failure becomes the pending error and the step's result is the
// fallback, so the operation continues as the fax service's calls allow.
template <class T, class F>
T Try(PendingError& err, T fallback, F&& f) {
  T result = fallback;
  err.Step([&] { result = f(); });
  return result;
}

void Finish(PendingError& err, const char* source) {
  if (err.Any()) WriteErrorLog(err.Get().number, err.Get().description, source);
  err.Clear();
}

}  // namespace

void AutoRecv() {
  auto guard = Guard("QuorAuto");
  if (!guard) return;
  PendingError err;
  std::shared_ptr<FaxServer> server = GetFaxServer();
  if (!server) {
    ui::MsgBox("This method is not supported.", "Pelorin");
    return;
  }
  if (mCommon::CheckXP() != "XP") {
    auto ports = Try(err, faxsvc::Collection<faxsvc::FaxPort>(), [&] { return server->GetPorts(); });
    if (ports.Count() == 0) {
      ui::MsgBox("Cannot connect to fax.", "Pelorin");
      Finish(err, "Init.AutoRecv");
      return;
    }
    faxsvc::FaxPort& port = ports.Item(1);
    if (port.CanModify() == 0) {
      ui::MsgBox("You have no rights to change Fax Properties.", "Pelorin");
      Finish(err, "Init.AutoRecv");
      return;
    }
    CWinReg reg;
    if (!reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorinKey, true)) return;
    std::string message;
    if (reg.GetString("AutoReceive") != "1") {
      reg.SetString("AutoReceive", "1");
      reg.SetString("IsReceive", port.Receive() ? "1" : "0");
      reg.SetString("Rings", std::to_string(port.Rings()));
      err.Step([&] { port.SetReceive(true); });
      err.Step([&] { port.SetRings(1); });
      message = "Auto Receive ON";
    } else {
      reg.SetString("AutoReceive", "0");
      std::string isReceive = reg.GetString("IsReceive");
      std::string rings = reg.GetString("Rings");
      err.Step([&] { port.SetReceive(IsNumeric(isReceive) ? ToLong(isReceive) != 0 : true); });
      err.Step([&] { port.SetRings(IsNumeric(rings) ? ToLong(rings) : 4); });
      message = "Auto Receive OFF";
    }
    ui::MsgBox(message, "Pelorin");
    reg.CloseKey();
  } else {
    auto devices = Try(err, faxsvc::Collection<faxsvc::FaxDevice>(), [&] { return server->GetDevices(); });
    if (devices.Count() == 0) {
      ui::MsgBox("Cannot connect to fax.", "Pelorin");
      Finish(err, "Init.AutoRecv");
      return;
    }
    faxsvc::FaxDevice& device = devices.Item(1);
    CWinReg reg;
    if (!reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorinKey, true)) return;
    if (reg.GetString("AutoReceive") != "1") {
      reg.SetString("AutoReceive", "1");
      reg.SetString("IsReceive", std::to_string(device.ReceiveMode()));
      reg.SetString("Rings", std::to_string(device.RingsBeforeAnswer()));
      device.SetReceiveMode(faxsvc::kReceiveAuto);
      device.SetRingsBeforeAnswer(1);
      err.Step([&] { device.Save(); });
      ui::MsgBox("Auto Receive ON", "Pelorin");
    } else {
      reg.SetString("AutoReceive", "0");
      std::string isReceive = reg.GetString("IsReceive");
      std::string rings = reg.GetString("Rings");
      device.SetReceiveMode(IsNumeric(isReceive) ? ToLong(isReceive)
                                                 : static_cast<long>(faxsvc::kReceiveManual));
      device.SetRingsBeforeAnswer(IsNumeric(rings) ? ToLong(rings) : 4);
      err.Step([&] { device.Save(); });
      ui::MsgBox("Auto Receive OFF", "Pelorin");
    }
    reg.CloseKey();
  }
  Finish(err, "Init.AutoRecv");
}

void FaxPause() {
  auto guard = Guard("QuorPause");
  if (!guard) return;
  PendingError err;
  std::shared_ptr<FaxServer> server = GetFaxServer();
  if (!server || !server->Connected()) {
    // Without the fax service there is no queue to toggle; the reason goes
    // to the error log.
    if (server)
      WriteErrorLog(faxsvc::kErrServiceUnreachable, "the fax service is not running", "Init.FaxPause");
    return;
  }
  if (mCommon::CheckXP() != "XP") {
    bool paused = Try(err, true, [&] { return server->PauseServerQueue(); });
    if (err.Any()) {
      Finish(err, "Init.FaxPause");
      return;
    }
    if (!paused) {
      err.Step([&] { server->SetPauseServerQueue(true); });
      if (!err.Any()) ui::MsgBox("Fax stopped.", "Pelorin");
    } else {
      err.Step([&] { server->SetPauseServerQueue(false); });
      if (!err.Any()) ui::MsgBox("Fax resumes.", "Pelorin");
    }
    Finish(err, "Init.FaxPause");
    return;
  }
  faxsvc::FaxFolders folders = server->Folders();
  auto incoming =
      Try(err, faxsvc::Collection<faxsvc::FaxJob>(), [&] { return folders.IncomingQueue.GetJobs(); });
  for (long i = 1; i <= incoming.Count(); ++i) {
    faxsvc::FaxJob& job = incoming.Item(i);
    if (job.Status() != faxsvc::kJobPending) {
      err.Step([&] { job.Cancel(); });
      ui::MsgBox("Fax stopped.", "Pelorin");
      Finish(err, "Init.FaxPause");
      return;
    }
  }
  auto outgoing =
      Try(err, faxsvc::Collection<faxsvc::FaxJob>(), [&] { return folders.OutgoingQueue.GetJobs(); });
  for (long i = 1; i <= outgoing.Count(); ++i) {
    faxsvc::FaxJob& job = outgoing.Item(i);
    if (job.Status() == faxsvc::kJobPaused && (job.AvailableOperations() & faxsvc::kOpResume)) {
      err.Step([&] { job.Resume(); });
      ui::MsgBox("Fax resume.", "Pelorin");
      break;
    }
    if (job.Status() != faxsvc::kJobPending && (job.AvailableOperations() & faxsvc::kOpPause)) {
      err.Step([&] { job.Pause(); });
      ui::MsgBox("Fax stopped.", "Pelorin");
      break;
    }
  }
  Finish(err, "Init.FaxPause");
}

void FaxStop() {
  auto guard = Guard("QuorStop");
  if (!guard) return;
  PendingError err;
  std::shared_ptr<FaxServer> server = GetFaxServer();
  if (!server) {
    ui::MsgBox("Fax stopped.", "Pelorin");
    return;
  }
  if (mCommon::CheckXP() != "XP") {
    auto jobs = Try(err, faxsvc::Collection<faxsvc::FaxJob>(), [&] { return server->GetJobs(); });
    for (long i = 1; i <= jobs.Count(); ++i) {
      faxsvc::FaxJob& job = jobs.Item(i);
      if (job.QueueStatus() != "Pending") {
        err.Step([&] { job.SetStatus(1); });
        ui::MsgBox("Fax stopped.", "Pelorin");
        break;
      }
    }
    Finish(err, "Init.FaxStop");
    return;
  }
  std::unique_ptr<faxsvc::FaxJob> found;
  err.Step([&] {
    faxsvc::FaxFolders folders = server->Folders();
    for (faxsvc::FaxQueue* queue : {&folders.IncomingQueue, &folders.OutgoingQueue}) {
      auto jobs = queue->GetJobs();
      for (long i = 1; i <= jobs.Count() && !found; ++i)
        if (jobs.Item(i).Status() != faxsvc::kJobPending)
          found = std::make_unique<faxsvc::FaxJob>(jobs.Item(i));
      if (found) break;
    }
  });
  if (found) {
    err.Step([&] { found->Cancel(); });
    ui::MsgBox("Fax stopped.", "Pelorin");
  }
  Finish(err, "Init.FaxStop");
}

void FaxRecv() {
  PendingError err;
  // The device check runs for its record; a missing device shows nothing
  // here (answering without one is a failure the fax service reports).
  FaxDeviceInstalled();
  {
    auto guard = Guard("QuorRecv");
    if (guard) {
      std::shared_ptr<FaxServer> server = GetFaxServer();
      if (!server) {
        ui::MsgBox("This method is not supported.", "Pelorin");
      } else if (mCommon::CheckXP() == "XP") {
        err.Step([&] {
          // The line that rings; the first one when none does (its answer
          // says that nothing rings).
          auto devices = server->GetDevices();
          long ringing = devices.Count() > 0 ? 1 : 0;
          for (long i = devices.Count(); i >= 1; --i)
            if (devices.Item(i).Fields().GetInt("ringing") != 0) ringing = i;
          if (ringing > 0) devices.Item(ringing).AnswerCall();
        });
      } else {
        ui::MsgBox("This feature is only supported in Windows XP.", "Pelorin");
      }
    }
  }
  Finish(err, "Init.FaxRecv");
}

}  // namespace brevant
