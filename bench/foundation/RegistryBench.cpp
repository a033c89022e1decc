// CWinReg against the SQLite registry store: a warm open/read/close cycle and
// a run of value writes.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "common/CWinReg.h"
#include "platform/registry/Registry.h"

using brevant::CWinReg;

namespace {

struct Store {
  std::string dir;
  Store() {
    std::string t = (std::filesystem::temp_directory_path() / "brevant-bench-XXXXXX").string();
    dir = mkdtemp(t.data());
    setenv("BREVANT_REGISTRY_DIR", dir.c_str(), 1);
    setenv("BREVANT_PROGRAM_DIR", dir.c_str(), 1);
    brevant::reg::ResetForTests();
    CWinReg reg;
    reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, "Software\\Microsoft\\Fax\\UserInfo", true);
    reg.SetString("FullName", "Ann Example");
  }
  ~Store() {
    brevant::reg::ResetForTests();
    std::filesystem::remove_all(dir);
  }
};

void OpenReadClose(benchmark::State& state) {
  Store store;
  for (auto _ : state) {
    CWinReg reg;
    reg.InitForRead(CWinReg::HKEY_CURRENT_USER, "Software\\Microsoft\\Fax\\UserInfo");
    benchmark::DoNotOptimize(reg.GetString("FullName"));
    reg.CloseKey();
  }
}
BENCHMARK(OpenReadClose);

void TenThousandWrites(benchmark::State& state) {
  Store store;
  CWinReg reg;
  reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, "Software\\Norvane\\Pelorin\\Bench", true);
  for (auto _ : state) {
    for (int i = 0; i < 10000; ++i) reg.SetString("v" + std::to_string(i), "value");
  }
  state.counters["writes/s"] =
      benchmark::Counter(10000.0 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(TenThousandWrites)->Unit(benchmark::kMillisecond)->Iterations(3)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
