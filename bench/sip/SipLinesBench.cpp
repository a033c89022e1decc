// SIP lines faxing each other through a real provider (Kamailio on
// 127.0.0.1, as the SIP suites start it), at real time, measured against
// bare SpanDSP in the same run:
//
//   sipline_bench calls [T38_CALLS [G711_CALLS]]   (default 200 60)
//   sipline_bench daemon [CALLS]                  (default 5)
//
// "calls": what a SIP line is made of, without the fax service's queue
// around it (a line of brevant-faxd carries one call at a time, so 200
// calls would be 400 lines with 400 signalling threads and 400 media
// engines). Two SIP accounts, alice calling bob's number, each with its
// own signalling thread and its own media engine (one loop thread, as a
// line has), the media port of each call taken from the engine as the line
// takes it. All calls are placed at once, through Kamailio with digest
// authentication, each a fax of the 2-page sample letter with ECM; T.38
// calls offer T.38 first, G.711 calls audio only. Every page that arrives
// is compared pixel for pixel with the page sent. The figure is this
// process's CPU (signalling, media, both ends) from the first INVITE until
// every call ended on both sides, per second of line time per call;
// Kamailio's CPU in that time is given beside it.
//
// "daemon": two brevant-faxd of this build, one SIP line each, alice's
// sending to bob's, one T.38 fax at a time: each daemon's CPU from the
// submission to the "sent" record per second of line time, and the time
// from the last page's MCF reaching the sender (its "confirmed" event) to
// the job's "sent" record.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/faxservice/BenchDaemon.h"
#include "bench/sip/BareFax.h"
#include "faxservice/client/FaxService.h"
#include "faxservice/daemon/lines/sip/media/FaxMedia.h"
#include "faxservice/daemon/lines/sip/signalling/SipAccount.h"
#include "faxservice/protocol/FaxTiff.h"
#include "tests/support/SipWorld.h"

namespace {

using namespace brevant;
using namespace brevant::bench;
namespace fm = brevant::faxmedia;
using Clock = std::chrono::steady_clock;

const std::vector<test::SipUser> kUsers = {{"alice", "secretA", {"5551001"}},
                                           {"bob", "secretB", {"5552002"}}};

// CPU seconds of a whole process (every thread, the ended ones too).
double ProcessCpu(pid_t pid) {
  clockid_t clock;
  return clock_getcpuclockid(pid, &clock) == 0 ? Cpu(clock) : 0;
}

// CPU seconds of the Kamailio processes run on the configuration under
// dir (from /proc: user and system time in clock ticks).
double KamailioCpu(const std::string& dir) {
  double total = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc")) {
    std::ifstream cmd(e.path() / "cmdline");
    std::string line;
    std::getline(cmd, line);
    if (line.rfind("kamailio", 0) != 0 || line.find(dir) == std::string::npos) continue;
    std::ifstream stat(e.path() / "stat");
    std::string all((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream rest(all.substr(all.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i)
      if (i == 14 || i == 15) ticks += std::atof(field.c_str());
    total += ticks / double(sysconf(_SC_CLK_TCK));
  }
  return total;
}

// Whether the fax TIFF at path holds exactly the pages sent, pixel for
// pixel.
bool SamePages(const std::vector<faxsvc::FaxPage>& sent, const std::string& path) {
  std::vector<faxsvc::FaxPage> got;
  std::string why;
  if (!faxsvc::ReadFaxPages(path, &got, &why) || got.size() != sent.size()) return false;
  for (std::size_t i = 0; i < sent.size(); ++i)
    if (got[i].width != sent[i].width || got[i].height != sent[i].height || got[i].pixels != sent[i].pixels)
      return false;
  return true;
}

// One side of the calls: a SIP account and its media engine, driven as a
// SIP line drives them, for any number of calls at once.
class Side final : public sip::SipListener {
 public:
  Side(const test::SipWorld& world, const test::SipUser& user, bool t38, int firstPort, int ports,
       std::string doc, std::string rxDir)
      : doc_(std::move(doc)), rxDir_(std::move(rxDir)) {
    fm::EngineOptions o;
    o.address = "127.0.0.1";
    o.firstPort = firstPort;
    o.lastPort = firstPort + 2 * ports + 200;
    std::string why;
    engine_ = fm::MediaEngine::Start(o, &why);
    if (!engine_) Die(why);
    sip::AccountSettings a;
    a.registrar = world.Registrar();
    a.user = user.user;
    a.password = user.password;
    a.number = user.numbers[0];
    a.localAddress = "127.0.0.1";
    a.sipPort = 0;
    a.t38 = t38;
    a.mediaPortFirst = o.firstPort;
    a.mediaPortLast = o.lastPort;
    a.takeMediaPort = [this] {
      std::string whyNot;
      std::unique_ptr<fm::MediaCall> media = engine_->Open(&whyNot);
      if (!media) return 0;
      const int port = media->LocalPort();
      std::lock_guard lock(mu_);
      ports_[port] = std::move(media);
      return port;
    };
    a.releaseMediaPort = [this](int port) {
      std::lock_guard lock(mu_);
      ports_.erase(port);
    };
    account_ = sip::SipAccount::Create(stack_, a, *this, &why);
    if (!account_) Die(why);
  }
  bool Registered() const {
    return account_->CurrentRegistration().state == sip::RegistrationState::kRegistered;
  }
  void Dial(const std::string& number, bool t38) {
    auto call = account_->Dial(number, t38);
    std::lock_guard lock(mu_);
    calls_.push_back(call);
  }
  // Waits until n sessions started and finished, or the deadline passed.
  std::vector<std::shared_ptr<fm::MediaCall>> Finished(std::size_t n, Clock::time_point deadline) {
    std::unique_lock lock(mu_);
    cv_.wait_until(lock, deadline, [&] { return started_.size() >= n; });
    auto all = started_;
    lock.unlock();
    for (auto& m : all) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      m->Wait(int(std::max<long long>(left, 0)));
    }
    return all;
  }
  // Outside the lock: a hang-up waits for the signalling thread, which
  // gives the call's port back under it.
  void HangUpAll() {
    std::unique_lock lock(mu_);
    auto calls = calls_;
    lock.unlock();
    for (auto& c : calls) c->HangUp();
  }
  // Waits until every call ended.
  bool AllEnded(std::size_t n, Clock::time_point deadline) {
    std::unique_lock lock(mu_);
    return cv_.wait_until(lock, deadline, [&] { return ended_ >= n; });
  }
  std::string ReceiveFile(int port) const { return rxDir_ + "/rx-" + std::to_string(port) + ".tif"; }
  int Failed() const { return failed_; }

 private:
  [[noreturn]] static void Die(const std::string& why) {
    std::fprintf(stderr, "sipline_bench: %s\n", why.c_str());
    std::exit(1);
  }

  void IncomingCall(const std::shared_ptr<sip::SipCall>& call) override {
    {
      std::lock_guard lock(mu_);
      calls_.push_back(call);
    }
    call->Answer();
  }
  void MediaReady(sip::SipCall& call, const sip::Media& m) override {
    std::shared_ptr<fm::MediaCall> media;
    {
      std::lock_guard lock(mu_);
      auto it = ports_.find(m.localPort);
      if (it != ports_.end()) media = it->second;
    }
    fm::FaxJob job;
    job.calling = !call.Incoming();
    if (job.calling)
      job.sendFile = doc_;
    else
      job.receiveFile = ReceiveFile(m.localPort);
    const fm::Endpoint remote{m.remoteAddress, m.remotePort};
    std::string why;
    bool ok = false;
    if (media && m.kind == sip::MediaKind::kT38) {
      fm::T38Params p;
      p.version = m.t38.version;
      p.maxBitRate = m.t38.maxBitRate;
      p.transferredTcf = m.t38.transferredTcf;
      p.maxDatagram = m.t38.maxDatagram;
      ok = media->StartT38(remote, p, job, nullptr, &why);
    } else if (media) {
      fm::AudioParams p{m.codec == sip::Codec::kPcmu ? fm::Codec::kPcmu : fm::Codec::kPcma, m.payloadType};
      ok = media->StartAudio(remote, p, job, nullptr, &why);
    }
    std::lock_guard lock(mu_);
    if (ok)
      started_.push_back(media);
    else
      ++failed_;
    cv_.notify_all();
  }
  void CallEnded(sip::SipCall&, const sip::CallEnd&) override {
    std::lock_guard lock(mu_);
    ++ended_;
    cv_.notify_all();
  }

  std::string doc_, rxDir_;
  // The signalling thread goes last.
  sip::SipStack stack_;
  std::unique_ptr<fm::MediaEngine> engine_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::map<int, std::shared_ptr<fm::MediaCall>> ports_;
  std::vector<std::shared_ptr<sip::SipCall>> calls_;
  std::vector<std::shared_ptr<fm::MediaCall>> started_;
  std::size_t ended_ = 0;
  int failed_ = 0;
  std::unique_ptr<sip::SipAccount> account_;
};

void PrintLoad(const char* when) {
  double load[3] = {};
  getloadavg(load, 3);
  std::printf("load average at the %s %.1f\n", when, load[0]);
}

struct Run {
  Figure ours;
  double kamailio = 0, wall = 0;
  double datagrams = 0;  // received by both ends
  int whole = 0;
};

Run Calls(bool t38, int n, const std::string& doc, const std::vector<faxsvc::FaxPage>& pages,
          const std::string& dir) {
  const std::string rx = dir + (t38 ? "/rx-t38" : "/rx-g711");
  std::filesystem::create_directories(rx);
  test::SipWorld world(dir, kUsers, {});
  if (!world.Running()) {
    std::fprintf(stderr, "sipline_bench: Kamailio did not start:\n%s\n", world.Log().c_str());
    std::exit(1);
  }
  Side alice(world, kUsers[0], t38, 41000, n, doc, rx), bob(world, kUsers[1], t38, 42000, n, doc, rx);
  for (auto end = Clock::now() + std::chrono::seconds(15); !(alice.Registered() && bob.Registered());) {
    if (Clock::now() > end) {
      std::fprintf(stderr, "sipline_bench: the accounts did not register:\n%s\n", world.Log().c_str());
      std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  Run r;
  const double cpu0 = Cpu(CLOCK_PROCESS_CPUTIME_ID), kam0 = KamailioCpu(dir);
  const auto t0 = Clock::now();
  for (int i = 0; i < n; ++i) alice.Dial(kUsers[1].numbers[0], t38);
  const auto deadline = Clock::now() + std::chrono::seconds(300);
  const auto sent = alice.Finished(std::size_t(n), deadline);
  const auto received = bob.Finished(std::size_t(n), deadline);
  alice.HangUpAll();
  const bool ended = alice.AllEnded(std::size_t(n), deadline) && bob.AllEnded(std::size_t(n), deadline);
  r.ours.cpu = Cpu(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  r.kamailio = KamailioCpu(dir) - kam0;
  r.wall = std::chrono::duration<double>(Clock::now() - t0).count();
  r.ours.calls = n;
  std::map<std::string, int> failures;
  for (const auto& m : sent) {
    const fm::FaxReport rep = m->Report();
    r.ours.line += rep.lineSeconds;
    r.ours.delivered += rep.delivered;
    if (!rep.delivered) ++failures[rep.result];
    r.datagrams += double(rep.udptl.datagrams + rep.rtp.received);
  }
  for (const auto& m : received) {
    const fm::FaxReport rep = m->Report();
    r.datagrams += double(rep.udptl.datagrams + rep.rtp.received);
  }
  for (const auto& f : std::filesystem::directory_iterator(rx)) r.whole += SamePages(pages, f.path());
  for (const auto& [why, count] : failures) std::printf("not delivered: %d calls: %s\n", count, why.c_str());
  if (!ended || alice.Failed() || bob.Failed())
    std::fprintf(stderr, "sipline_bench: %d + %d sessions did not start; every call ended: %s\n",
                 alice.Failed(), bob.Failed(), ended ? "yes" : "no");
  return r;
}

int CallsMain(int t38Calls, int audioCalls, const std::string& dir, const std::string& doc,
              const std::vector<faxsvc::FaxPage>& pages) {
  PrintLoad("start");
  Figure bareT38, bareAudio;
  // Before and after the calls: the machine's load changes while they run.
  BareFigures(doc, dir + "/bare.tif", 3, &bareT38, &bareAudio);
  Run runs[2];
  if (t38Calls > 0) runs[0] = Calls(true, t38Calls, doc, pages, dir);
  if (audioCalls > 0) runs[1] = Calls(false, audioCalls, doc, pages, dir);
  BareFigures(doc, dir + "/bare.tif", 3, &bareT38, &bareAudio);
  for (int i = 0; i < 2; ++i) {
    const Run& r = runs[i];
    const Figure& bare = i == 0 ? bareT38 : bareAudio;
    if (r.ours.calls == 0) continue;
    std::printf(
        "%-5s %d calls through Kamailio in %.0f s: %d confirmed by the sender, %d arrived pixel for pixel; "
        "%.1f s line time each, %.1f datagrams per call-second\n"
        "%-5s ours %.3f ms CPU per call-second (Kamailio beside it %.3f); bare SpanDSP %.3f; ours / bare "
        "= %.2f\n",
        i == 0 ? "T.38" : "G.711", r.ours.calls, r.wall, r.ours.delivered, r.whole,
        r.ours.line / r.ours.calls, r.ours.line > 0 ? r.datagrams / r.ours.line : 0,
        i == 0 ? "T.38" : "G.711", r.ours.PerCall() * 1000,
        r.ours.line > 0 ? r.kamailio / r.ours.line * 1000 : 0, bare.PerCall() * 1000,
        bare.PerCall() > 0 ? r.ours.PerCall() / bare.PerCall() : 0);
  }
  PrintLoad("end");
  return 0;
}

// --- two daemons ---------------------------------------------------------

struct Service {
  Daemon daemon;
  faxsvc::FaxServer server;
  std::string line;

  void Start(const std::string& dir, const test::SipWorld& world, const test::SipUser& u, int ports) {
    std::filesystem::create_directories(dir);
    daemon.Start(FaxdPath(), dir);
    server.Connect("");
    server.Call(faxsvc::Message("line_remove").Set("id", 1));
    server.Call(
        faxsvc::Message("line_set").Set("retry_interval", "0").Set("retries", "1").Set("ring_seconds", "1"));
    line = server
               .Call(faxsvc::Message("line_add")
                         .Set("kind", "sip")
                         .Set("registrar", world.Registrar())
                         .Set("user", u.user)
                         .Set("password", u.password)
                         .Set("number", u.numbers[0])
                         .Set("sip_port", "0")
                         .Set("local_address", "127.0.0.1")
                         .Set("rings", "1")
                         .Set("ports", std::to_string(ports) + "-" + std::to_string(ports + 19)))
               .Get("id");
  }
  bool Registered() {
    for (const faxsvc::Message& l : server.CallList(faxsvc::Message("lines")).Items())
      if (l.Get("id") == line) return l.Get("status").rfind("ready: registered", 0) == 0;
    return false;
  }
  // The time of the job's event of that kind (0: none).
  double EventTime(long id, const std::string& kind) {
    for (const faxsvc::Message& e : server.CallList(faxsvc::Message("events")).Items())
      if (e.GetInt("job_id") == id && e.Get("kind") == kind) return e.GetReal("time");
    return 0;
  }
};

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

int DaemonMain(int calls, const std::string& dir, const std::string& doc,
               const std::vector<faxsvc::FaxPage>& pages) {
  PrintLoad("start");
  Figure bareT38, bareAudio;
  BareFigures(doc, dir + "/bare.tif", 3, &bareT38, &bareAudio);
  test::SipWorld world(dir, kUsers, {});
  if (!world.Running()) return std::fprintf(stderr, "Kamailio did not start\n"), 1;
  Service a, b;
  a.Start(dir + "/alice", world, kUsers[0], 41000);
  b.Start(dir + "/bob", world, kUsers[1], 42000);
  for (auto end = Clock::now() + std::chrono::seconds(15); !(a.Registered() && b.Registered());) {
    if (Clock::now() > end) return std::fprintf(stderr, "the lines did not register\n"), 1;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  std::vector<double> sender, receiver, latency, hangUp;
  int whole = 0;
  for (int i = 0; i < calls; ++i) {
    const double a0 = ProcessCpu(a.daemon.pid), b0 = ProcessCpu(b.daemon.pid);
    auto fax = a.server.CreateDocument(doc);
    fax->FaxNumber = kUsers[1].numbers[0];
    const long id = fax->Send();
    faxsvc::Message job;
    for (auto end = Clock::now() + std::chrono::seconds(300); Clock::now() < end;) {
      job = a.server.Call(faxsvc::Message("job").Set("id", id)).Item(1);
      const long long s = job.GetInt("status");
      if (s == faxsvc::kJobCompleted || s == faxsvc::kJobFailed || s == faxsvc::kJobRetriesExceeded) break;
      // Once a second, as a monitor asks: asked every 20 ms, answering took
      // the daemon more CPU than the call. The times below are the
      // daemon's own, whenever it is asked.
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    const double a1 = ProcessCpu(a.daemon.pid), b1 = ProcessCpu(b.daemon.pid);
    if (job.GetInt("status") != faxsvc::kJobCompleted) {
      std::printf("call %d: not sent: %s\n", i + 1, job.Get("error").c_str());
      continue;
    }
    const double line = job.GetReal("duration");
    sender.push_back((a1 - a0) / line);
    receiver.push_back((b1 - b0) / line);
    // The last MCF's arrival, the call's end on the sending line (the sent
    // record's "ended"), the sent record.
    const double confirmed = a.EventTime(id, "confirmed");
    latency.push_back(a.EventTime(id, "sent") - confirmed);
    hangUp.push_back(
        a.server.CallList(faxsvc::Message("archive").Set("folder", "out")).Items().back().GetReal("ended") -
        confirmed);
    // What bob's service filed, compared with what was sent.
    std::vector<faxsvc::Message> in;
    for (auto end = Clock::now() + std::chrono::seconds(20); Clock::now() < end;) {
      in = b.server.CallList(faxsvc::Message("archive").Set("folder", "in")).Items();
      if (in.size() > std::size_t(i)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const bool same = !in.empty() && SamePages(pages, in.back().Get("path"));
    whole += same;
    std::printf(
        "call %d: %.1f s line time, sender %.3f / receiver %.3f ms CPU per second, last MCF to \"sent\" "
        "%.0f ms (the call ended after %.0f ms), pages %s\n",
        i + 1, line, sender.back() * 1000, receiver.back() * 1000, latency.back() * 1000,
        hangUp.back() * 1000, same ? "the same" : "NOT the same");
  }
  BareFigures(doc, dir + "/bare.tif", 3, &bareT38, &bareAudio);
  const double bareEnd = bareT38.PerCall() / 2;  // one of the pair's two terminals
  std::printf(
      "%zu of %d T.38 faxes sent, %d arrived pixel for pixel; medians: sending daemon %.3f ms CPU per "
      "call-second (%.2fx a bare terminal's %.3f), receiving daemon %.3f (%.2fx); last MCF to \"sent\" %.0f "
      "ms, of which the call's end %.0f ms\n",
      sender.size(), calls, whole, Median(sender) * 1000, Median(sender) / bareEnd, bareEnd * 1000,
      Median(receiver) * 1000, Median(receiver) / bareEnd, Median(latency) * 1000, Median(hangUp) * 1000);
  PrintLoad("end");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "calls";
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  TIFFSetWarningHandler(nullptr);
  const std::string dir =
      std::filesystem::temp_directory_path() / ("sipline-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string doc = dir + "/letter.tif";
  std::vector<faxsvc::FaxPage> pages;
  std::string why;
  if (!MakeLetter(doc) || !faxsvc::ReadFaxPages(doc, &pages, &why))
    return std::fprintf(stderr, "the letter could not be made: %s\n", why.c_str()), 1;
  int rc = 2;
  if (mode == "calls")
    rc = CallsMain(argc > 2 ? std::atoi(argv[2]) : 200, argc > 3 ? std::atoi(argv[3]) : 60, dir, doc, pages);
  else if (mode == "daemon")
    rc = DaemonMain(argc > 2 ? std::atoi(argv[2]) : 5, dir, doc, pages);
  else
    std::fprintf(stderr, "usage: sipline_bench calls [T38_CALLS [G711_CALLS]] | daemon [CALLS]\n");
  std::filesystem::remove_all(dir);
  return rc;
}
