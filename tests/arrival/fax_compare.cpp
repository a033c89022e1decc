// fax-compare: whether a fax that arrived holds a PDF's pages, in order and
// whole, for checks outside the test suite (the package test):
//
//   fax-compare FAX.tif DOCUMENT.pdf [--cover]
//
// With --cover the fax begins with one more page, which must carry ink and
// be none of the document's. Exit 0 when it matches; else 1 and why.
#include <cstdio>
#include <string>

#include "tests/arrival/Marks.h"

int main(int argc, char** argv) {
  using namespace brevant;
  if (argc < 3) {
    std::fprintf(stderr, "usage: fax-compare FAX.tif DOCUMENT.pdf [--cover]\n");
    return 2;
  }
  const bool cover = argc > 3 && std::string(argv[3]) == "--cover";
  std::vector<faxsvc::FaxPage> fax, doc = test::FaxPagesOf(argv[2]);
  std::string why;
  if (!faxsvc::ReadFaxPages(argv[1], &fax, &why) || doc.empty()) {
    std::fprintf(stderr, "fax-compare: cannot read %s or %s %s\n", argv[1], argv[2], why.c_str());
    return 1;
  }
  const std::size_t skip = cover ? 1 : 0;
  if (fax.size() != doc.size() + skip) {
    std::fprintf(stderr, "fax-compare: %zu pages arrived, %zu expected\n", fax.size(), doc.size() + skip);
    return 1;
  }
  int bad = 0;
  for (std::size_t i = 0; i < doc.size(); ++i) {
    const double d = test::Difference(fax[i + skip], doc[i]);
    std::printf("page %zu: %.4f of its pixels differ from page %zu of the document\n", i + skip + 1, d,
                i + 1);
    bad += d > 0.01;
  }
  if (cover) {
    long ink = 0;
    for (auto px : fax[0].pixels) ink += px;
    if (ink < 5000 || test::Difference(fax[0], doc[0]) < 0.01) {
      std::fprintf(stderr, "fax-compare: the first page is no cover page (%ld black pixels)\n", ink);
      ++bad;
    }
  }
  return bad ? 1 : 0;
}
