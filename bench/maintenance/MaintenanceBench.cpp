// Timings of the maintenance steps a user waits for: one library
// registration (a helper process), building the bug report's dump, the
// scanner search, and one update check against a local server.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "maintenance/BugReport.h"
#include "maintenance/Installation.h"
#include "maintenance/Scan.h"
#include "maintenance/UpdateCheck.h"
#include "platform/registry/Registry.h"
#include "tests/maintenance/HttpServer.h"

namespace {

struct World {
  std::string dir;
  World() {
    std::string t = (std::filesystem::temp_directory_path() / "brevant-bench-XXXXXX").string();
    dir = mkdtemp(t.data());
    setenv("BREVANT_REGISTRY_DIR", dir.c_str(), 1);
    setenv("BREVANT_PROGRAM_DIR", dir.c_str(), 1);
    brevant::reg::ResetForTests();
  }
  ~World() {
    brevant::reg::ResetForTests();
    std::filesystem::remove_all(dir);
  }
};

void RegisterOneLibrary(benchmark::State& state) {
  World w;
  std::string lib = std::string(BREVANT_COMPONENTS_DIR) + "/component-good.so";
  for (auto _ : state) benchmark::DoNotOptimize(brevant::mInstallation::RegisterServerDll(lib, true));
}
BENCHMARK(RegisterOneLibrary)->Unit(benchmark::kMillisecond);

void BuildReportDump(benchmark::State& state) {
  World w;
  auto probes = brevant::DefaultBugReportProbes();
  probes.mailProgram = [] { return brevant::MailProgram{}; };  // running programs is a wait of its own
  for (auto _ : state) benchmark::DoNotOptimize(brevant::BuildBugReport(probes).body.size());
}
BENCHMARK(BuildReportDump)->Unit(benchmark::kMillisecond);

void ScannerSearchWithTestBackend(benchmark::State& state) {
  World w;
  std::string sane = w.dir + "/sane";
  std::filesystem::create_directories(sane);
  FILE* f = fopen((sane + "/dll.conf").c_str(), "w");
  fputs("test\n", f);
  fclose(f);
  std::filesystem::copy_file("/etc/sane.d/test.conf", sane + "/test.conf");
  setenv("SANE_CONFIG_DIR", sane.c_str(), 1);
  for (auto _ : state) benchmark::DoNotOptimize(brevant::ScanDeviceAvailable());
  unsetenv("SANE_CONFIG_DIR");
}
BENCHMARK(ScannerSearchWithTestBackend)->Unit(benchmark::kMillisecond);

void UpdateCheckRoundTrip(benchmark::State& state) {
  World w;
  brevant::test::HttpServer server({200, "0"});
  std::string address = server.Site() + "/_check_update.asp";
  for (auto _ : state) benchmark::DoNotOptimize(brevant::QueryUpdateService(address, "1.0").answer);
}
BENCHMARK(UpdateCheckRoundTrip)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
