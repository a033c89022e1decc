// Costs of asking the scheduler about the fax printer.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "printing/CPrinterInfo.h"

namespace {

// A queue of this run's own, removed at the end.
struct BenchQueue {
  std::string name = "BrevantBench" + std::to_string(::getpid());
  bool ok = false;
  BenchQueue() {
    std::string cmd = "lpadmin -p " + name +
                      " -E -v 'vestrel:/tmp/' -P '" BREVANT_SOURCE_DIR
                      "/tools/vestrel/vestrel.ppd' -o printer-is-shared=false 2>/dev/null && cupsdisable " +
                      name;
    ok = std::system(cmd.c_str()) == 0;
  }
  ~BenchQueue() { std::system(("lpadmin -x " + name + " 2>/dev/null").c_str()); }
};

BenchQueue& Queue() {
  static BenchQueue q;
  return q;
}

void BM_JobCount(benchmark::State& state) {
  if (!Queue().ok) {
    state.SkipWithError("cannot make a queue (needs root, cupsd and the vestrel backend)");
    return;
  }
  brevant::CPrinterInfo p;
  p.SetDeviceName(Queue().name);
  for (auto _ : state) benchmark::DoNotOptimize(p.Jobs().Count());
}
BENCHMARK(BM_JobCount)->Unit(benchmark::kMillisecond);

void BM_PrinterRefresh(benchmark::State& state) {
  if (!Queue().ok) {
    state.SkipWithError("cannot make a queue (needs root, cupsd and the vestrel backend)");
    return;
  }
  brevant::CPrinterInfo p;
  p.SetDeviceName(Queue().name);
  for (auto _ : state) {
    p.Refresh();
    benchmark::DoNotOptimize(p.Status());
  }
}
BENCHMARK(BM_PrinterRefresh)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
