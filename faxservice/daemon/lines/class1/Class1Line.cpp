// A fax line on a Class 1 fax modem (kind "modem"): a USB, serial or
// built-in fax modem, or any pseudo-terminal that answers like one. The
// line keeps its modem open while the service runs: between calls it
// listens for RING (each one goes to the line worker, which counts them
// towards the device's rings and answers, or waits for "answer"), and
// checks now and then that the modem still answers. Calls go through the
// Class 1 driver (ModemLine.h).
//
// Its settings are the device row's station ids (TSID when sending, CSID
// when receiving) and rings, and the modem's own settings in the row's
// "config": device, speed, init, dial_prefix, dial_mode (tone or pulse),
// max_rate, ecm, trace (1: the AT traffic of every call goes to
// STATE/modem-ID.log).
//
// A modem that stops answering, hangs up under us or is unplugged ends the
// call with "modem stopped answering on DEVICE"; the line then reopens the
// device (every few seconds until it answers again) and takes no fax from
// the queue until it does.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "faxservice/daemon/lines/Line.h"
#include "faxservice/daemon/lines/class1/Class1Modem.h"
#include "faxservice/daemon/lines/class1/ModemLine.h"

namespace brevant::faxd {

namespace {

namespace fs = std::filesystem;
using faxsvc::Message;
using Clock = std::chrono::steady_clock;

// A modem that does not answer is tried again after this long.
constexpr auto kRetryOpen = std::chrono::seconds(5);
// An idle modem is asked whether it still answers this often.
constexpr auto kHealthCheck = std::chrono::seconds(30);

// The modem's own settings (the device row's "config") and their defaults.
constexpr LineSetting kKeys[] = {{"device", ""},      {"speed", "19200"},    {"init", ""},
                                 {"dial_prefix", ""}, {"dial_mode", "tone"}, {"max_rate", "14400"},
                                 {"ecm", "1"},        {"trace", "0"}};

bool OneOf(long long v, std::initializer_list<long long> allowed) {
  for (long long a : allowed)
    if (v == a) return true;
  return false;
}

bool IsNumber(const std::string& s) {
  return !s.empty() && s.size() < 10 && s.find_first_not_of("0123456789") == std::string::npos;
}

// Whether a process has the terminal `rdev` as its controlling terminal
// (a login or a terminal window): its pid, else 0.
pid_t SessionOn(dev_t rdev) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/proc", ec)) {
    const std::string pid = e.path().filename().string();
    if (!IsNumber(pid)) continue;
    std::ifstream in(e.path() / "stat");
    std::string stat;
    std::getline(in, stat);
    // pid (comm) state ppid pgrp session tty_nr ...; comm may hold blanks.
    size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    long long fields[5] = {};
    char state = 0;
    if (std::sscanf(stat.c_str() + close + 1, " %c %lld %lld %lld %lld", &state, &fields[0], &fields[1],
                    &fields[2], &fields[3]) != 5)
      continue;
    unsigned tty = static_cast<unsigned>(fields[3]);
    if (tty == 0) continue;
    unsigned maj = (tty >> 8) & 0xfff, min = (tty & 0xff) | ((tty >> 12) & 0xfff00);
    if (maj == major(rdev) && min == minor(rdev)) return static_cast<pid_t>(std::atoll(pid.c_str()));
  }
  return 0;
}

// The service opens a modem as root for whoever configured it, so the
// device must be a modem device nobody works on: what the path leads to is
// checked (a serial port, USB modem or emulated modem of root and the
// dialout group, ModemDeviceAllowed; not the terminal of a session) and
// that resolved path is what is opened, where the modem checks the node
// again on its descriptor. *resolved gets it.
bool CheckModemDevice(const std::string& path, std::string* resolved, std::string* why) {
  if (path.empty() || path[0] != '/') {
    *why =
        "the modem's device must be given as a full path (/dev/ttyUSB0), not \"" + path.substr(0, 64) + "\"";
    return false;
  }
  std::error_code ec;
  fs::path real = fs::canonical(path, ec);
  if (ec) {
    *why = "cannot open " + path + ": " + ec.message();
    return false;
  }
  *resolved = real.string();
  struct stat st {};
  if (::stat(resolved->c_str(), &st) != 0) {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  if (!ModemDeviceAllowed(st, *resolved, why)) {
    // Said of the path the administrator gave.
    if (why->rfind(*resolved, 0) == 0) why->replace(0, resolved->size(), path);
    return false;
  }
  if (pid_t pid = SessionOn(st.st_rdev)) {
    *why = path + " is the terminal of process " + std::to_string(pid) + ", not a modem";
    return false;
  }
  return true;
}

ModemSettings SettingsOf(const Message& device) {
  Message config;
  Message::Decode(device.Get("config"), &config);
  ModemSettings s;
  s.device = config.Get("device");
  s.baud = static_cast<int>(config.GetInt("speed", 19200));
  s.init = config.Get("init");
  s.dialPrefix = config.Get("dial_prefix");
  s.pulse = config.Get("dial_mode") == "pulse";
  s.maxRate = static_cast<int>(config.GetInt("max_rate", 14400));
  s.ecm = config.Get("ecm") != "0";
  s.rings = static_cast<int>(device.GetInt("rings", 1));
  return s;
}

// The line's check of a modem's settings: the keys it knows, with their
// defaults filled in, and the modem itself asked.
bool CheckModemLine(Message& config, bool tryDevice, Message* report, std::string* why) {
  Message full;
  if (!FillLineSettings(config, kKeys, "modem", {}, &full, why)) return false;
  if (full.Get("device").empty()) {
    *why = "a modem line needs its device (device=/dev/ttyUSB0)";
    return false;
  }
  if (!IsNumber(full.Get("speed")) ||
      !OneOf(full.GetInt("speed"), {9600, 19200, 38400, 57600, 115200, 230400})) {
    *why = "speed must be 9600, 19200, 38400, 57600, 115200 or 230400";
    return false;
  }
  if (!IsNumber(full.Get("max_rate")) ||
      !OneOf(full.GetInt("max_rate"), {2400, 4800, 7200, 9600, 12000, 14400})) {
    *why = "max_rate must be 2400, 4800, 7200, 9600, 12000 or 14400";
    return false;
  }
  if (full.Get("dial_mode") != "tone" && full.Get("dial_mode") != "pulse") {
    *why = "dial_mode must be tone or pulse";
    return false;
  }
  if (!OnOffSettings(full, {"ecm", "trace"}, why)) return false;
  // The init string goes into one command line: printable characters only.
  const std::string init = full.Get("init");
  for (unsigned char c : init)
    if (c < 0x20 || c > 0x7e) {
      *why = "the init string may hold printable characters only";
      return false;
    }
  if (init.size() > 60) {
    *why = "the init string is longer than 60 characters";
    return false;
  }
  ModemSettings s = SettingsOf(Message().Set("config", full.Encode()));
  std::string dial;
  if (!DialCommand(s, "0", &dial, why)) return false;
  std::string resolved;
  if (!CheckModemDevice(s.device, &resolved, why)) return false;
  config = full;
  if (!tryDevice) return true;
  Class1Modem modem(s.device, s.baud, resolved);
  ModemInfo info;
  if (!PrepareModem(modem, s, {}, &info, why)) return false;
  if (!modem.IgnoredLock().empty()) report->Set("ignored_lock", modem.IgnoredLock());
  std::string tx, rx;
  for (int c : info.transmitRates) tx += (tx.empty() ? "" : ",") + std::to_string(c);
  for (int c : info.receiveRates) rx += (rx.empty() ? "" : ",") + std::to_string(c);
  report->Set("modem", info.Name())
      .Set("identity", info.identity)
      .Set("revision", info.revision)
      .Set("classes", info.classes)
      .Set("max_rate", info.MaxBitRate())
      .Set("transmit", tx)
      .Set("receive", rx);
  return true;
}

CallOutcome OutcomeOf(const ModemCallResult& r) {
  if (r.ok) return CallOutcome::kDelivered;
  switch (r.failure) {
    case LineFailure::kBusy:
      return CallOutcome::kBusy;
    case LineFailure::kNoAnswer:
      return CallOutcome::kNoAnswer;
    case LineFailure::kNoCarrier:
      return CallOutcome::kNoCarrier;
    case LineFailure::kNoDialTone:
      return CallOutcome::kNoDialTone;
    case LineFailure::kModem:
      return CallOutcome::kLineFault;
    case LineFailure::kBadNumber:
      return CallOutcome::kBadNumber;
    case LineFailure::kCancelled:
      return CallOutcome::kCancelled;
    default:
      return CallOutcome::kFailed;
  }
}

class Class1Line : public Line {
 public:
  Class1Line(LineEnv env, const Message& device) : env_(std::move(env)), id_(device.GetInt("id")) {}

  CallReport Send(const OutgoingCall& call, CallEvents& events) override {
    return Call(call.localIdent, events, true, [&](const ModemSettings& s, const CallHooks& hooks) {
      return SendOnModem(*modem_, info_, s, call.number, call.document, call.firstPage, hooks);
    });
  }

  CallReport Receive(const IncomingCall& call, CallEvents& events) override {
    return Call(call.localIdent, events, false, [&](const ModemSettings& s, const CallHooks& hooks) {
      return AnswerOnModem(*modem_, info_, s, call.receiveFile, hooks);
    });
  }

  void Idle(int ms, const IdleHooks& hooks) override {
    ModemSettings s = Current();
    if (!Prepared(s)) {
      hooks.wait(ms);
      return;
    }
    if (Clock::now() >= healthAt_) {
      // A modem that hangs without going away is only found by asking.
      healthAt_ = Clock::now() + kHealthCheck;
      Reply r = modem_->Command("", 3);
      if (r == Reply::kRing)
        hooks.ring(callerId_);
      else if (r != Reply::kOk)
        return Lost(s);
    }
    std::vector<std::string> info;
    Reply r = modem_->WaitReply(
        ms / 1000.0, [&] { return !hooks.workPending(); }, &info);
    if (r == Reply::kOverflow) return Lost(s);
    // Caller id comes as "NMBR = 5551234" between the rings, where the
    // modem and the telephone line offer it.
    for (const std::string& line : info)
      if (line.rfind("NMBR", 0) == 0 && line.find('=') != std::string::npos) {
        std::string number = line.substr(line.find('=') + 1);
        number.erase(0, number.find_first_not_of(' '));
        callerId_ = number.substr(0, 40);
      }
    if (r == Reply::kRing)
      hooks.ring(callerId_);
    else if (r == Reply::kGone)
      Lost(s);
  }

  bool Ready() const override { return ready_; }

 private:
  ModemSettings Current() const { return SettingsOf(env_.device()); }

  // One call on the prepared modem as station `localIdent`: `run` dials or
  // answers; its result becomes the line's report.
  CallReport Call(const std::string& localIdent, CallEvents& events, bool sending,
                  const std::function<ModemCallResult(const ModemSettings&, const CallHooks&)>& run) {
    ModemSettings s = Current();
    s.stationId = localIdent;
    CallReport report;
    if (!Prepared(s)) {
      report.outcome = CallOutcome::kLineFault;
      report.result = status_;
      return report;
    }
    ModemCallResult r = run(s, Hooks(events, sending));
    AfterCall(r, s);
    report.outcome = OutcomeOf(r);
    report.result = r.result;
    report.pagesSent = r.pagesSent;
    report.pagesReceived = r.pagesReceived;
    report.bitRate = r.bitRate;
    report.remoteIdent = sending ? r.remoteIdent : r.callerIdent;
    report.lineSeconds = r.dialSeconds + r.audioSeconds;
    report.modem = ModemName(s);
    return report;
  }

  std::string ModemName(const ModemSettings& s) const { return info_.Name() + " on " + s.device; }

  void Status(const std::string& text) {
    if (text == status_) return;
    status_ = text;
    if (env_.status) env_.status(text);
  }

  // The modem is open and in command state with these settings, or it is
  // opened and prepared now (at most every few seconds while it fails).
  bool Prepared(const ModemSettings& s) {
    bool same = modem_ && open_.device == s.device && open_.baud == s.baud && open_.init == s.init;
    if (same && modem_->IsOpen() && !modem_->Gone() && !resetDue_) return true;
    if (Clock::now() < retryAt_ && same) return false;
    ready_ = false;
    std::string resolved, why;
    if (!CheckModemDevice(s.device, &resolved, &why)) {
      if (modem_) modem_->Close();
      retryAt_ = Clock::now() + kRetryOpen;
      Status(why);
      return false;
    }
    if (!same || !modem_) modem_ = std::make_unique<Class1Modem>(s.device, s.baud, resolved);
    open_ = s;
    resetDue_ = false;
    CallHooks hooks;
    hooks.trace = Tracer();
    if (!PrepareModem(*modem_, s, hooks, &info_, &why) || modem_->Command("S0=0", 5) != Reply::kOk) {
      modem_->Close();
      retryAt_ = Clock::now() + kRetryOpen;
      Status(why.empty() ? "modem stopped answering on " + s.device : why);
      return false;
    }
    ready_ = true;
    healthAt_ = Clock::now() + kHealthCheck;
    if (!modem_->IgnoredLock().empty() && env_.note) env_.note(modem_->IgnoredLock());
    Status("ready: " + info_.Name() + ", up to " + std::to_string(std::min(info_.MaxBitRate(), s.maxRate)) +
           " bit/s");
    return true;
  }

  // The modem went away, stopped answering or sent more than an answer
  // holds while idle: the line lets go of it and opens it again later.
  void Lost(const ModemSettings& s) {
    const std::string problem = modem_->Problem();
    modem_->Close();
    ready_ = false;
    retryAt_ = Clock::now() + kRetryOpen;
    Status(problem.empty() ? "modem stopped answering on " + s.device : problem + "; the line was reset");
  }

  // After a call the modem is reset before the next; one that failed in
  // the call is reopened at once, so the queue knows whether it may use
  // the line.
  void AfterCall(const ModemCallResult& r, const ModemSettings& s) {
    resetDue_ = true;
    if (r.failure == LineFailure::kModem) {
      Status(r.result);
      modem_->Close();
      retryAt_ = {};
      Prepared(s);
    }
  }

  std::function<void(const std::string&)> Tracer() {
    Message config;
    Message::Decode(env_.device().Get("config"), &config);
    if (config.Get("trace") != "1") return {};
    std::string path = env_.stateDir + "/modem-" + std::to_string(id_) + ".log";
    return [path](const std::string& line) {
      platform::UniqueFd fd(
          ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600));
      if (fd) platform::WriteAll(fd.get(), line + "\n");
    };
  }

  CallHooks Hooks(CallEvents& events, bool sending) {
    CallHooks hooks;
    hooks.cancelled = [&events] { return events.Cancelled(); };
    hooks.onConnect = [&events] { events.Connected(); };
    if (sending)
      hooks.onPage = [&events](int pages) { events.PageConfirmed(pages); };
    else
      hooks.onPage = [&events](int pages) { events.PageReceived(pages); };
    hooks.trace = Tracer();
    return hooks;
  }

  LineEnv env_;
  long long id_;
  std::unique_ptr<Class1Modem> modem_;
  ModemInfo info_;
  ModemSettings open_;  // what modem_ was opened and prepared with
  std::atomic<bool> ready_{false};
  bool resetDue_ = false;
  std::string status_;
  std::string callerId_;
  Clock::time_point retryAt_{}, healthAt_{};
};

[[maybe_unused]] const bool kRegistered = RegisterLineKind(
    "modem",
    [](const LineEnv& env, const Message& device) { return std::make_unique<Class1Line>(env, device); },
    CheckModemLine);

}  // namespace

}  // namespace brevant::faxd
