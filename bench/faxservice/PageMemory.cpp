// What reading a fax of many long pages costs in memory, run by hand under
// /usr/bin/time -v (its "Maximum resident set size"):
//
//   faxpage_memory make FILE [PAGES]   a fax of PAGES (40) pages of the longest
//                                      length the fax service takes
//   faxpage_memory all FILE            every page decoded at once (ReadFaxPages)
//   faxpage_memory view FILE           page by page as the Fax Monitor's viewer
//                                      shows them (FaxPageReader, 700 wide)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "faxservice/protocol/FaxTiff.h"

using namespace brevant::faxsvc;

int main(int argc, char** argv) {
  if (argc < 3) return std::fprintf(stderr, "usage: %s make|all|view FILE [PAGES]\n", argv[0]), 2;
  const std::string mode = argv[1], file = argv[2];
  std::string why;
  if (mode == "make") {
    const std::string one = file + ".one";
    FaxPage page = BlankPage();
    page.height = int(kMaxFaxRows);
    page.pixels.assign(std::size_t(page.width) * page.height, 0);
    if (!WriteFaxTiff(one, {page}, "", &why)) return std::fprintf(stderr, "%s\n", why.c_str()), 1;
    const int pages = argc > 3 ? std::atoi(argv[3]) : 40;
    bool ok = ConcatFaxTiffs(std::vector<std::string>(std::size_t(pages), one), file, &why);
    std::remove(one.c_str());
    if (!ok) return std::fprintf(stderr, "%s\n", why.c_str()), 1;
    return 0;
  }
  if (mode == "all") {
    std::vector<FaxPage> pages;
    if (!ReadFaxPages(file, &pages, &why)) return std::fprintf(stderr, "%s\n", why.c_str()), 1;
    std::printf("%zu pages decoded\n", pages.size());
    return 0;
  }
  FaxPageReader reader;
  if (mode != "view" || !reader.Open(file, &why)) return std::fprintf(stderr, "%s\n", why.c_str()), 1;
  for (int i = 0; i < reader.Pages(); ++i) {
    GreyImage grey;
    if (!reader.DrawPage(i, 700, &grey, &why)) return std::fprintf(stderr, "%s\n", why.c_str()), 1;
  }
  std::printf("%d pages drawn\n", reader.Pages());
  return 0;
}
