#include <pwd.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "faxservice/daemon/Requests.h"
#include "faxservice/daemon/lines/Line.h"
#include "faxservice/daemon/lines/sip/LineSecrets.h"

// The line administration requests: the lines (devices) listed, added,
// changed and removed, their modems asked, and the service's settings.

namespace brevant::faxd {

namespace fs = std::filesystem;
using faxsvc::kErrRefused;
using faxsvc::Message;

namespace {

std::string UserOf(long long uid) {
  std::vector<char> buf(16384);
  passwd pw{}, *found = nullptr;
  if (uid >= 0 && ::getpwuid_r(static_cast<uid_t>(uid), &pw, buf.data(), buf.size(), &found) == 0 && found)
    return pw.pw_name;
  return "";
}

// The settings every line has, kept in the device row's own columns; the
// others of a line request are the line's kind's own ("config").
bool CommonLineSetting(const std::string& key) {
  for (const char* k : {"op", "id", "kind", "name", "station_id", "tsid", "csid", "rings", "receive",
                        "send_enabled", "priority"})
    if (key == k) return true;
  return false;
}

// A line's password goes to the service's secret store, never into the
// device row that "lines" shows.
bool LineSecretSetting(const std::string& kind, const std::string& key) {
  return kind == "sip" && key == "password";
}

// What the SIP lines learnt of the numbers they called: "5552002 T.38,
// 5553003 G.711" (the numbers called are the administrators' to see).
std::string T38Memory(State& state) {
  std::string memory;
  for (Message& m : state.db.Query("SELECT key, value FROM settings WHERE key LIKE 'sip_t38:%' ORDER BY key"))
    memory += (memory.empty() ? "" : ", ") + m.Get("key").substr(8) + " " + m.Get("value");
  return memory;
}

void PutSecrets(const std::string& stateDir, const std::string& kind, long long id, const Message& req) {
  std::string why;
  if (LineSecretSetting(kind, "password") && req.Has("password") &&
      !PutLineSecret(stateDir, id, req.Get("password"), &why))
    throw Refused(kErrRefused, "the line's password was not kept: " + why);
}

// "receive" as people write it: off, auto (on), manual, or the number.
long long ReceiveModeOf(const std::string& v) {
  if (v == "off" || v == "0" || v == "no") return faxsvc::kReceiveOff;
  if (v == "auto" || v == "on" || v == "1" || v == "yes") return faxsvc::kReceiveAuto;
  if (v == "manual" || v == "2") return faxsvc::kReceiveManual;
  throw Refused(kErrRefused, "receive must be off, auto or manual");
}

// The device row's columns a line request sets (name, station ids, rings,
// receive mode, sending, priority), checked.
std::vector<std::pair<std::string, DbValue>> CommonColumns(const Message& req) {
  std::vector<std::pair<std::string, DbValue>> cols;
  if (req.Has("name")) {
    if (req.Get("name").empty()) throw Refused(kErrRefused, "a line's name may not be empty");
    cols.emplace_back("name", req.Get("name").substr(0, 64));
  }
  if (req.Has("station_id")) {
    cols.emplace_back("tsid", req.Get("station_id").substr(0, 20));
    cols.emplace_back("csid", req.Get("station_id").substr(0, 20));
  }
  for (const char* k : {"tsid", "csid"})
    if (req.Has(k)) cols.emplace_back(k, req.Get(k).substr(0, 20));
  if (req.Has("rings")) {
    long long rings = req.GetInt("rings", -1);
    if (rings < 0 || rings > 99 || req.Get("rings").find_first_not_of("0123456789") != std::string::npos)
      throw Refused(kErrRefused, "rings must be 0 to 99");
    cols.emplace_back("rings", rings);
  }
  if (req.Has("receive")) cols.emplace_back("receive_mode", ReceiveModeOf(req.Get("receive")));
  if (req.Has("send_enabled")) {
    const std::string v = req.Get("send_enabled");
    if (v != "0" && v != "1" && v != "on" && v != "off")
      throw Refused(kErrRefused, "send_enabled must be on or off");
    cols.emplace_back("send_enabled", v == "1" || v == "on" ? 1LL : 0LL);
  }
  if (req.Has("priority")) cols.emplace_back("priority", req.GetInt("priority", 1));
  return cols;
}

// A line's device as a path that names the same thing for every line
// ("" when none).
std::string SameDevice(const std::string& path) {
  if (path.empty()) return "";
  std::error_code ec;
  fs::path p = fs::weakly_canonical(path, ec);
  return ec ? path : p.string();
}

}  // namespace

Message Requests::Devices(const Caller& caller) {
  Message r = Ok();
  auto rows = state_.db.Query("SELECT * FROM devices ORDER BY priority, id");
  int n = 0;
  for (Message& row : rows) {
    Message d;
    for (const char* k : {"id", "name", "description", "kind", "tsid", "csid", "receive_mode", "rings",
                          "powered_off", "send_enabled", "priority"})
      d.Set(k, row.Get(k));
    d.Set("status", row.Get("line_status").empty() ? "ready" : row.Get("line_status"));
    d.Set("receive_enabled", row.GetInt("receive_mode") != faxsvc::kReceiveOff ? 1 : 0);
    // Who may change the device: the administrators.
    d.Set("can_modify", caller.admin ? 1 : 0);
    d.Set("ringing",
          state_.db.QueryInt("SELECT COUNT(*) FROM jobs WHERE queue='in' AND status=? AND device_id=?",
                             {static_cast<long long>(faxsvc::kJobPending), row.GetInt("id")}));
    if (caller.admin) d.Set("route_to", UserOf(row.GetInt("route_uid", -1)));
    if (caller.admin && row.Get("kind") == "sip") d.Set("t38_memory", T38Memory(state_));
    r.AddItem(++n, d);
  }
  return r.Set("count", n);
}

Message Requests::SetDevice(const Message& req) {
  long long id = req.GetInt("id", 1);
  if (state_.db.QueryInt("SELECT COUNT(*) FROM devices WHERE id=?", {id}) == 0)
    throw Refused(kErrRefused, "no fax device " + std::to_string(id));
  CheckLengths(req);
  long long mode = req.GetInt("receive_mode", -1), rings = req.GetInt("rings", -1);
  if (req.Has("receive_mode") && (mode < 0 || mode > 2))
    throw Refused(kErrRefused, "ReceiveMode must be 0, 1 or 2");
  const std::string autoAnswer = req.Has("auto_answer") ? req.Get("auto_answer") : "";
  if (req.Has("auto_answer") && (req.Has("receive_mode") || (autoAnswer != "0" && autoAnswer != "1")))
    throw Refused(kErrRefused, "auto_answer is 0 or 1, and goes without receive_mode");
  if (req.Has("rings") && (rings < 0 || rings > 99)) throw Refused(kErrRefused, "rings must be 0 to 99");
  long long route = -1;
  if (req.Has("route_to") && !req.Get("route_to").empty()) {
    std::vector<char> buf(16384);
    passwd pw{}, *found = nullptr;
    if (::getpwnam_r(req.Get("route_to").c_str(), &pw, buf.data(), buf.size(), &found) != 0 || !found)
      throw Refused(kErrRefused, "no user \"" + req.Get("route_to") + "\" to route received faxes to");
    route = found->pw_uid;
  }
  if (req.Has("receive_mode")) state_.db.Exec("UPDATE devices SET receive_mode=? WHERE id=?", {mode, id});
  // Automatic answering as one switch (the older family's port): off again
  // returns the device to what it did before, off or answered by hand.
  const long long automatic = faxsvc::kReceiveAuto;
  if (autoAnswer == "1") state_.db.Exec("UPDATE devices SET receive_mode=? WHERE id=?", {automatic, id});
  if (autoAnswer == "0")
    state_.db.Exec("UPDATE devices SET receive_mode=idle_mode WHERE id=? AND receive_mode=?",
                   {id, automatic});
  state_.RememberIdleMode(id);
  if (req.Has("rings")) state_.db.Exec("UPDATE devices SET rings=? WHERE id=?", {rings, id});
  if (req.Has("route_to")) state_.db.Exec("UPDATE devices SET route_uid=? WHERE id=?", {route, id});
  if (req.Has("send_enabled"))
    state_.db.Exec("UPDATE devices SET send_enabled=? WHERE id=?",
                   {req.GetInt("send_enabled") ? 1LL : 0LL, id});
  for (const char* k : {"tsid", "csid"})
    if (req.Has(k))
      state_.db.Exec(std::string("UPDATE devices SET ") + k + "=? WHERE id=?",
                     {req.Get(k).substr(0, 20), id});
  auto row = state_.db.Query("SELECT * FROM devices WHERE id=?", {id});
  state_.Event("device", 0,
               "device " + std::to_string(id) + ": receive mode " + row[0].Get("receive_mode") + ", " +
                   row[0].Get("rings") + " rings");
  state_.Changed();
  Message r = Ok().Set("count", 1);
  r.AddItem(1, row[0]);
  return r;
}

Message Requests::SetLine(const Message& req) {
  CheckLengths(req);
  for (auto& [k, v] : req.Fields()) {
    if (k != "op" && !State::KnownSetting(k))
      throw Refused(kErrRefused, "unknown line setting \"" + k.substr(0, 32) + "\"");
    if ((k == "quota_jobs" || k == "quota_mb" || k == "reserve_mb") &&
        (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos))
      throw Refused(kErrRefused, k + " must be a whole number");
  }
  for (auto& [k, v] : req.Fields())
    if (k != "op") state_.PutSetting(k, v);
  state_.Changed();
  return Ok();
}

// The fax lines.

long long Requests::LineWithDevice(const std::string& device, long long except) {
  const std::string wanted = SameDevice(device);
  for (Message& row : state_.db.Query("SELECT id, config FROM devices WHERE id<>?", {except})) {
    Message config;
    Message::Decode(row.Get("config"), &config);
    if (!wanted.empty() && SameDevice(config.Get("device")) == wanted) return row.GetInt("id");
  }
  return 0;
}

Message Requests::ListLines() {
  Message r = Ok();
  int n = 0;
  for (Message& row : state_.db.Query("SELECT * FROM devices ORDER BY priority, id")) {
    Message line;
    for (const char* k : {"id", "name", "kind", "description", "tsid", "csid", "rings", "receive_mode",
                          "priority", "send_enabled"})
      line.Set(k, row.Get(k));
    line.Set("status", row.Get("line_status").empty() ? "ready" : row.Get("line_status"));
    Message config;
    Message::Decode(row.Get("config"), &config);
    for (auto& [k, v] : config.Fields()) line.Set(k, v);
    if (row.Get("kind") == "sip") {
      line.Set("password", LineSecret(state_.Dir(), row.GetInt("id")).empty() ? "not set" : "set");
      line.Set("t38_memory", T38Memory(state_));
    }
    r.AddItem(++n, line);
  }
  return r.Set("count", n);
}

Message Requests::ProbeModem(const Message& req, std::unique_lock<std::mutex>& lk) {
  LineCheck check;
  if (!FindLineKind("modem", &check) || !check)
    throw Refused(kErrRefused, "this fax service has no modem lines");
  Message config;
  for (auto& [k, v] : req.Fields())
    if (k != "op") config.Set(k, v);
  // A modem a line holds is busy for anyone else, the service included.
  if (long long line = LineWithDevice(config.Get("device"), 0)) {
    auto rows = state_.db.Query("SELECT line_status FROM devices WHERE id=?", {line});
    throw Refused(kErrRefused, config.Get("device") + " is the modem of line " + std::to_string(line) + " (" +
                                   (rows.empty() ? std::string() : rows[0].Get("line_status")) + ")");
  }
  Message report;
  std::string why;
  bool ok;
  {
    Unlocked unlocked(lk);  // asking a modem takes seconds
    ok = check(config, true, &report, &why);
  }
  if (!ok) throw Refused(kErrRefused, why);
  Message r = Ok();
  for (auto& [k, v] : report.Fields()) r.Set(k, v);
  return r.Set("device", config.Get("device"));
}

void Requests::ClaimDevice(LinePlan& plan, long long line) {
  const std::string device = plan.config.Get("device");
  if (long long other = LineWithDevice(device, line))
    throw Refused(kErrRefused, device + " is the device of line " + std::to_string(other) + " already");
  Message report;
  std::string why;
  if (plan.check && !plan.check(plan.config, false, &report, &why)) throw Refused(kErrRefused, why);
}

Message Requests::ChangeLine(std::unique_lock<std::mutex>& lk, const std::function<LinePlan()>& plan,
                             const std::function<Message(const LinePlan&, const Message& report)>& write) {
  // Another administrator may change the lines while the device is asked;
  // after a few rounds in which each asked device was no longer the one
  // to keep, the request gives up.
  for (int round = 0; round < 3; ++round) {
    LinePlan asked = plan();
    Message report;
    if (!asked.askDevice) return write(asked, report);  // the lock was held throughout
    std::string why;
    bool ok;
    {
      Unlocked unlocked(lk);  // asking a modem takes seconds
      ok = asked.check(asked.config, true, &report, &why);
    }
    if (!ok) throw Refused(kErrRefused, why);
    // The lock again: the rows as they are now decide.
    LinePlan now = plan();
    if (!now.askDevice || SameDevice(now.config.Get("device")) == SameDevice(asked.config.Get("device")))
      return write(now, report);
  }
  throw Refused(kErrRefused, "the line's device changed while it was asked: try again");
}

Message Requests::AddLine(const Message& req, std::unique_lock<std::mutex>& lk) {
  CheckLengths(req);
  const std::string kind = req.Get("kind").empty() ? "modem" : req.Get("kind");
  LineCheck check;
  if (!FindLineKind(kind, &check))
    throw Refused(kErrRefused, "no line of kind \"" + kind.substr(0, 32) + "\" in this fax service");
  auto cols = CommonColumns(req);
  return ChangeLine(
      lk,
      [&] {
        LinePlan plan;
        plan.check = check;
        for (auto& [k, v] : req.Fields())
          if (!CommonLineSetting(k) && !LineSecretSetting(kind, k)) plan.config.Set(k, v);
        if (!check && plan.config.Size() > 0)
          throw Refused(kErrRefused, "unknown setting \"" + plan.config.Fields()[0].first.substr(0, 32) +
                                         "\" of a " + kind + " line");
        // The modem is asked before the line is kept: a device that is no
        // fax modem is refused here, with the reason.
        plan.askDevice = static_cast<bool>(check);
        ClaimDevice(plan, 0);
        return plan;
      },
      [&](const LinePlan& plan, const Message& report) {
        const Message& config = plan.config;
        const std::string station = state_.Setting("station_id");
        // A kind's check may name the line and say what it is (a SIP line
        // its account).
        std::string name = report.Has("name") ? report.Get("name")
                           : kind == "modem"  ? "Fax modem on " + config.Get("device")
                                              : "Brevant Loopback Modem";
        std::string description =
            report.Has("description") ? report.Get("description")
            : kind == "modem"
                ? "Class 1 fax modem " + report.Get("modem") + " on " + config.Get("device") + ", up to " +
                      report.Get("max_rate") + " bit/s"
                : "Loopback line: faxes go over T.30 (SpanDSP) to a far-end station inside the fax service";
        // A line's number is never given again: jobs and faxes name the
        // line that carried them.
        long long id = 1 + std::max(state_.db.QueryInt("SELECT MAX(id) FROM devices"),
                                    static_cast<long long>(state_.SettingReal("last_line_id")));
        state_.PutSetting("last_line_id", std::to_string(id));
        PutSecrets(state_.Dir(), kind, id, req);
        state_.db.Exec(
            "INSERT INTO devices(id, name, tsid, csid, receive_mode, rings, kind, config, description, "
            "priority)"
            " VALUES(?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
            {id, name, station, station, static_cast<long long>(faxsvc::kReceiveAuto), 2LL, kind,
             config.Size() ? config.Encode() : std::string(), description, 1LL});
        for (auto& [col, value] : cols)
          state_.db.Exec("UPDATE devices SET " + col + "=? WHERE id=?", {value, id});
        state_.RememberIdleMode(id);
        state_.Event("line", 0, "line " + std::to_string(id) + " added: " + description);
        if (report.Has("ignored_lock"))
          state_.Event("line", 0, "line " + std::to_string(id) + ": " + report.Get("ignored_lock"));
        state_.Changed();
        Message r = Ok().Set("id", id);
        for (auto& [k, v] : report.Fields()) r.Set(k, v);
        return r;
      });
}

Message Requests::UpdateLine(const Message& req, std::unique_lock<std::mutex>& lk) {
  CheckLengths(req);
  const long long id = req.GetInt("id");
  auto cols = CommonColumns(req);
  bool changed = false;
  std::string kind;
  return ChangeLine(
      lk,
      [&] {
        // The line's settings as they are now, with the request's on top.
        auto rows = state_.db.Query("SELECT kind, config FROM devices WHERE id=?", {id});
        if (rows.empty()) throw Refused(kErrRefused, "no fax line " + req.Get("id").substr(0, 32));
        kind = rows[0].Get("kind");
        changed = false;
        for (auto& [k, v] : req.Fields()) changed |= !CommonLineSetting(k) && !LineSecretSetting(kind, k);
        if (req.Has("kind") && req.Get("kind") != kind)
          throw Refused(kErrRefused, "a line's kind cannot change: remove the line and add another");
        LinePlan plan;
        FindLineKind(kind, &plan.check);
        if (changed && !plan.check)
          throw Refused(kErrRefused, "a " + kind + " line has no settings of its own");
        Message::Decode(rows[0].Get("config"), &plan.config);
        const std::string device = plan.config.Get("device");
        for (auto& [k, v] : req.Fields())
          if (!CommonLineSetting(k) && !LineSecretSetting(kind, k)) plan.config.Set(k, v);
        if (changed) {
          // A new device is asked before the line takes it; the line's own
          // modem is busy with the line, which opens it again with the new
          // settings.
          plan.askDevice = SameDevice(device) != SameDevice(plan.config.Get("device"));
          ClaimDevice(plan, id);
        }
        return plan;
      },
      [&](const LinePlan& plan, const Message& report) {
        PutSecrets(state_.Dir(), kind, id, req);
        if (changed) state_.db.Exec("UPDATE devices SET config=? WHERE id=?", {plan.config.Encode(), id});
        if (plan.askDevice)
          state_.db.Exec("UPDATE devices SET description=? WHERE id=?",
                         {"Class 1 fax modem " + report.Get("modem") + " on " + plan.config.Get("device") +
                              ", up to " + report.Get("max_rate") + " bit/s",
                          id});
        for (auto& [col, value] : cols)
          state_.db.Exec("UPDATE devices SET " + col + "=? WHERE id=?", {value, id});
        state_.RememberIdleMode(id);
        state_.Event("line", 0, "line " + std::to_string(id) + " changed");
        state_.Changed();
        return Ok().Set("id", id);
      });
}

Message Requests::RemoveLine(const Message& req) {
  const long long id = req.GetInt("id");
  if (state_.db.QueryInt("SELECT COUNT(*) FROM devices WHERE id=?", {id}) == 0)
    throw Refused(kErrRefused, "no fax line " + req.Get("id").substr(0, 32));
  // A call on the line is finished (or cancelled) first; a fax waiting
  // for the line goes on another.
  if (state_.db.QueryInt("SELECT COUNT(*) FROM jobs WHERE device_id=? AND status IN (?, ?)",
                         {id, static_cast<long long>(faxsvc::kJobInProgress),
                          static_cast<long long>(faxsvc::kJobCanceling)}) > 0)
    throw Refused(kErrRefused,
                  "line " + std::to_string(id) + " is on a call: cancel it or wait until it ends");
  state_.db.Transaction([&] {
    state_.db.Exec("DELETE FROM devices WHERE id=?", {id});
    state_.db.Exec(
        "UPDATE jobs SET status=?, error='The line was removed while the call rang', ended=?"
        " WHERE queue='in' AND device_id=? AND status=?",
        {static_cast<long long>(faxsvc::kJobFailed), Now(), id, static_cast<long long>(faxsvc::kJobPending)});
    state_.Event("line", 0, "line " + std::to_string(id) + " removed");
  });
  RemoveLineSecret(state_.Dir(), id);
  state_.Changed();
  return Ok().Set("id", id);
}

}  // namespace brevant::faxd
