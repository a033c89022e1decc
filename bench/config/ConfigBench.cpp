// Timings of the configuration and fax job data:
//  - the fax job XML of a fax to 1,000 recipients with a 64 KB note
//    (the body of one mail to the mail-fax service; target under 2 ms);
//  - loading the whole configuration as start-up does: "FaxGroup.xml", the
//    sender details and the client paths from the registry store (target
//    under 1 ms). "Cold" is the first load of a process, store not yet open.
// Most of the fax job XML's time on a virtual machine goes to page faults:
// glibc returns the freed document to the system after each call and the
// next call faults it in again. Run with
//   GLIBC_TUNABLES=glibc.malloc.trim_threshold=67108864:glibc.malloc.mmap_threshold=67108864
// to see the cost of the code itself, as a process that keeps its memory.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "common/SenderInfo.h"
#include "faxjob/CXmlFax.h"
#include "faxjob/CXmlGroups.h"
#include "platform/registry/Registry.h"

using namespace brevant;

namespace {

// A private program folder and registry for the run.
struct BenchWorld {
  std::string root;
  BenchWorld() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "brevant-bench-XXXXXX").string();
    root = ::mkdtemp(tmpl.data());
    std::filesystem::create_directories(root + "/prog");
    std::filesystem::create_directories(root + "/reg");
    ::setenv("BREVANT_PROGRAM_DIR", (root + "/prog").c_str(), 1);
    ::setenv("BREVANT_REGISTRY_DIR", (root + "/reg").c_str(), 1);
    reg::ResetForTests();
  }
  ~BenchWorld() {
    reg::ResetForTests();
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

void FillLargeJob() {
  ClearFaxJob();
  FaxJobRecord& j = FaxJob();
  j.FaxSubject = "Quarterly figures & forecast <draft>";
  std::string line = "Sehr geehrte Damen und Herren, anbei die Zahlen für Q3 & Q4 <vorläufig>.\n";
  while (j.Note.size() + line.size() <= 65536) j.Note += line;
  j.Note.resize(65536, '.');
  j.SenderFullName = "Anna Müller";
  j.SenderCompany = "Müller & Söhne";
  for (int k = 1; k <= 1000; ++k) {
    j.g_arrFaxName.Append("Recipient " + std::to_string(k) + " GmbH & Co. KG");
    j.g_arrFaxNumber.Append("+49 221 555 " + std::to_string(1000 + k));
  }
}

void BM_FaxJobXml1000Recipients64KNote(benchmark::State& state) {
  FillLargeJob();
  std::size_t bytes = 0;
  for (auto _ : state) {
    std::string xml = GetFaxJobXml();
    bytes = xml.size();
    benchmark::DoNotOptimize(xml);
  }
  state.counters["xml_bytes"] = double(bytes);
}
BENCHMARK(BM_FaxJobXml1000Recipients64KNote)->Unit(benchmark::kMicrosecond);

void SetUpConfiguration() {
  std::ofstream(std::string(getenv("BREVANT_PROGRAM_DIR")) + "/FaxGroup.xml")
      << "<Groups><EmailFax>fax@example.org</EmailFax><ReceiveAll>True</ReceiveAll>"
         "<ProgramType>1</ProgramType><FaxDevice>SRV</FaxDevice><CoverFolder>/srv/covers/</CoverFolder>"
         "<FaxGroupConnect>False</FaxGroupConnect></Groups>";
  FaxJobRecord& j = FaxJob();
  j.SenderAddress = "Ringstraße 5\nBonn";
  j.SenderFullName = "Anna Müller";
  j.SenderEmail = "anna@example.org";
  mCommon::SetSenderInfo();
  CWinReg r;
  r.InitForWrite(CWinReg::HKEY_CURRENT_USER, kPelorinKey, true);
  r.SetString("ForwardEmail", "boss@example.org");
  r.SetString("InboxPath", "");
  r.SetString("SentPath", "/home/anna/Sent");
  r.CloseKey();
  r.InitForWrite(CWinReg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Fax\\Inbox", true);
  r.SetString("Folder", "/var/spool/fax/Inbox");
  r.CloseKey();
  r.InitForWrite(CWinReg::HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Fax\\SentItems", true);
  r.SetString("Folder", "/var/spool/fax/Sent");
  r.CloseKey();
}

void LoadConfiguration() {
  {
    CXmlGroups groups;
    groups.ReadCfgProps();
  }
  mCommon::GetSenderInfo();
  Config().FaxDevice.clear();
  ReadClientPaths();
}

void BM_LoadConfiguration(benchmark::State& state) {
  BenchWorld w;
  SetUpConfiguration();
  for (auto _ : state) {
    LoadConfiguration();
    benchmark::DoNotOptimize(Config());
  }
}
BENCHMARK(BM_LoadConfiguration)->Unit(benchmark::kMicrosecond);

// The first load of a process: the store's databases are opened anew.
void BM_LoadConfigurationCold(benchmark::State& state) {
  BenchWorld w;
  SetUpConfiguration();
  for (auto _ : state) {
    state.PauseTiming();
    reg::ResetForTests();
    state.ResumeTiming();
    LoadConfiguration();
  }
}
BENCHMARK(BM_LoadConfigurationCold)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
