// Fuzzes the readers of fax TIFF files: the fax service's check and page
// reader, and the console tool's page reader (TIFF documents, received
// faxes). Any file is refused with a reason or read into pages whose sizes
// agree with their pixels.
#include <vector>

#include "platform/faxservice/FaxTiff.h"
#include "tests/fuzz/FuzzWorld.h"
#include "tools/quorrender/FaxTiff.h"

using namespace brevant;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quor::QuietLibTiff();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file = fuzz::Dir() + "/page.tif";
  fuzz::Put(file, fuzz::Text(data, size));
  int pages = 0;
  std::string why;
  if (faxsvc::CheckFaxTiff(file, &pages, &why)) {
    FUZZ_CHECK(pages >= 1);
    std::vector<faxsvc::FaxPage> read;
    if (faxsvc::ReadFaxPages(file, &read, &why)) {
      FUZZ_CHECK(int(read.size()) == pages);
      for (const auto& p : read) FUZZ_CHECK(p.pixels.size() == std::size_t(p.width) * std::size_t(p.height));
    }
  } else {
    FUZZ_CHECK(!why.empty());
  }

  quor::TiffPageReader reader;
  std::string error;
  if (!reader.Open(file, &error)) return 0;
  for (int i = 0; i < reader.PageCount() && i < 4; ++i) {
    quor::GreyPage page;
    if (reader.ReadPage(i, &page, &error))
      FUZZ_CHECK(page.pixels.size() == std::size_t(page.width) * std::size_t(page.height));
  }
  return 0;
}
