// Fuzzes ".reg" import into a private registry store: any text is applied
// or refused with a reason naming a line, the store stays bounded (a key
// path never deeper or longer than the registry allows), and what was
// imported exports to text that imports to the same export again.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/registry/RegFile.h"
#include "platform/registry/Registry.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant;

namespace {
void EmptyStore() {
  reg::ResetForTests();
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(fuzz::Dir() + "/reg", ec))
    std::filesystem::remove(e.path(), ec);
}

// Every key under the current user's root, exported.
std::string ExportAll() {
  std::string text, error;
  if (!reg::ExportKey("HKEY_CURRENT_USER", &text, &error)) return "";
  return text;
}
}  // namespace

FUZZ_WORLD_SETUP

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  EmptyStore();
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (!reg::ImportText(text, &error))
    FUZZ_CHECK(error.rfind("line ", 0) == 0 || error == "empty registry file");
  // The store grows with the text, never with the square of a key's depth.
  struct stat st {};
  std::uintmax_t stored = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(fuzz::Dir() + "/reg", ec))
    if (::stat(e.path().c_str(), &st) == 0) stored += std::uintmax_t(st.st_size);
  FUZZ_CHECK(stored < 64 * 1024 * 1024);

  const std::string first = ExportAll();
  if (first.empty()) return 0;
  EmptyStore();
  FUZZ_CHECK(reg::ImportText(first, &error));
  FUZZ_CHECK(ExportAll() == first);
  return 0;
}
