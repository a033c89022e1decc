#include "platform/faxservice/FaxTiff.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace brevant::faxsvc {

namespace {

// libtiff reports problems through global handlers that print to stderr;
// the fax service reports them through its own results instead.
void QuietHandler(const char*, const char*, va_list) {}

struct TiffCloser {
  void operator()(TIFF* t) const {
    if (t) TIFFClose(t);
  }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TiffPtr OpenTiff(const std::string& path, const char* mode) {
  TIFFSetWarningHandler(QuietHandler);
  TIFFSetErrorHandler(QuietHandler);
  return TiffPtr(TIFFOpen(path.c_str(), mode));
}

bool FaxWidth(std::uint32_t w) { return w == 1728 || w == 2048 || w == 2432; }

}  // namespace

bool CheckFaxTiff(const std::string& path, int* pages, std::string* why) {
  *pages = 0;
  auto t = OpenTiff(path, "r");
  if (!t) {
    *why = "not a TIFF file: " + path;
    return false;
  }
  int n = 0;
  do {
    ++n;
    std::uint32_t w = 0, h = 0;
    std::uint16_t bps = 1, spp = 1;
    TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_SAMPLESPERPIXEL, &spp);
    if (bps != 1 || spp != 1 || !FaxWidth(w) || h == 0 || h > 20000) {
      *why = "page " + std::to_string(n) + " is not a fax page (" + std::to_string(w) + "x" +
             std::to_string(h) + ", " + std::to_string(bps * spp) + " bits per pixel)";
      return false;
    }
  } while (TIFFReadDirectory(t.get()));
  *pages = n;
  return true;
}

bool ReadFaxPages(const std::string& path, std::vector<FaxPage>* pages, std::string* why) {
  pages->clear();
  int count = 0;
  if (!CheckFaxTiff(path, &count, why)) return false;
  auto t = OpenTiff(path, "r");
  if (!t) {
    *why = "cannot open " + path;
    return false;
  }
  do {
    FaxPage p;
    std::uint32_t w = 0, h = 0;
    std::uint16_t photo = PHOTOMETRIC_MINISWHITE, unit = RESUNIT_INCH;
    float xr = 204, yr = 196;
    TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_PHOTOMETRIC, &photo);
    TIFFGetFieldDefaulted(t.get(), TIFFTAG_RESOLUTIONUNIT, &unit);
    if (TIFFGetField(t.get(), TIFFTAG_XRESOLUTION, &xr) && unit == RESUNIT_CENTIMETER) xr *= 2.54f;
    if (TIFFGetField(t.get(), TIFFTAG_YRESOLUTION, &yr) && unit == RESUNIT_CENTIMETER) yr *= 2.54f;
    p.width = static_cast<int>(w);
    p.height = static_cast<int>(h);
    p.xres = xr;
    p.yres = yr;
    p.pixels.assign(static_cast<std::size_t>(w) * h, 0);
    std::vector<unsigned char> row(static_cast<std::size_t>(TIFFScanlineSize(t.get())) + 8);
    std::uint8_t blackBit = photo == PHOTOMETRIC_MINISBLACK ? 0 : 1;
    for (std::uint32_t y = 0; y < h; ++y) {
      if (TIFFReadScanline(t.get(), row.data(), y, 0) < 0) {
        *why = "page " + std::to_string(pages->size() + 1) + " is damaged at row " + std::to_string(y);
        return false;
      }
      std::uint8_t* dst = &p.pixels[static_cast<std::size_t>(y) * w];
      for (std::uint32_t x = 0; x < w; ++x)
        dst[x] = ((row[x >> 3] >> (7 - (x & 7))) & 1) == blackBit ? 1 : 0;
    }
    pages->push_back(std::move(p));
  } while (TIFFReadDirectory(t.get()));
  return true;
}

bool WriteFaxTiff(const std::string& path, const std::vector<FaxPage>& pages,
                  const std::string& description, std::string* why) {
  if (pages.empty()) {
    *why = "no pages to write";
    return false;
  }
  std::string tmp = path + ".part";
  {
    auto t = OpenTiff(tmp, "w");
    if (!t) {
      *why = "cannot create " + tmp;
      return false;
    }
    int n = 0;
    for (const FaxPage& p : pages) {
      TIFF* tf = t.get();
      TIFFSetField(tf, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(tf, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(p.width));
      TIFFSetField(tf, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(p.height));
      TIFFSetField(tf, TIFFTAG_BITSPERSAMPLE, 1);
      TIFFSetField(tf, TIFFTAG_SAMPLESPERPIXEL, 1);
      TIFFSetField(tf, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
      TIFFSetField(tf, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
      TIFFSetField(tf, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
      TIFFSetField(tf, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
      TIFFSetField(tf, TIFFTAG_ROWSPERSTRIP, static_cast<std::uint32_t>(p.height));
      TIFFSetField(tf, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
      TIFFSetField(tf, TIFFTAG_XRESOLUTION, p.xres);
      TIFFSetField(tf, TIFFTAG_YRESOLUTION, p.yres);
      TIFFSetField(tf, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(n),
                   static_cast<std::uint16_t>(pages.size()));
      TIFFSetField(tf, TIFFTAG_SOFTWARE, "brevant-faxd");
      if (!description.empty()) TIFFSetField(tf, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
      std::vector<unsigned char> row(static_cast<std::size_t>((p.width + 7) / 8));
      for (int y = 0; y < p.height; ++y) {
        std::fill(row.begin(), row.end(), 0);
        const std::uint8_t* src = &p.pixels[static_cast<std::size_t>(y) * p.width];
        for (int x = 0; x < p.width; ++x)
          if (src[x]) row[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
        if (TIFFWriteScanline(tf, row.data(), static_cast<std::uint32_t>(y), 0) < 0) {
          *why = "cannot write " + tmp + " (disk full?)";
          t.reset();
          std::remove(tmp.c_str());
          return false;
        }
      }
      if (!TIFFWriteDirectory(tf)) {
        *why = "cannot write " + tmp + " (disk full?)";
        t.reset();
        std::remove(tmp.c_str());
        return false;
      }
      ++n;
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    *why = "cannot rename " + tmp + " to " + path;
    std::remove(tmp.c_str());
    return false;
  }
  return true;
}

FaxPage BlankPage() {
  FaxPage p;
  p.width = 1728;
  p.height = 2292;  // 297 mm at 196 lines per inch
  p.pixels.assign(static_cast<std::size_t>(p.width) * p.height, 0);
  return p;
}

std::string ReadDescription(const std::string& path) {
  auto t = OpenTiff(path, "r");
  if (!t) return "";
  char* d = nullptr;
  if (TIFFGetField(t.get(), TIFFTAG_IMAGEDESCRIPTION, &d) && d) return d;
  return "";
}

std::string DescriptionValue(const std::string& description, const std::string& name) {
  std::size_t pos = 0;
  while (pos < description.size()) {
    std::size_t nl = description.find('\n', pos);
    if (nl == std::string::npos) nl = description.size();
    std::string line = description.substr(pos, nl - pos);
    if (line.size() > name.size() && line.compare(0, name.size(), name) == 0 && line[name.size()] == '=')
      return line.substr(name.size() + 1);
    pos = nl + 1;
  }
  return "";
}

double PixelDifference(const FaxPage& a, const FaxPage& b) {
  if (a.width != b.width || a.pixels.empty()) return 1.0;
  // A received page may differ in length by a few rows (the sending side
  // pads or trims the end); compare over the longer page, extra rows count.
  int h = std::max(a.height, b.height);
  std::size_t diff = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < a.width; ++x) {
      bool pa = y < a.height && a.Black(x, y);
      bool pb = y < b.height && b.Black(x, y);
      diff += pa != pb;
    }
  return static_cast<double>(diff) / (static_cast<double>(a.width) * h);
}

}  // namespace brevant::faxsvc
