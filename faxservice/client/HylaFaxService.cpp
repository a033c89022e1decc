// The fax service's requests answered by a HylaFAX server: each request the
// fax server objects make (FaxService.cpp, docs/fax-service.md) becomes the
// hfaxd commands that do the same, and the server's listings become the
// service's job, device and fax records.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <map>
#include <sstream>

#include "faxservice/client/FaxService.h"
#include "faxservice/client/HylaFax.h"
#include "faxservice/protocol/FaxTiff.h"
#include "platform/fs/Files.h"

namespace brevant::faxsvc {

namespace {

// Fields of the server's listings, tab-separated; the free texts come
// last, the failure text of a job at the very end (it may hold anything).
constexpr const char* kJobFormat = "%j\t%a\t%o\t%e\t%p\t%y\t%t\t%u\t%Z\t%i\t%R\t%S\t%J\t%s";
constexpr const char* kRecvFormat = "%f\t%o\t%p\t%z\t%b\t%h\t%s\t%e";
constexpr const char* kModemFormat = "%m\t%n\t%l\t%z\t%s";

std::vector<std::string> Split(const std::string& line, std::size_t fields) {
  std::vector<std::string> out;
  std::size_t from = 0;
  while (out.size() + 1 < fields) {
    std::size_t tab = line.find('\t', from);
    if (tab == std::string::npos) break;
    out.push_back(line.substr(from, tab - from));
    from = tab + 1;
  }
  out.push_back(line.substr(from));
  return out;
}

std::string Trim(const std::string& s) {
  std::size_t b = s.find_first_not_of(" \r\n"), e = s.find_last_not_of(" \r\n");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

std::vector<std::string> Lines(const std::string& data) {
  std::vector<std::string> out;
  std::istringstream in(data);
  for (std::string l; std::getline(in, l);) {
    if (!l.empty() && l.back() == '\r') l.pop_back();
    if (!l.empty()) out.push_back(l);
  }
  return out;
}

long long Number(const std::string& s, long long fallback = 0) {
  std::string t = Trim(s);
  char* end = nullptr;
  long long v = std::strtoll(t.c_str(), &end, 10);
  return t.empty() || (end && *end) ? fallback : v;
}

// A job of the server's sendq or doneq listing.
struct ServerJob {
  Message m;
  std::string owner;
  char state = '?';
};

// "YYYYMMDDHHMM" in UTC, as SENDTIME takes it.
std::string ServerTime(std::time_t t) {
  std::tm tm{};
  ::gmtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y%m%d%H%M", &tm);
  return buf;
}

// The start of the next cheap-rate period in local time (now when the
// period is on).
std::time_t NextDiscount(std::time_t now, int start, int end) {
  std::tm tm{};
  ::localtime_r(&now, &tm);
  bool on =
      start <= end ? (tm.tm_hour >= start && tm.tm_hour < end) : (tm.tm_hour >= start || tm.tm_hour < end);
  if (on || start == end) return now;
  std::tm at = tm;
  at.tm_hour = start;
  at.tm_min = at.tm_sec = 0;
  at.tm_isdst = -1;
  std::time_t t = std::mktime(&at);
  if (t <= now) {
    at.tm_mday += 1;
    at.tm_isdst = -1;
    t = std::mktime(&at);
  }
  return t;
}

class HylaFaxService : public RemoteService {
 public:
  HylaFaxService(const FaxServerSettings& s, ErrorSink errors) : s_(s), c_(s), errors_(std::move(errors)) {}

  void Open() override {
    try {
      c_.Open();
    } catch (const FaxError& e) {
      // Whoever connects may only learn that no fax server answered: the
      // reason (unreachable, login refused) goes to the error log.
      if (errors_) errors_(e, "HylaFax.Connect");
      throw;
    }
    lastUse_ = std::chrono::steady_clock::now();
  }
  void Close() override { c_.Close(); }

  Message Call(const Message& req, int passFd, int* receivedFd) override {
    if (receivedFd) *receivedFd = -1;
    // hfaxd ends a connection idle for long: one idle for a minute starts
    // afresh rather than meet a close halfway through a request.
    if (c_.IsOpen() && std::chrono::steady_clock::now() - lastUse_ > std::chrono::seconds(60)) c_.Close();
    c_.Open();
    lastUse_ = std::chrono::steady_clock::now();
    const std::string op = req.Get("op");
    Message r;
    if (op == "hello")
      r = Hello();
    else if (op == "devices")
      r = Devices();
    else if (op == "device_set")
      r = SetDevice(req);
    else if (op == "answer")
      r = Answer(req);
    else if (op == "submit")
      r = Submit(req, passFd);
    else if (op == "jobs")
      r = Jobs(req);
    else if (op == "job")
      r = OneJob(req.Get("id"));
    else if (op == "job_op")
      r = JobOp(req);
    else if (op == "queue_get")
      r = Message().Set("paused", QueuePaused() ? 1 : 0);
    else if (op == "queue_set")
      r = SetQueuePaused(req.Get("paused") == "1");
    else if (op == "archive")
      r = Archive(req.Get("folder") == "in");
    else if (op == "fax_open")
      r = OpenFax(req, receivedFd);
    else if (op == "events")
      r = Events(req);
    else if (op == "folders")
      r = Message().Set("store", "").Set("archive", "").Set("state", "");
    // Desktop notices of failed faxes are each user's own choice here.
    else if (op == "line_get")
      r = Message().Set("notify", 1);
    else
      throw FaxError(kErrNotOffered, "a HylaFAX fax server does not offer \"" + op + "\"");
    lastUse_ = std::chrono::steady_clock::now();
    return r.Set("ok", "1");
  }

 private:
  Message Hello() {
    return Message()
        .Set("server", s_.host)
        .Set("version", 2)
        .Set("state", "running")
        .Set("user", c_.User())
        .Set("admin", c_.Administrator() ? 1 : 0)
        .Set("granted_rights", c_.Administrator() ? kAdministratorRights : kUserRights)
        .Set("greeting", c_.Greeting());
  }

  // Modems ------------------------------------------------------------------
  struct Modem {
    std::string name, number, ident, state;
    bool served = false;
  };
  std::vector<Modem> Modems() {
    // hfaxd sometimes answers the first modem format of a fresh
    // administrator's session with a syntax error (500) and takes the same
    // line when it comes again: it is sent once more before giving up.
    const std::string format = std::string("MDMFMT \"") + kModemFormat + "\"";
    if (c_.Command(format).code / 100 != 2) c_.Expect(format);
    std::vector<Modem> out;
    for (const std::string& l : Lines(c_.Receive("LIST status", false))) {
      // The scheduler's own line ("HylaFAX scheduler on host: Running") has no fields.
      if (l.find('\t') == std::string::npos) continue;
      auto f = Split(l, 5);
      if (f.size() < 5) continue;
      out.push_back({Trim(f[0]), Trim(f[1]), Trim(f[2]), Trim(f[4]), Trim(f[3]) == "*"});
    }
    return out;
  }
  Modem ModemById(const Message& req) {
    auto modems = Modems();
    long long id = req.GetInt("id", 1);
    if (id < 1 || id > static_cast<long long>(modems.size()))
      throw FaxError(platform::kErrInvalidCall, "the fax server has no device " + req.Get("id"));
    return modems[static_cast<std::size_t>(id - 1)];
  }
  Message Devices() {
    Message r;
    auto modems = Modems();
    int i = 0;
    for (const Modem& m : modems) {
      ++i;
      Message d;
      auto mode = modes_.find(m.name);
      auto rings = rings_.find(m.name);
      d.Set("id", i)
          .Set("name", m.name)
          .Set("description", m.state)
          .Set("kind", "hylafax")
          .Set("tsid", m.ident)
          .Set("csid", m.ident)
          .Set("number", m.number)
          // A modem faxgetty serves answers by itself unless told otherwise.
          .Set("receive_mode", !m.served              ? kReceiveOff
                               : mode != modes_.end() ? mode->second
                                                      : kReceiveAuto)
          .Set("rings", rings != rings_.end() ? rings->second : 1)
          .Set("powered_off", m.served ? 0 : 1)
          .Set("send_enabled", 1)
          .Set("receive_enabled", m.served ? 1 : 0)
          .Set("priority", i)
          .Set("can_modify", c_.Administrator() ? 1 : 0)
          .Set("ringing",
               m.state.find("ing") != std::string::npos && m.state.find("Answer") != std::string::npos);
      r.AddItem(i, d);
    }
    return r.Set("count", i);
  }
  Message SetDevice(const Message& req) {
    Modem m = ModemById(req);
    // Answering is the modem's RingsBeforeAnswer on the server: 0 leaves
    // calls to be answered by hand (ANSWER).
    long long mode = req.GetInt("receive_mode", -1);
    if (req.Get("auto_answer") == "1") mode = kReceiveAuto;
    if (req.Get("auto_answer") == "0") mode = kReceiveManual;
    long long rings = req.GetInt("rings", rings_.count(m.name) ? rings_[m.name] : 1);
    if (rings < 0 || rings > 99) throw FaxError(platform::kErrInvalidCall, "rings must be 0 to 99");
    if (mode == -1 && !req.Has("rings")) return Devices().Item(static_cast<int>(req.GetInt("id", 1)));
    if (mode == -1) mode = modes_.count(m.name) ? modes_[m.name] : kReceiveAuto;
    long long serverRings = mode == kReceiveAuto ? std::max(1LL, rings) : 0;
    HylaFaxConnection::Reply r =
        c_.Command("SITE CONFIG " + m.name + " RingsBeforeAnswer:" + std::to_string(serverRings));
    if (r.code / 100 != 2)
      throw FaxError(platform::kErrPermission, "the fax server did not change " + m.name + ": " + r.text);
    modes_[m.name] = static_cast<int>(mode);
    rings_[m.name] = static_cast<int>(rings);
    return Devices().Item(static_cast<int>(req.GetInt("id", 1)));
  }
  Message Answer(const Message& req) {
    Modem m = ModemById(req);
    HylaFaxConnection::Reply r = c_.Command("ANSWER " + m.name + " fax");
    if (r.code / 100 != 2)
      throw FaxError(platform::kErrPermission, "the fax server did not answer on " + m.name + ": " + r.text);
    return Message().Set("id", m.name);
  }

  // Jobs --------------------------------------------------------------------
  std::vector<ServerJob> ListJobs(const char* queue) {
    c_.Expect(std::string("JOBFMT \"") + kJobFormat + "\"");
    std::vector<ServerJob> out;
    const bool done = std::string(queue) == "doneq";
    for (const std::string& l : Lines(c_.Receive(std::string("LIST ") + queue, false))) {
      auto f = Split(l, 14);
      if (f.size() < 14 || Number(f[0], -1) < 0) continue;
      ServerJob j;
      j.owner = Trim(f[2]);
      j.state = Trim(f[1]).empty() ? '?' : Trim(f[1])[0];
      int tries = static_cast<int>(Number(f[6])), maxTries = static_cast<int>(Number(f[7]));
      const std::string error = Trim(f[13]);
      int status = HylaFaxJobStatus(j.state, error, tries, maxTries);
      int ops = kOpView;
      if (status == kJobPaused)
        ops |= kOpResume | kOpDelete;
      else if (!done)
        ops |= kOpPause | kOpDelete;
      long long schedPri = Number(f[9], 127);
      j.m.Set("id", Trim(f[0]))
          .Set("queue", "out")
          .Set("status", status)
          .Set("ops", ops)
          .Set("queue_status", QueueStatusText(status))
          .Set("owner_name", j.owner)
          .Set("number", Trim(f[3]))
          .Set("pages_sent", Number(f[4]))
          .Set("pages", Number(f[5]))
          .Set("attempts", tries)
          .Set("max_tries", maxTries)
          .Set("scheduled", Number(f[8]))
          .Set("priority", schedPri < 127   ? 2
                           : schedPri > 127 ? 0
                                            : 1)
          .Set("name", Trim(f[10]))
          .Set("sender_name", Trim(f[11]))
          .Set("subject", Trim(f[12]))
          .Set("error", status == kJobCompleted ? "" : error)
          .Set("state", std::string(1, j.state));
      // A finished job's time is that of its last call.
      if (j.state == 'D' || j.state == 'F') j.m.Set("ended", Number(f[8]));
      out.push_back(std::move(j));
    }
    std::sort(out.begin(), out.end(),
              [](const ServerJob& a, const ServerJob& b) { return a.m.GetInt("id") < b.m.GetInt("id"); });
    return out;
  }
  // The user's own jobs; an administrator's view is every job (unless
  // own is asked for).
  bool Mine(const ServerJob& j, bool own = false) const {
    return (c_.Administrator() && !own) || j.owner == c_.User();
  }
  static Message ListOf(const std::vector<Message>& items) {
    Message r;
    int i = 0;
    for (const Message& m : items) r.AddItem(++i, m);
    return r.Set("count", i);
  }
  Message Jobs(const Message& req) {
    std::vector<Message> items;
    if (req.Get("queue") == "in") {
      // Calls being received now.
      for (const Message& f : ReceivedFaxes(true))
        items.push_back(Message()
                            .Set("id", f.Get("id"))
                            .Set("queue", "in")
                            .Set("status", kJobInProgress)
                            .Set("ops", kOpView)
                            .Set("queue_status", QueueStatusText(kJobInProgress))
                            .Set("pages_sent", f.Get("pages"))
                            .Set("tsid", f.Get("tsid")));
      return ListOf(items);
    }
    for (const ServerJob& j : AllJobs(req.Get("all") == "1"))
      if (Mine(j)) items.push_back(j.m);
    return ListOf(items);
  }
  // The send queue's jobs, and with done the done queue's: a job finishes
  // in the send queue before it moves, so one listed in both is taken once.
  std::vector<ServerJob> AllJobs(bool done) {
    std::vector<ServerJob> jobs = ListJobs("sendq");
    if (!done) return jobs;
    for (ServerJob& j : ListJobs("doneq"))
      if (std::none_of(jobs.begin(), jobs.end(),
                       [&](const ServerJob& k) { return k.m.Get("id") == j.m.Get("id"); }))
        jobs.push_back(std::move(j));
    std::sort(jobs.begin(), jobs.end(),
              [](const ServerJob& a, const ServerJob& b) { return a.m.GetInt("id") < b.m.GetInt("id"); });
    return jobs;
  }
  // The job by its id, from either queue; FaxError when it is not there or
  // not the user's (the same reply for both).
  ServerJob FindJob(const std::string& id) {
    for (ServerJob& j : AllJobs(true))
      if (j.m.Get("id") == id && Mine(j)) return j;
    throw FaxError(platform::kErrInvalidCall, "the fax server has no job " + id + " of yours");
  }
  Message OneJob(const std::string& id) { return ListOf({FindJob(id).m}); }

  Message JobOp(const Message& req) {
    const std::string id = req.Get("id"), action = req.Get("action");
    ServerJob j = FindJob(id);
    c_.Expect("JOB " + id);
    if (action == "cancel") {
      c_.Expect("JKILL");
    } else if (action == "pause") {
      // A job on the line is interrupted first; then it waits, suspended.
      if (j.state == 'R') c_.Command("JINTR");
      HylaFaxConnection::Reply r = c_.Command("JSUSP");
      if (r.code / 100 != 2 && FindJob(id).state != 'T') c_.Expect("JSUSP");
    } else if (action == "resume") {
      c_.Expect("JSUBM");
    } else if (action == "restart") {
      throw FaxError(kErrNotOffered, "the fax server does not send a finished job again: send the fax anew");
    } else {
      throw FaxError(platform::kErrInvalidCall, "unknown job action " + action);
    }
    return OneJob(id);
  }

  // The outgoing queue counts as paused when every job of the user on it
  // is suspended (the server has no queue of the user's to stop).
  bool QueuePaused() {
    bool any = false;
    for (const ServerJob& j : ListJobs("sendq")) {
      if (!Mine(j, true)) continue;
      if (j.state != 'T') return false;
      any = true;
    }
    return any;
  }
  Message SetQueuePaused(bool paused) {
    for (const ServerJob& j : ListJobs("sendq")) {
      if (!Mine(j, true)) continue;
      if (paused == (j.state == 'T')) continue;
      c_.Expect("JOB " + j.m.Get("id"));
      if (paused && j.state == 'R') c_.Command("JINTR");
      c_.Command(paused ? "JSUSP" : "JSUBM");
    }
    return Message().Set("paused", QueuePaused() ? 1 : 0);
  }

  // Submission ----------------------------------------------------------------
  void Param(const std::string& name, const std::string& value) {
    std::string v;
    for (char c : value) v += (static_cast<unsigned char>(c) < 0x20 || c == '"') ? ' ' : c;
    c_.Expect("JPARM " + name + " \"" + v + "\"");
  }
  Message Submit(const Message& req, int fd) {
    if (fd < 0) throw FaxError(platform::kErrInvalidCall, "no document to send");
    // The number is the server's to judge (its dialling rules); a fax it
    // refuses is refused with its reason.
    const std::string number = req.Get("number");
    int pages = 0;
    float yres = 196;
    std::string why;
    if (!ImageFacts(fd, &pages, &yres, &why)) throw FaxError(platform::kErrTypeMismatch, why);
    const std::string document = c_.StoreTemporary(fd);
    HylaFaxConnection::Reply r = c_.Expect("JNEW");
    // "200 New job created: jobid: 57 groupid: 57."
    std::size_t at = r.text.find("jobid:");
    if (at == std::string::npos)
      throw FaxError(platform::kErrInvalidCall, "the fax server made no job: " + r.text);
    const std::string id = std::to_string(Number(r.text.substr(at + 6, r.text.find(' ', at + 7) - at - 6)));
    try {
      Param("DIALSTRING", number);
      Param("TOUSER", req.Get("name"));
      Param("REGARDING", req.Get("subject"));
      Param("JOBINFO", req.Get("subject"));
      Param("COMMENTS", req.Get("note"));
      if (!req.Get("sender_name").empty()) Param("FROMUSER", req.Get("sender_name"));
      Param("FROMCOMPANY", req.Get("sender_company"));
      Param("FROMVOICE", req.Get("sender_office_phone"));
      Param("FROMLOCATION", req.Get("sender_address"));
      Param("NOTIFY", "none");
      long long priority = req.GetInt("priority", 1);
      Param("SCHEDPRI", priority >= 2 ? "63" : priority <= 0 ? "190" : "127");
      std::time_t now = std::time(nullptr);
      std::time_t at = now;
      if (req.GetInt("send_at") > now)
        at = static_cast<std::time_t>(req.GetInt("send_at"));
      else if (req.GetInt("discount") != 0)
        at = NextDiscount(now, s_.discountStart, s_.discountEnd);
      Param("SENDTIME", at > now + 30 ? ServerTime(at) : "NOW");
      // The time the server keeps trying, from the time to send: always
      // given, the server's own default is not reliable across time zones.
      Param("LASTTIME", "000300");
      if (s_.retries >= 0) {
        // Calls nobody answered count as much as calls that failed.
        Param("MAXTRIES", std::to_string(s_.retries + 1));
        Param("MAXDIALS", std::to_string(s_.retries + 1));
      }
      Param("VRES", yres > 150 ? "196" : "98");
      Param("PAGEWIDTH", "209");
      Param("PAGELENGTH", "296");
      Param("DOCUMENT", document);
      c_.Expect("JSUBM");
    } catch (const FaxError&) {
      // A job the server refused is deleted: nothing is left behind on it.
      c_.Command("JDELE");
      throw;
    }
    return Message().Set("id", id).Set("pages", pages);
  }

  // Received and sent faxes ----------------------------------------------------
  std::vector<Message> ReceivedFaxes(bool receiving) {
    c_.Expect(std::string("RCVFMT \"") + kRecvFormat + "\"");
    std::vector<Message> out;
    for (const std::string& l : Lines(c_.Receive("LIST recvq", false))) {
      auto f = Split(l, 8);
      if (f.size() < 8) continue;
      std::string file = Trim(f[0]);
      if (file.size() < 5 || file.compare(file.size() - 4, 4, ".tif") != 0 ||
          file.find('/') != std::string::npos)
        continue;
      if ((Trim(f[3]) == "*") != receiving) continue;
      Message m;
      m.Set("id", file)
          .Set("path", "recvq/" + file)
          .Set("owner_name", Trim(f[1]))
          .Set("pages", Number(f[2]))
          .Set("bitrate", Number(f[4]))
          .Set("tsid", Trim(f[6]))
          .Set("from_number", Trim(f[6]))
          .Set("result", Trim(f[7]))
          .Set("status", Trim(f[7]).empty() ? kJobCompleted : kJobFailed);
      // "h" is HH:MM:SS on the line.
      int h = 0, mi = 0, se = 0;
      if (std::sscanf(Trim(f[5]).c_str(), "%d:%d:%d", &h, &mi, &se) == 3)
        m.Set("duration", h * 3600 + mi * 60 + se);
      out.push_back(std::move(m));
    }
    return out;
  }
  // "213 YYYYMMDDHHMMSS" of a file, seconds since 1970 (0 when unknown).
  long long FileTime(const std::string& path) {
    HylaFaxConnection::Reply r = c_.Command("MDTM " + path);
    std::tm tm{};
    if (r.code != 213 || std::sscanf(r.text.c_str(), "%4d%2d%2d%2d%2d%2d", &tm.tm_year, &tm.tm_mon,
                                     &tm.tm_mday, &tm.tm_hour, &tm.tm_min, &tm.tm_sec) != 6)
      return 0;
    tm.tm_year -= 1900;
    tm.tm_mon -= 1;
    return static_cast<long long>(::timegm(&tm));
  }
  Message Archive(bool incoming) {
    std::vector<Message> items;
    if (incoming) {
      for (Message& m : ReceivedFaxes(false)) {
        long long t = FileTime(m.Get("path"));
        m.Set("ended", t).Set("started", t - m.GetInt("duration"));
        items.push_back(std::move(m));
      }
      return ListOf(items);
    }
    for (const ServerJob& j : AllJobs(true)) {
      if (!Mine(j) || j.state != 'D') continue;
      Message m = j.m;
      m.Set("job_id", j.m.Get("id"))
          .Set("path", "doneq/fax-" + j.m.Get("id") + ".tif")
          .Set("pages", j.m.Get("pages_sent"))
          .Set("result", "sent")
          .Set("status", kJobCompleted);
      items.push_back(std::move(m));
    }
    return ListOf(items);
  }
  Message OpenFax(const Message& req, int* receivedFd) {
    const std::string id = req.Get("id");
    std::string path;
    if (req.Get("folder") == "in") {
      if (id.empty() || id.find('/') != std::string::npos || id[0] == '.')
        throw FaxError(platform::kErrFileNotFound, "no received fax " + id);
      path = "recvq/" + id;
    } else {
      // The document a sent job went with, while the server keeps it.
      ServerJob j = FindJob(id);
      c_.Expect("JOB " + id);
      HylaFaxConnection::Reply r = c_.Expect("JPARM DOCUMENT");
      for (const std::string& l : r.lines)
        if (l.find("docq/") != std::string::npos) path = Trim(l.substr(l.find("docq/")));
      path = path.substr(0, path.find(' '));
      if (path.empty())
        throw FaxError(platform::kErrFileNotFound, "the fax server no longer keeps the fax of job " + id);
    }
    std::string data = c_.Receive("RETR " + path, true);
    platform::UniqueFd fd(::memfd_create("fax", MFD_CLOEXEC));
    if (!fd || platform::WriteAll(fd.get(), data) != 0)
      throw FaxError(platform::kErrPathFileAccess, "cannot keep the fax in memory");
    if (receivedFd) *receivedFd = fd.release();
    return Message().Set("name", path.substr(path.rfind('/') + 1));
  }

  // The user's history: each job that failed is an event. Its id orders
  // the events by the time the job ended (seconds * 1000, and the job id's
  // last digits to tell jobs of the same second apart), so a job that
  // fails after one with a higher number is still news.
  Message Events(const Message& req) {
    std::vector<Message> items;
    long long since = req.GetInt("since"), latest = 0;
    for (const ServerJob& j : AllJobs(true)) {
      if (!Mine(j, req.Get("own") == "1")) continue;
      int status = static_cast<int>(j.m.GetInt("status"));
      if (status != kJobFailed && status != kJobRetriesExceeded) continue;
      long long id = j.m.GetInt("ended") * 1000 + j.m.GetInt("id") % 1000;
      latest = std::max(latest, id);
      if (id <= since) continue;
      items.push_back(Message()
                          .Set("id", id)
                          .Set("time", j.m.Get("ended"))
                          .Set("kind", "failed")
                          .Set("job_id", j.m.Get("id"))
                          .Set("text", j.m.Get("error")));
    }
    std::sort(items.begin(), items.end(),
              [](const Message& a, const Message& b) { return a.GetInt("id") < b.GetInt("id"); });
    return ListOf(items).Set("latest", latest);
  }

  FaxServerSettings s_;
  HylaFaxConnection c_;
  ErrorSink errors_;
  std::chrono::steady_clock::time_point lastUse_;
  std::map<std::string, int> modes_, rings_;  // what this client set, by modem
};

}  // namespace

int HylaFaxJobStatus(char state, const std::string& statusText, int tries, int maxTries) {
  switch (state) {
    case 'T':
      return kJobPaused;
    case 'R':
      return kJobInProgress;
    case 'S':
      return tries > 0 ? kJobRetrying : kJobPending;
    case 'D':
      return kJobCompleted;
    case 'F':
      if (statusText.find("aborted by request") != std::string::npos ||
          statusText.find("removed") != std::string::npos)
        return kJobCanceled;
      return maxTries > 0 && tries >= maxTries ? kJobRetriesExceeded : kJobFailed;
    default:
      return kJobPending;  // P, B, W, ?: waiting for its time or a modem
  }
}

std::unique_ptr<RemoteService> MakeHylaFaxService(const FaxServerSettings& settings, ErrorSink errors) {
  return std::make_unique<HylaFaxService>(settings, std::move(errors));
}

}  // namespace brevant::faxsvc
