// Import and Restrict timings over real Maildir folders and fax TIFFs:
//   BM_CopyFaxes     the baseline: the same 1,000 TIFFs copied with cp
//   BM_ImportFirst   1,000 received faxes into an empty Inbox
//   BM_ImportAgain   the same import again (files nothing)
//   BM_RestrictFaxID Restrict by "FaxID" over a folder of 10,000 items
// The page picture is made in-process; BREVANT_QUORRENDER names a
// converter run once per fax instead (e.g. /bin/true to time the store
// alone, or mail_bench_convert).
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/MailSessions.h"
#include "delivery/OutlookFax.h"
#include "faxservice/protocol/FaxTiff.h"
#include "platform/mail/MailStore.h"
#include "platform/process/Process.h"
#include "platform/registry/Registry.h"
#include "receive/FaxImport.h"

namespace fs = std::filesystem;
using namespace brevant;

namespace {

std::string Root() {
  static std::string root = [] {
    std::string tmpl = (fs::temp_directory_path() / "brevant-mailbench-XXXXXX").string();
    std::string r = ::mkdtemp(tmpl.data());
    for (const char* d : {"/reg", "/prog", "/tmp", "/store", "/archive", "/run"})
      fs::create_directories(r + d);
    // A runtime folder of its own: the machine's running fax service (and
    // its archives) stays out of the run; the registry names the folders.
    ::setenv("BREVANT_RUNTIME_DIR", (r + "/run").c_str(), 1);
    ::setenv("BREVANT_REGISTRY_DIR", (r + "/reg").c_str(), 1);
    ::setenv("BREVANT_PROGRAM_DIR", (r + "/prog").c_str(), 1);
    ::setenv("TMPDIR", (r + "/tmp").c_str(), 1);
    ::setenv("BREVANT_UNATTENDED", "1", 1);
    ::setenv("BREVANT_MAILDIR", (r + "/Maildir").c_str(), 1);
    reg::ResetForTests();
    auto set = [](const char* key, const char* name, const std::string& v) {
      reg::HKEY k = 0;
      reg::CreateKey(reg::kLocalMachine, key, reg::kKeyAllAccess, &k);
      reg::SetValue(k, name, reg::REG_SZ, v.c_str(), static_cast<std::uint32_t>(v.size() + 1));
      reg::CloseKey(k);
    };
    set("Software\\Microsoft\\Fax\\Setup\\Original Setup Data", "Store Directory", r + "/store");
    set("Software\\Microsoft\\Fax", "ArchiveDirectory", r + "/archive");
    FaxJob().SenderFullName = "Bench";
    return r;
  }();
  return root;
}

void MakeFaxes(int n) {
  std::string store = Root() + "/store";
  faxsvc::FaxPage page = faxsvc::BlankPage();
  for (int x = 100; x < 1600; ++x) page.pixels[static_cast<std::size_t>(300) * page.width + x] = 1;
  std::string why;
  std::string first = store + "/f0000.tif";
  faxsvc::WriteFaxTiff(first, {page}, "CSID=+49 30 1\nTSID=+49 30 2", &why);
  for (int i = 1; i < n; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/f%04d.tif", i);
    fs::copy_file(first, store + name, fs::copy_options::overwrite_existing);
  }
}

int FaxCount() {
  const char* n = std::getenv("BREVANT_BENCH_FAXES");
  return n && *n ? std::atoi(n) : 1000;
}

void BM_CopyFaxes(benchmark::State& state) {
  Root();
  MakeFaxes(FaxCount());
  const std::string copy = Root() + "/copy";
  for (auto _ : state) {
    std::error_code ec;
    fs::remove_all(copy, ec);
    if (std::system(("cp -r '" + Root() + "/store' '" + copy + "'").c_str()) != 0)
      state.SkipWithError("cp failed");
  }
}
BENCHMARK(BM_CopyFaxes)->Iterations(1)->Unit(benchmark::kSecond);

void BM_ImportFirst(benchmark::State& state) {
  Root();
  MakeFaxes(FaxCount());
  for (auto _ : state) {
    ImportFaxes(false, nullptr, DateTime{});
  }
  state.counters["items"] =
      static_cast<double>(mail::Store().GetDefaultFolder(mail::olFolderInbox).AllItems().Count());
}
BENCHMARK(BM_ImportFirst)->Iterations(1)->Unit(benchmark::kSecond);

void BM_ImportAgain(benchmark::State& state) {
  for (auto _ : state) {
    ImportFaxes(false, nullptr, DateTime{});
  }
  state.counters["items"] =
      static_cast<double>(mail::Store().GetDefaultFolder(mail::olFolderInbox).AllItems().Count());
}
BENCHMARK(BM_ImportAgain)->Iterations(1)->Unit(benchmark::kSecond);

// 10,000 fax items written as another process would, then Restrict.
void BM_RestrictFaxID(benchmark::State& state) {
  Root();
  mail::Store store;
  mail::Folder folder = store.GetFolder("Bench10000");
  folder.AddUserField("FaxID", mail::olText);
  if (folder.AllItems().Count() < 10000) {
    mail::MailItem item;
    item.Subject = "Fax";
    item.HTMLBody = kPageHtml;
    item.Attachments.push_back({"FaxImage", "f.tiff", "image/tiff", "", std::string(20000, 'x')});
    item.AddUserProperty("FaxID", mail::olText).value = "PLACEHOLDER";
    std::string mime = mail::ToMime(item);
    std::size_t at = mime.find("PLACEHOLDER");
    for (int i = 0; i < 10000; ++i) {
      std::string id = "fax" + std::to_string(100000 + i) + ".tif";
      std::string text = mime.substr(0, at) + id + mime.substr(at + 11);
      std::ofstream(folder.Path() + "/cur/" + std::to_string(i) + ".bench.host:2,S", std::ios::binary)
          << text;
    }
    folder.Restrict("[FaxID] = 'x'");  // the summary index is built once here
  }
  std::size_t found = 0;
  for (auto _ : state) {
    found = folder.Restrict("[MessageClass] = 'IPM.Note' And [FaxID] = 'fax105000.tif'").Count();
    benchmark::DoNotOptimize(found);
  }
  state.counters["found"] = static_cast<double>(found);
}
BENCHMARK(BM_RestrictFaxID)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::error_code ec;
  if (const char* r = std::getenv("BREVANT_MAILDIR"); r && *r && !std::getenv("BREVANT_BENCH_KEEP"))
    fs::remove_all(fs::path(r).parent_path(), ec);
  return 0;
}
