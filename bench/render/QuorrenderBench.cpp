// quorrender spool; on 100 page files: wall time per run and the tool's
// peak memory (the pages are streamed, so it should not grow with the
// page count). The pages look like typed letters: rows of word-sized ink
// blocks, which is what G4 compresses in practice.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "platform/emf/Emf.h"

namespace fs = std::filesystem;

namespace {

std::string g_root;

brevant::emf::Page LetterPage(int seed) {
  brevant::emf::Page p;
  p.Resize(1728, 2292);
  unsigned r = unsigned(seed) * 2654435761u;
  for (int line = 0; line < 60; ++line) {
    int y0 = 160 + line * 34;
    int x = 140;
    while (x < 1580) {
      r = r * 1103515245u + 12345u;
      int word = 30 + int(r >> 24) % 120;
      for (int y = y0; y < y0 + 18; ++y)
        for (int xx = x; xx < std::min(x + word, 1590); xx += 1 + int((r >> 8) & 1)) p.SetBlack(xx, y);
      x += word + 16;
    }
  }
  return p;
}

void Prepare(int pages) {
  char tmpl[] = "/tmp/brevant-bench-XXXXXX";
  g_root = ::mkdtemp(tmpl);
  fs::create_directories(g_root + "/prog/QuorSpool");
  for (int i = 1; i <= pages; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/%08d.emf", i);
    std::string err;
    brevant::emf::WriteFile(g_root + "/prog/QuorSpool" + name, LetterPage(i), &err);
  }
}

void SpoolHundredPages(benchmark::State& state) {
  if (g_root.empty()) Prepare(100);
  const std::string tool = std::string(BREVANT_BIN_DIR) + "/quorrender";
  long peakKb = 0;
  for (auto _ : state) {
    pid_t pid = ::fork();
    if (pid == 0) {
      ::setenv("BREVANT_PROGRAM_DIR", (g_root + "/prog").c_str(), 1);
      ::setenv("BREVANT_REGISTRY_DIR", (g_root + "/reg").c_str(), 1);
      ::setenv("BREVANT_RUNTIME_DIR", (g_root + "/run").c_str(), 1);
      ::execl(tool.c_str(), tool.c_str(), "spool;keep;silent;", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int st = 0;
    rusage ru{};
    ::wait4(pid, &st, 0, &ru);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) state.SkipWithError("quorrender failed");
    peakKb = std::max(peakKb, ru.ru_maxrss);
  }
  state.counters["peak_MB"] = double(peakKb) / 1024.0;
  state.counters["Fax.tif_KB"] = double(fs::file_size(g_root + "/prog/QuorSpool/Fax.tif")) / 1024.0;
  state.counters["pages_per_s"] = benchmark::Counter(100.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(SpoolHundredPages)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::error_code ec;
  if (!g_root.empty()) fs::remove_all(g_root, ec);
  return 0;
}
