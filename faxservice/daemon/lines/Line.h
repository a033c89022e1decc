#pragma once
// A fax line of the service: what places and answers calls and moves T.30
// page data. The line worker (LineWorker.h) decides which fax goes out
// when, records every page the far end confirms and files the results; a
// line only runs calls. Each kind of line is a folder under lines/ whose
// CMakeLists.txt adds its line's source to the daemon, and that source
// registers the kind:
//
//   namespace { const bool kRegistered = RegisterLineKind("loopback", [](const LineEnv& env,
//       const faxsvc::Message& device) { return std::make_unique<LoopbackLine>(env, device); }); }
//
// and a device row whose "kind" names it gets one. The loopback line
// (loopback/LoopbackLine.cpp) joins two SpanDSP T.30 endpoints in memory; a
// fax modem line (class1/Class1Line.cpp, kind "modem") dials, reports busy/no
// answer/no carrier, counts rings and speaks T.30 through the modem.
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "faxservice/protocol/Protocol.h"

namespace brevant::faxd {

// How a call ended, as the retry rules see it.
enum class CallOutcome {
  kDelivered,   // the far end confirmed every page and the call ended
  kBusy,        // the number was busy
  kNoAnswer,    // nobody answered
  kNoCarrier,   // answered, but no fax machine (or the line dropped)
  kNoDialTone,  // the line is dead or not plugged in
  kFailed,      // the T.30 session failed (training, far end hung up, ...)
  kLineFault,   // the line's own device failed (a modem that stopped answering)
  kBadNumber,   // the number cannot be dialled: trying again would not help
  kCancelled,   // abandoned on request (cancel, pause, service stopping)
};

// The transmission report of one call.
struct CallReport {
  CallOutcome outcome = CallOutcome::kFailed;
  std::string result;     // "OK" or why the call failed, for people
  int pagesSent = 0;      // pages the far end confirmed in this call
  int pagesReceived = 0;  // pages this side received (incoming calls)
  int bitRate = 0;
  std::string remoteIdent;  // the far end's station id
  double lineSeconds = 0;   // length of the call on the line
  std::string modem;        // the line's modem ("spandsp on /dev/ttyUSB0"), when it has one
  bool ok() const { return outcome == CallOutcome::kDelivered; }
};

// The service's side of a running call. Called on the line's thread, also
// from inside a fax engine's callbacks: none of them throws (a record the
// service cannot write, on a full disk, is the service's to file later).
class CallEvents {
 public:
  virtual ~CallEvents() = default;
  // The far end answered as a fax machine: pages are about to flow.
  virtual void Connected() noexcept = 0;
  // The far end confirmed another page (pagesSent pages of this call so
  // far). The service records it before the call goes on, so a service
  // that ends right after still knows the page arrived.
  virtual void PageConfirmed(int pagesSent) noexcept = 0;
  // Another page was received (pagesReceived of this call so far).
  virtual void PageReceived(int pagesReceived) noexcept = 0;
  // True once the call is to be abandoned; a line asks often (every few
  // hundred milliseconds of line time at most).
  virtual bool Cancelled() const noexcept = 0;
};

// A fax to send.
struct OutgoingCall {
  long long job = 0;
  std::string number;      // as submitted: digits, separators and dial modifiers (p w d ,)
  std::string document;    // fax TIFF in the service's own queue folder
  int firstPage = 1;       // 1-based; earlier pages reached the far end before
  int pages = 0;           // pages of the document
  std::string localIdent;  // our station id (TSID)
};

// A call to answer.
struct IncomingCall {
  long long job = 0;
  std::string receiveFile;  // where to write the pages (made, empty, by the service)
  std::string localIdent;   // our station id (CSID)
  // Lines that simulate their callers (the loopback) take the caller's
  // number and document from here; a real line reports the caller's id.
  std::string callerNumber;
  std::string callerDocument;
};

// What a line is given when it is made. None of its functions throws: a
// line calls them from inside its fax engine's callbacks, and the service's
// records failing (a full disk) must not end a call.
struct LineEnv {
  std::string stateDir;  // the service's state folder
  // The line's own settings (the service's settings table): read when a
  // call starts, written for the line's own counters.
  std::function<std::string(const std::string& key)> setting;
  std::function<void(const std::string& key, const std::string& value)> putSetting;
  // A record of something the line's far end did (the loopback's far-end
  // station), kept in the service's state.
  std::function<void(const faxsvc::Message& record)> farEndRecord;
  // The line's device row as it is now (its settings may change while the
  // line runs).
  std::function<faxsvc::Message()> device;
  // What the line says about itself for people ("ready", or why it cannot
  // take calls now): shown with the device.
  std::function<void(const std::string& status)> status;
  // Something the line did that an administrator should hear of (a lock
  // file it did not honour), for the event history.
  std::function<void(const std::string& text)> note;
};

// What an idle line may do while the service has nothing for it.
struct IdleHooks {
  // Sleeps until the service has work or ms milliseconds passed.
  std::function<void(int ms)> wait;
  // True when the service has work for the line (a fax due, a call to
  // answer, the service stopping).
  std::function<bool()> workPending;
  // A ring the line heard, with the caller's id when known.
  std::function<void(const std::string& callerId)> ring;
};

class Line {
 public:
  virtual ~Line() = default;
  // Places the call and sends the pages firstPage..pages.
  virtual CallReport Send(const OutgoingCall& call, CallEvents& events) = 0;
  // Answers the ringing call and receives its pages.
  virtual CallReport Receive(const IncomingCall& call, CallEvents& events) = 0;
  // Called while the line is idle, for up to `ms` milliseconds or until
  // the service has work: a line that hears rings by itself watches its
  // device and reports each ring. The default just waits.
  virtual void Idle(int ms, const IdleHooks& hooks) { hooks.wait(ms); }
  // False while the line cannot place calls (its modem does not answer):
  // the queue keeps its faxes for a line that can.
  virtual bool Ready() const { return true; }
};

using LineFactory = std::function<std::unique_ptr<Line>(const LineEnv&, const faxsvc::Message& device)>;

// Checks the settings of a line of a kind before the service keeps them:
// `config` holds the kind's own settings (a modem's device, speed, init
// string, ...); the check refuses unknown ones and fills in defaults, and
// with tryDevice asks the device itself (not while a line of the service
// holds it). `report` gets what the device said about itself (a modem's
// make, model and rates). False with a reason a person can act on.
using LineCheck =
    std::function<bool(faxsvc::Message& config, bool tryDevice, faxsvc::Message* report, std::string* why)>;

// One setting of a kind of line and its default.
struct LineSetting {
  const char* name;
  const char* fallback;
};
// The first step of a kind's check: `full` gets every setting of `known`,
// the value given in `config` or the default. A setting the kind does not
// know is refused ("unknown KIND setting "x" (known: ...)"); `keptElsewhere`
// names settings the kind takes but keeps out of `full` (a password kept in
// the secret store).
bool FillLineSettings(const faxsvc::Message& config, std::span<const LineSetting> known,
                      const std::string& kind, std::initializer_list<const char*> keptElsewhere,
                      faxsvc::Message* full, std::string* why);
// Each of the on/off settings `flags` of `full` as "1" or "0" (taking on,
// yes, 1, off, no, 0); false, "FLAG must be on or off", for anything else.
bool OnOffSettings(faxsvc::Message& full, std::initializer_list<const char*> flags, std::string* why);

// Registers a kind of line (at static initialisation); false when the name
// is taken. A kind without a check has no settings of its own.
bool RegisterLineKind(const std::string& kind, LineFactory factory, LineCheck check = {});
// A line of the device's "kind", or null when no such kind is built in.
std::unique_ptr<Line> MakeLine(const LineEnv& env, const faxsvc::Message& device);
// Whether the kind is built in; its check (empty when it has none).
bool FindLineKind(const std::string& kind, LineCheck* check);

}  // namespace brevant::faxd
