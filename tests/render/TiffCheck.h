#pragma once
// Reading produced fax images back with libtiff, for the render tests.
#include <tiffio.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace brevant::test {

struct TiffPageInfo {
  uint32_t width = 0, height = 0;
  uint16_t compression = 0, bits = 0;
  std::vector<int> blackRows;  // rows with more than half their pixels black
  long black = 0;              // black pixels on the page
};

// Every page of a TIFF, decoded by libtiff (ink counted on bilevel pages);
// empty when it does not open.
inline std::vector<TiffPageInfo> ReadBilevel(const std::string& path) {
  std::vector<TiffPageInfo> pages;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return pages;
  do {
    TiffPageInfo i;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &i.width);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &i.height);
    TIFFGetField(t, TIFFTAG_COMPRESSION, &i.compression);
    TIFFGetField(t, TIFFTAG_BITSPERSAMPLE, &i.bits);
    std::string row(size_t(TIFFScanlineSize(t)), '\0');
    for (uint32_t y = 0; y < i.height && TIFFReadScanline(t, row.data(), y, 0) >= 0; ++y) {
      long n = 0;
      for (uint32_t x = 0; i.bits == 1 && x < i.width; ++x) n += (uint8_t(row[x / 8]) >> (7 - x % 8)) & 1;
      i.black += n;
      if (n * 2 > long(i.width)) i.blackRows.push_back(int(y));
    }
    pages.push_back(i);
  } while (TIFFReadDirectory(t));
  TIFFClose(t);
  return pages;
}

inline bool HasBandAt(const TiffPageInfo& p, int y) {
  return std::find(p.blackRows.begin(), p.blackRows.end(), y) != p.blackRows.end();
}

}  // namespace brevant::test
