// Fuzzes the readers of fax TIFF files: the fax service's check and page
// reader, the page-at-a-time reader that draws the Fax Monitor's pages,
// and the console tool's page reader (TIFF documents, received faxes). Any
// file is refused with a reason or read into pages whose sizes agree with
// their pixels, and a page is drawn in the size asked for.
#include <vector>

#include "faxservice/protocol/FaxTiff.h"
#include "tests/fuzz/FuzzWorld.h"

using namespace brevant;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  faxsvc::QuietLibTiff();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file = fuzz::Dir() + "/page.tif";
  fuzz::Put(file, fuzz::Text(data, size));
  int pages = 0;
  std::string why;
  if (faxsvc::CheckFaxTiff(file, &pages, &why)) {
    FUZZ_CHECK(pages >= 1);
    // The whole-file reader holds every page: kept to files of a few.
    std::vector<faxsvc::FaxPage> read;
    if (pages <= 4 && faxsvc::ReadFaxPages(file, &read, &why)) {
      FUZZ_CHECK(int(read.size()) == pages);
      for (const auto& p : read) FUZZ_CHECK(p.pixels.size() == std::size_t(p.width) * std::size_t(p.height));
    }
  } else {
    FUZZ_CHECK(!why.empty());
  }
  faxsvc::FaxPageReader viewer;
  if (viewer.Open(file, &why)) {
    FUZZ_CHECK(viewer.Pages() == pages && pages <= faxsvc::kMaxFaxPages);
    for (int i = 0; i < viewer.Pages() && i < 3; ++i) {
      faxsvc::GreyImage grey;
      if (viewer.DrawPage(i, i == 1 ? 1800 : 97, &grey, &why))
        FUZZ_CHECK(grey.width == (i == 1 ? 1800 : 97) && grey.height >= 1 &&
                   grey.pixels.size() == std::size_t(grey.width) * std::size_t(grey.height));
    }
  }

  faxsvc::TiffPageReader reader;
  std::string error;
  if (!reader.Open(file, &error)) return 0;
  for (int i = 0; i < reader.PageCount() && i < 4; ++i) {
    faxsvc::GreyPage page;
    if (reader.ReadPage(i, &page, &error))
      FUZZ_CHECK(page.pixels.size() == std::size_t(page.width) * std::size_t(page.height));
  }
  return 0;
}
