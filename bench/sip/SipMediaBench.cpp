// CPU per fax call of the media engine against bare SpanDSP:
//
//   sipmedia_bench [T38_PAIRS [G711_PAIRS [PACE [THREADS]]]]   (default 50 20 1 2)
//
// The engine runs the pairs at once, each a call between two sessions of
// its own on real UDP sockets over 127.0.0.1, at PACE times real time; the
// reference runs one pair of SpanDSP's T.38 terminals (or fax modems) in
// memory, packets handed over directly. Both send the same 2-page letter.
// Figures are CPU seconds per second of line time per call (two ends), so
// 1 / figure / cores is how many calls the machine carries in real time.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/sip/BareFax.h"
#include "faxservice/daemon/lines/sip/media/FaxMedia.h"

namespace {

using namespace brevant::faxmedia;
using namespace brevant::bench;

Figure Engine(bool t38, int pairs, double pace, int threads, const std::string& doc, const std::string& dir) {
  Figure f;
  std::string why;
  EngineOptions o;
  o.pace = pace;
  o.threads = threads;
  o.firstPort = 43000;
  o.lastPort = 43000 + pairs * 4 + 200;
  auto engine = MediaEngine::Start(o, &why);
  if (!engine) {
    std::fprintf(stderr, "%s\n", why.c_str());
    std::exit(1);
  }
  std::vector<std::unique_ptr<MediaCall>> callers, answerers;
  for (int i = 0; i < pairs; ++i) {
    callers.push_back(engine->Open(&why));
    answerers.push_back(engine->Open(&why));
    if (!callers.back() || !answerers.back()) {
      std::fprintf(stderr, "%s\n", why.c_str());
      std::exit(1);
    }
  }
  const double start = Cpu(CLOCK_PROCESS_CPUTIME_ID);
  for (int i = 0; i < pairs; ++i) {
    FaxJob send, recv;
    send.sendFile = doc;
    recv.calling = false;
    recv.receiveFile = dir + "/rx-" + std::to_string(i) + ".tif";
    const Endpoint toA{"127.0.0.1", callers[std::size_t(i)]->LocalPort()};
    const Endpoint toB{"127.0.0.1", answerers[std::size_t(i)]->LocalPort()};
    if (t38) {
      answerers[std::size_t(i)]->StartT38(toA, T38Params{}, recv, nullptr, &why);
      callers[std::size_t(i)]->StartT38(toB, T38Params{}, send, nullptr, &why);
    } else {
      answerers[std::size_t(i)]->StartAudio(toA, AudioParams{}, recv, nullptr, &why);
      callers[std::size_t(i)]->StartAudio(toB, AudioParams{}, send, nullptr, &why);
    }
  }
  for (int i = 0; i < pairs; ++i) {
    callers[std::size_t(i)]->Wait(600'000);
    answerers[std::size_t(i)]->Wait(600'000);
    const FaxReport r = callers[std::size_t(i)]->Report();
    f.line += r.lineSeconds;
    f.delivered += r.delivered && answerers[std::size_t(i)]->Report().pagesReceived == 2;
  }
  f.cpu = Cpu(CLOCK_PROCESS_CPUTIME_ID) - start;
  f.calls = pairs;
  return f;
}

void Print(const char* what, const Figure& engine, const Figure& bare) {
  std::printf(
      "%-6s engine: %d calls, %d delivered whole, %.1f s line time each, %.3f ms CPU per call-second\n", what,
      engine.calls, engine.delivered, engine.line / std::max(engine.calls, 1), engine.PerCall() * 1000);
  std::printf("%-6s bare SpanDSP pair in memory: %.3f ms CPU per call-second; engine / bare = %.2f\n", what,
              bare.PerCall() * 1000, bare.PerCall() > 0 ? engine.PerCall() / bare.PerCall() : 0);
}

}  // namespace

int main(int argc, char** argv) {
  const int t38Pairs = argc > 1 ? std::atoi(argv[1]) : 50;
  const int audioPairs = argc > 2 ? std::atoi(argv[2]) : 20;
  const double pace = argc > 3 ? std::atof(argv[3]) : 1;
  const int threads = argc > 4 ? std::atoi(argv[4]) : 2;
  TIFFSetWarningHandler(nullptr);
  const std::string dir =
      std::filesystem::temp_directory_path() / ("sipmedia-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string doc = dir + "/letter.tif";
  if (!MakeLetter(doc)) return std::fprintf(stderr, "Ghostscript failed\n"), 1;

  Figure bareT38, bareAudio;
  BareFigures(doc, dir + "/bare.tif", 5, &bareT38, &bareAudio);
  std::printf("pace %.1f, %d loop threads\n", pace, threads);
  if (t38Pairs > 0) Print("T.38", Engine(true, t38Pairs, pace, threads, doc, dir), bareT38);
  if (audioPairs > 0) Print("G.711", Engine(false, audioPairs, pace, threads, doc, dir), bareAudio);
  std::filesystem::remove_all(dir);
  return 0;
}
