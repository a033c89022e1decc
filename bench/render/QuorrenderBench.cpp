// quorrender spool; on 100 page files: wall time per page and the tool's
// peak memory (the pages are streamed, so it should not grow with the
// page count), side by side with the baseline, libtiff writing one G4 page
// of the same bitmap from memory. The pages look like typed letters: rows
// of word-sized ink blocks, which is what G4 compresses in practice.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
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
  // BREVANT_QUORRENDER times another build's tool (an older one, say).
  const char* other = std::getenv("BREVANT_QUORRENDER");
  const std::string tool = other && *other ? other : std::string(BREVANT_BIN_DIR) + "/quorrender";
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
  state.counters["pages_per_s"] =
      benchmark::Counter(100.0 * double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["s_per_page"] = benchmark::Counter(
      100.0 * double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
// The baseline: one page bitmap already in memory, written as a one-page
// G4 TIFF by libtiff. Its peak memory is the page bitmap itself.
void LibTiffG4Page(benchmark::State& state) {
  if (g_root.empty()) Prepare(100);
  const brevant::emf::Page page = LetterPage(1);
  const std::string path = g_root + "/libtiff.tif";
  for (auto _ : state) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, std::uint32_t(page.width));
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, std::uint32_t(page.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, std::uint32_t(page.height));
    TIFFWriteEncodedStrip(t, 0, const_cast<std::uint8_t*>(page.bits.data()), tmsize_t(page.bits.size()));
    TIFFClose(t);
  }
  state.counters["bitmap_MB"] = double(page.bits.size()) / (1024.0 * 1024.0);
}
BENCHMARK(LibTiffG4Page)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5);

BENCHMARK(SpoolHundredPages)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::error_code ec;
  if (!g_root.empty()) fs::remove_all(g_root, ec);
  return 0;
}
