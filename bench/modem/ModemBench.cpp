// A fax call on a Class 1 modem in real time: one A4 page (the sample
// letter's text page, fine resolution) at 14,400 bit/s from our driver to
// efax, over two emulated modems joined like a telephone line (modem-pair,
// paced at real time unless BREVANT_MODEM_PACE says otherwise). Reports:
//   line_s  the call on the line, from dialling to the end of the session
//   own_s   our own time beyond it (opening and probing the modem, hanging up)
//   cpu_pct the processor time our side used during the call, in % of one core
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

#include "tools/brevant-faxd/ModemLine.h"

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

void BM_OnePageAtV17ToEfax(benchmark::State& state) {
  std::string bin = fs::path(fs::read_symlink("/proc/self/exe")).parent_path().string();
  const char* pace = std::getenv("BREVANT_MODEM_PACE");
  std::string page = g_dir + "/letter.tif";
  std::string gs = "gs -q -dNOPAUSE -dBATCH -dSAFER -sDEVICE=tiffg4 -r204x196 -sPAPERSIZE=a4 -dFIXEDMEDIA "
                   "-dPDFFitPage -dFirstPage=2 -dLastPage=2 -sOutputFile=" + page + " " BREVANT_SOURCE_DIR
                   "/samples/letter.pdf";
  if (std::system(gs.c_str()) != 0) return state.SkipWithError("Ghostscript could not render the letter");
  double line = 0, own = 0, cpu = 0;
  for (auto _ : state) {
    pid_t pair = Start({bin + "/modem-pair", "--pace", pace ? pace : "1", "--link-a", g_dir + "/ttyA", "--link-b",
                        g_dir + "/ttyB"},
                       g_dir + "/pair.log");
    if (!WaitText(g_dir + "/pair.log", "ready", 10)) return state.SkipWithError("modem-pair did not start");
    pid_t efax = Start({"efax", "-d", g_dir + "/ttyB", "-o1", "-w", "-iS0=1", "-r", "got"}, g_dir + "/efax.log");
    if (!WaitText(g_dir + "/efax.log", "waiting for activity", 30)) return state.SkipWithError("efax did not start");
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

BENCHMARK(BM_OnePageAtV17ToEfax)->Unit(benchmark::kSecond)->UseManualTime()->Iterations(1);

}  // namespace

int main(int argc, char** argv) {
  char tmpl[] = "/tmp/brevant-modembench-XXXXXX";
  g_dir = ::mkdtemp(tmpl);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  fs::remove_all(g_dir, ec);
  return 0;
}
