// Fuzzes the reader of fax page files: any bytes either are refused with a
// reason or give a page whose size and bits agree, and a page read once
// reads back the same after writing.

#include "platform/emf/Emf.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  emf::Page page;
  std::string error;
  if (!emf::Decode(fuzz::Text(data, size), &page, &error)) {
    FUZZ_CHECK(!error.empty());
    return 0;
  }
  FUZZ_CHECK(page.width > 0 && page.height > 0 && page.xdpi > 0 && page.ydpi > 0);
  FUZZ_CHECK(page.bits.size() == page.Stride() * std::size_t(page.height));
  emf::Page back;
  FUZZ_CHECK(emf::Decode(emf::Encode(page), &back, &error));
  FUZZ_CHECK(back.width == page.width && back.height == page.height && back.bits == page.bits);
  return 0;
}
