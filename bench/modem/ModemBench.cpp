// A fax call on a Class 1 modem in real time: one A4 page (the sample
// letter's text page, fine resolution) at 14,400 bit/s to efax, over two
// emulated modems joined like a telephone line (modem-pair, paced at real
// time unless BREVANT_MODEM_PACE says otherwise); once from our driver
// alone, once through brevant-faxd's modem line (submitted by a client,
// queued, sent, archived). Reports:
//   line_s  the call on the line, from dialling to the end of the session
//   own_s   our own time beyond it (driver: opening and probing the modem,
//           hanging up; service: from the submit to the job completed, less
//           the call)
//   cpu_pct the processor time our side (the driver's process, or
//           brevant-faxd) used during the call, in % of one core
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/faxservice/BenchDaemon.h"
#include "faxservice/client/FaxService.h"
#include "faxservice/daemon/lines/class1/ModemLine.h"

namespace {

namespace fs = std::filesystem;

std::string g_dir;

pid_t Start(const std::vector<std::string>& argv, const std::string& out) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    ::chdir(g_dir.c_str());
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

void Stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  ::waitpid(pid, nullptr, 0);
}

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

bool WaitText(const std::string& path, const std::string& text, double seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (Read(path).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The emulated line (modem A at DIR/ttyA) with efax answering on modem B.
bool StartLine(benchmark::State& state, pid_t* pair, pid_t* efax) {
  std::string bin = fs::path(fs::read_symlink("/proc/self/exe")).parent_path().string();
  const char* pace = std::getenv("BREVANT_MODEM_PACE");
  // The logs of an earlier round go first: their "ready" is not this one's.
  fs::remove(g_dir + "/pair.log");
  fs::remove(g_dir + "/efax.log");
  *pair = Start({bin + "/modem-pair", "--pace", pace ? pace : "1", "--link-a", g_dir + "/ttyA", "--link-b",
                 g_dir + "/ttyB"},
                g_dir + "/pair.log");
  if (!WaitText(g_dir + "/pair.log", "ready", 10)) {
    state.SkipWithError("modem-pair did not start");
    return false;
  }
  *efax = Start({"efax", "-d", g_dir + "/ttyB", "-o1", "-w", "-iS0=1", "-r", "got"}, g_dir + "/efax.log");
  if (!WaitText(g_dir + "/efax.log", "waiting for activity", 30)) {
    state.SkipWithError("efax did not start");
    return false;
  }
  return true;
}

// The letter's text page as a fax page (DIR/letter.tif), rendered once;
// empty when Ghostscript could not.
std::string LetterPage() {
  std::string page = g_dir + "/letter.tif";
  if (fs::exists(page)) return page;
  std::string gs =
      "gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=tiffg4 -r204x196 -sPAPERSIZE=a4 -dFIXEDMEDIA "
      "-dPDFFitPage -dFirstPage=2 -dLastPage=2 -sOutputFile=" +
      page + " " BREVANT_SOURCE_DIR "/samples/letter.pdf";
  return std::system(gs.c_str()) == 0 ? page : "";
}

void BM_OnePageAtV17ToEfax(benchmark::State& state) {
  std::string page = LetterPage();
  if (page.empty()) return state.SkipWithError("Ghostscript could not render the letter");
  double line = 0, own = 0, cpu = 0;
  for (auto _ : state) {
    pid_t pair = -1, efax = -1;
    if (!StartLine(state, &pair, &efax)) return;
    brevant::faxd::ModemSettings s;
    s.device = g_dir + "/ttyA";
    s.stationId = "+49 30 1234";
    s.ecm = false;  // efax has no error correction
    double cpu0 = CpuSeconds();
    brevant::faxd::ModemCallResult r = brevant::faxd::SendFax(s, "5550100", page);
    cpu = (CpuSeconds() - cpu0) / r.wallSeconds * 100;
    ::waitpid(efax, nullptr, 0);
    Stop(pair);
    if (!r.ok || r.bitRate != 14400) return state.SkipWithError(("the fax failed: " + r.result).c_str());
    line = r.dialSeconds + r.audioSeconds;
    own = r.wallSeconds - line;
    state.SetIterationTime(r.wallSeconds);
  }
  state.counters["line_s"] = line;
  state.counters["own_s"] = own;
  state.counters["cpu_pct"] = cpu;
}

// User and system time of a process so far, in seconds.
double ProcessCpuSeconds(pid_t pid) {
  std::string stat = Read("/proc/" + std::to_string(pid) + "/stat");
  std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream in(stat.substr(close + 2));
  std::string field;
  double ticks = 0;
  for (int i = 3; i <= 15 && in >> field; ++i)
    if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
  return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

void BM_OnePageThroughTheServiceToEfax(benchmark::State& state) {
  using brevant::faxsvc::Message;
  std::string page = LetterPage();
  if (page.empty()) return state.SkipWithError("Ghostscript could not render the letter");
  double line = 0, own = 0, cpu = 0;
  for (auto _ : state) {
    pid_t pair = -1, efax = -1;
    if (!StartLine(state, &pair, &efax)) return;
    brevant::bench::Daemon daemon;
    daemon.Start(brevant::bench::FaxdPath(), g_dir);
    brevant::faxsvc::FaxServer server;
    server.Connect("");
    server.Call(Message("line_remove").Set("id", 1));
    Message added = server.Call(Message("line_add").Set("device", g_dir + "/ttyA").Set("ecm", "off"));
    if (added.Get("ok") != "1") return state.SkipWithError(("no modem line: " + added.Get("error")).c_str());
    for (int i = 0; i < 200 && server.Call(Message("lines")).Item(1).Get("status").rfind("ready", 0) != 0;
         ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    double cpu0 = ProcessCpuSeconds(daemon.pid);
    auto t0 = std::chrono::steady_clock::now();
    auto doc = server.CreateDocument(page);
    doc->FaxNumber = "5550100";
    long id = doc->Send();
    Message j;
    for (;;) {
      j = server.Call(Message("job").Set("id", id)).Item(1);
      long long status = j.GetInt("status");
      if (status == brevant::faxsvc::kJobCompleted || status == brevant::faxsvc::kJobFailed ||
          status == brevant::faxsvc::kJobRetrying || status == brevant::faxsvc::kJobRetriesExceeded)
        break;
      // Seldom enough not to load the service, often enough for own_s.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu = (ProcessCpuSeconds(daemon.pid) - cpu0) / wall * 100;
    ::waitpid(efax, nullptr, 0);
    Stop(pair);
    if (j.GetInt("status") != brevant::faxsvc::kJobCompleted || j.GetInt("bitrate") != 14400)
      return state.SkipWithError(("the fax failed: " + j.Get("error")).c_str());
    line = j.GetReal("duration");
    own = wall - line;
    state.SetIterationTime(wall);
  }
  state.counters["line_s"] = line;
  state.counters["own_s"] = own;
  state.counters["cpu_pct"] = cpu;
}

BENCHMARK(BM_OnePageAtV17ToEfax)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);
BENCHMARK(BM_OnePageThroughTheServiceToEfax)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/brevant-modembench-XXXXXX";
  g_dir = ::mkdtemp(tmpl);
  // The service's registry (its store folder) and runtime folder.
  ::setenv("BREVANT_REGISTRY_DIR", (g_dir + "/reg").c_str(), 1);
  ::setenv("BREVANT_RUNTIME_DIR", g_dir.c_str(), 1);
  fs::create_directories(g_dir + "/reg");
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(g_dir, ec);
  return 0;
}
