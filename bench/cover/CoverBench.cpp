// How long a cover page takes: filling a template, drawing it as a fax
// page, and a picture-box preview.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>

#include "render/cover/CoverPage.h"

using namespace brevant;

namespace {

std::string Template(const char* name) {
  return std::string(BREVANT_COVER_DIR) + "/" + name;
}

cover::CoverFields Fields() {
  cover::CoverFields f = cover::SampleFields();
  f["Note"] = std::string(2000, 'x') + " long note";
  return f;
}

void BM_FillTemplate(benchmark::State& state) {
  std::ifstream in(Template("Generic.cov"));
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  cover::CoverFields f = Fields();
  for (auto _ : state) {
    cover::FilledTemplate out;
    benchmark::DoNotOptimize(cover::FillTemplate(text, f, "", &out));
  }
}
BENCHMARK(BM_FillTemplate)->Unit(benchmark::kMillisecond);

void BM_RenderFaxPage(benchmark::State& state) {
  const char* names[] = {"Generic.cov", "Urgent.cov", "Confidential.cov"};
  std::string path = Template(names[state.range(0)]);
  cover::CoverFields f = Fields();
  for (auto _ : state) {
    emf::Page page;
    benchmark::DoNotOptimize(cover::RenderPage(path, f, &page, nullptr));
  }
}
BENCHMARK(BM_RenderFaxPage)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

void BM_Preview(benchmark::State& state) {
  std::string path = Template("Urgent.cov");
  for (auto _ : state) {
    cover::Picture picture;
    benchmark::DoNotOptimize(cover::RenderPicture(path, cover::SampleFields(), 170, 220, &picture, nullptr));
  }
}
BENCHMARK(BM_Preview)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
