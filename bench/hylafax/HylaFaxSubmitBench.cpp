// Submitting a 10-page fax (a Fax.tif as Brevant makes it: G4, fine
// resolution, A4) to a HylaFAX server on this machine: Brevant's client
// (connect and log in, store the document, create and submit the job)
// against HylaFAX's own client sendfax doing the same with the same file,
// in the same run. The jobs wait for a send time three hours ahead and are
// removed after each iteration (not timed), so no call is made. The server
// runs on one modem of modem-pair (scripts/setup-hylafax), as in the tests.
// Reports each side's time per fax and Brevant's time over sendfax's.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/CWinReg.h"
#include "common/FaxServerConfig.h"
#include "faxservice/client/FaxService.h"
#include "faxservice/client/HylaFax.h"
#include "faxservice/protocol/FaxTiff.h"

namespace {

namespace fs = std::filesystem;
using brevant::CWinReg;
using brevant::faxsvc::Message;

std::string g_dir, g_fax;
std::vector<double> g_brevant, g_sendfax;

// Runs a command line through the shell; its output, and its exit code in *code.
std::string Shell(const std::string& command, int* code = nullptr) {
  std::string out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  std::array<char, 4096> buf{};
  while (std::size_t n = std::fread(buf.data(), 1, buf.size(), p)) out.append(buf.data(), n);
  int rc = ::pclose(p);
  if (code) *code = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

// Ten pages, each with bars of its own, as the fax image Brevant sends.
bool MakeFax(const std::string& path) {
  std::vector<brevant::faxsvc::FaxPage> pages;
  for (int p = 0; p < 10; ++p) {
    auto page = brevant::faxsvc::BlankPage();
    for (int y = 100 + 40 * p; y < page.height - 100; y += 97)
      for (int x = 100; x < page.width - 100; ++x)
        for (int t = 0; t < 8; ++t) page.pixels[static_cast<std::size_t>(y + t) * page.width + x] = 1;
    pages.push_back(std::move(page));
  }
  std::string why;
  return brevant::faxsvc::WriteFaxTiff(path, pages, "", &why);
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_BrevantSubmit(benchmark::State& state) {
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    brevant::faxsvc::FaxServer server(brevant::faxsvc::ProgramFaxClient());
    server.Connect("");
    auto doc = server.CreateDocument(g_fax);
    doc->FaxNumber = "5550199";
    doc->RecipientName = "Bench";
    doc->DiscountSend = 1;
    long id = doc->Send();
    double took = Seconds(t0);
    state.SetIterationTime(took);
    g_brevant.push_back(took);
    server.Call(Message("job_op").Set("id", std::to_string(id)).Set("action", "cancel"));
  }
}
BENCHMARK(BM_BrevantSubmit)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

void BM_Sendfax(benchmark::State& state) {
  for (auto _ : state) {
    auto t0 = std::chrono::steady_clock::now();
    int code = 0;
    std::string out = Shell("sendfax -n -h localhost -a 'now + 3 hours' -d 5550199 " + g_fax, &code);
    double took = Seconds(t0);
    state.SetIterationTime(took);
    g_sendfax.push_back(took);
    std::size_t at = out.find("request id is ");
    if (code != 0 || at == std::string::npos) {
      state.SkipWithError(("sendfax failed: " + out).c_str());
      break;
    }
    Shell("faxrm -h localhost " + std::to_string(std::atoi(out.c_str() + at + 14)));
  }
}
BENCHMARK(BM_Sendfax)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(10);

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (::geteuid() != 0) {
    std::fprintf(stderr, "hylafax_submit_bench: HylaFAX's spool is system-wide: run as root\n");
    return 1;
  }
  char tmpl[] = "/tmp/hylafax-bench-XXXXXX";
  g_dir = ::mkdtemp(tmpl);
  ::setenv("BREVANT_REGISTRY_DIR", g_dir.c_str(), 1);
  g_fax = g_dir + "/Fax.tif";
  if (!MakeFax(g_fax)) return 1;

  // The line and the server.
  pid_t pair = ::fork();
  if (pair == 0) {
    int fd = ::open((g_dir + "/modem-pair.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ::dup2(fd, 1);
    ::dup2(fd, 2);
    std::string bin = std::string(BREVANT_BINARY_DIR) + "/bin/modem-pair";
    std::string link = g_dir + "/modemA";
    ::execl(bin.c_str(), bin.c_str(), "--link-a", link.c_str(), "--link-b", (g_dir + "/modemB").c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 100 && !fs::exists(g_dir + "/modemA"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string setup = std::string(BREVANT_SOURCE_DIR) + "/scripts/setup-hylafax";
  int code = 0;
  std::string out = Shell(setup + " start " + fs::canonical(g_dir + "/modemA").string(), &code);
  if (code != 0) {
    std::fprintf(stderr, "%s", out.c_str());
  } else {
    // Brevant's settings: the server on this machine; cheap hours three
    // hours from now, so the faxes wait.
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&now, &tm);
    CWinReg reg;
    reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, brevant::faxsvc::kFaxServerKey, true);
    reg.SetString("Service", "HylaFAX");
    reg.SetString("Server", "localhost");
    reg.SetDword("DiscountStart", (tm.tm_hour + 3) % 24);
    reg.SetDword("DiscountEnd", (tm.tm_hour + 4) % 24);
    reg.CloseKey();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    double b = Median(g_brevant), s = Median(g_sendfax);
    std::printf(
        "median per 10-page fax: brevant %.1f ms, sendfax %.1f ms, brevant/sendfax %.2f (goal <= 1.20)\n",
        b * 1000, s * 1000, s > 0 ? b / s : 0.0);
  }
  Shell(setup + " stop");
  ::kill(pair, SIGTERM);
  ::waitpid(pair, nullptr, 0);
  fs::remove_all(g_dir);
  return code == 0 ? 0 : 1;
}
