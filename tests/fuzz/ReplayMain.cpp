// Replays fuzz inputs through a harness's entry point without libFuzzer:
// every file named on the command line and every file in a folder named
// there (the kept corpora), in name order. A harness that finds a fault
// aborts, and the test with it.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "tests/fuzz/FuzzWorld.h"

extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (!fs::is_directory(argv[i])) {
      inputs.push_back(argv[i]);
      continue;
    }
    for (const auto& e : fs::directory_iterator(argv[i]))
      if (e.is_regular_file()) inputs.push_back(e.path());
  }
  std::sort(inputs.begin(), inputs.end());
  if (inputs.empty()) return std::fprintf(stderr, "no inputs to replay\n"), 1;
  for (const auto& p : inputs) {
    std::stringstream ss;
    ss << std::ifstream(p, std::ios::binary).rdbuf();
    const std::string data = ss.str();
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
  }
  std::printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
