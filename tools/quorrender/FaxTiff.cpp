#include "tools/quorrender/FaxTiff.h"

#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>

namespace brevant::quor {
namespace {

thread_local std::string g_lastTiffError;

void TiffHandler(const char* module, const char* fmt, va_list ap) {
  char buf[512];
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  g_lastTiffError = (module ? std::string(module) + ": " : std::string()) + buf;
}
void TiffWarning(const char*, const char*, va_list) {}

std::string Why(const std::string& what) {
  return g_lastTiffError.empty() ? what : what + " (" + g_lastTiffError + ")";
}

}  // namespace

void QuietLibTiff() {
  TIFFSetErrorHandler(TiffHandler);
  TIFFSetWarningHandler(TiffWarning);
}
std::string LastLibTiffError() { return g_lastTiffError; }

emf::Page ToFaxPage(const emf::Page& in) {
  if (in.width == kFaxWidth && in.xdpi == kFaxXdpi && in.ydpi == kFaxYdpi) return in;
  const double xdpi = in.xdpi > 0 ? in.xdpi : kFaxXdpi;
  const double ydpi = in.ydpi > 0 ? in.ydpi : kFaxYdpi;
  double sx = kFaxXdpi / xdpi, sy = kFaxYdpi / ydpi;
  double tw = in.width * sx;
  if (tw > kFaxWidth) {
    // Wider than a fax line: shrink the whole page, keeping its shape.
    double f = kFaxWidth / tw;
    sx *= f;
    sy *= f;
    tw = kFaxWidth;
  }
  const int outW = std::max(1, int(std::lround(tw)));
  const int outH = std::max(1, int(std::lround(in.height * sy)));
  const int left = (kFaxWidth - outW) / 2;
  emf::Page out;
  out.xdpi = kFaxXdpi;
  out.ydpi = kFaxYdpi;
  out.Resize(kFaxWidth, outH);
  if (in.width <= 0 || in.height <= 0) return out;

  // Each target pixel covers a box of source pixels; it is black when at
  // least a third of the box is, which keeps thin lines and text strokes
  // when shrinking and leaves grey areas grey-ish instead of solid.
  std::vector<int> x0(std::size_t(outW) + 1);
  for (int x = 0; x <= outW; ++x) x0[std::size_t(x)] = std::min(in.width, int(std::floor(x / sx)));
  for (int y = 0; y < outH; ++y) {
    int ya = std::min(in.height - 1, int(std::floor(y / sy)));
    int yb = std::max(ya + 1, std::min(in.height, int(std::floor((y + 1) / sy))));
    for (int x = 0; x < outW; ++x) {
      int xa = std::min(in.width - 1, x0[std::size_t(x)]);
      int xb = std::max(xa + 1, x0[std::size_t(x) + 1]);
      int black = 0;
      for (int yy = ya; yy < yb; ++yy)
        for (int xx = xa; xx < xb; ++xx) black += in.Black(xx, yy) ? 1 : 0;
      if (black * 3 >= (yb - ya) * (xb - xa) && black > 0) out.SetBlack(left + x, y);
    }
  }
  return out;
}

// ---------------------------------------------------------------------------

TiffPageWriter::~TiffPageWriter() { Abandon(); }

bool TiffPageWriter::Open(const std::string& path, Kind kind, int pageCount, std::string* error) {
  Abandon();
  g_lastTiffError.clear();
  path_ = path;
  tmpPath_ = path + ".part";
  kind_ = kind;
  pageCount_ = pageCount;
  written_ = 0;
  tif_ = TIFFOpen(tmpPath_.c_str(), "w");
  if (!tif_) {
    *error = Why("cannot create " + tmpPath_);
    return false;
  }
  return true;
}

bool TiffPageWriter::AddPage(const emf::Page& page, std::string* error) {
  if (!tif_) {
    *error = "no file open";
    return false;
  }
  const bool grey = kind_ == Kind::PreviewGrey;
  const int w = grey ? (page.width + 1) / 2 : page.width;
  const int h = grey ? (page.height + 1) / 2 : page.height;
  TIFFSetField(tif_, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
  TIFFSetField(tif_, TIFFTAG_IMAGEWIDTH, std::uint32_t(w));
  TIFFSetField(tif_, TIFFTAG_IMAGELENGTH, std::uint32_t(h));
  TIFFSetField(tif_, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif_, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(tif_, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(tif_, TIFFTAG_XRESOLUTION, float(grey ? page.xdpi / 2.0 : page.xdpi));
  TIFFSetField(tif_, TIFFTAG_YRESOLUTION, float(grey ? page.ydpi / 2.0 : page.ydpi));
  TIFFSetField(tif_, TIFFTAG_PAGENUMBER, std::uint16_t(written_), std::uint16_t(pageCount_));
  TIFFSetField(tif_, TIFFTAG_SOFTWARE, "quorrender");
  bool ok = true;
  if (grey) {
    TIFFSetField(tif_, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif_, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
    TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif_, 0));
    // Each grey pixel is the average of a 2x2 block of fax pixels, taken
    // a byte (four blocks) at a time.
    static const auto pairBits = [] {
      std::array<std::uint8_t, 4> t{0, 1, 1, 2};
      return t;
    }();
    const std::size_t stride = page.Stride();
    std::vector<std::uint8_t> row(static_cast<std::size_t>(w));
    for (int y = 0; y < h && ok; ++y) {
      const std::uint8_t* r0 = page.bits.data() + std::size_t(2 * y) * stride;
      const bool second = 2 * y + 1 < page.height;
      const std::uint8_t* r1 = second ? r0 + stride : nullptr;
      for (int x = 0; x < w; ++x) {
        const std::size_t byte = std::size_t(x) / 4;
        const int shift = 6 - 2 * (x % 4);
        int black = pairBits[(r0[byte] >> shift) & 3] + (r1 ? pairBits[(r1[byte] >> shift) & 3] : 0);
        int n = (2 * x + 1 < page.width ? 2 : 1) * (second ? 2 : 1);
        row[std::size_t(x)] = std::uint8_t(255 - (255 * std::min(black, n)) / n);
      }
      ok = TIFFWriteScanline(tif_, row.data(), std::uint32_t(y), 0) >= 0;
    }
  } else {
    TIFFSetField(tif_, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif_, TIFFTAG_FILLORDER, FILLORDER_MSB2LSB);
    if (kind_ == Kind::FaxG4) {
      TIFFSetField(tif_, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
      TIFFSetField(tif_, TIFFTAG_GROUP4OPTIONS, 0);
      TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP, std::uint32_t(h));
    } else {
      TIFFSetField(tif_, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
      TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif_, 0));
    }
    std::vector<std::uint8_t> row(page.Stride());
    for (int y = 0; y < h && ok; ++y) {
      std::copy_n(page.bits.begin() + std::ptrdiff_t(std::size_t(y) * page.Stride()), page.Stride(), row.begin());
      ok = TIFFWriteScanline(tif_, row.data(), std::uint32_t(y), 0) >= 0;
    }
  }
  if (ok) ok = TIFFWriteDirectory(tif_) != 0;
  if (!ok) {
    *error = Why("cannot write page " + std::to_string(written_ + 1) + " of " + path_);
    return false;
  }
  ++written_;
  return true;
}

bool TiffPageWriter::Commit(std::string* error) {
  if (!tif_) {
    *error = "no file open";
    return false;
  }
  TIFFClose(tif_);
  tif_ = nullptr;
  std::error_code ec;
  std::filesystem::rename(tmpPath_, path_, ec);
  if (ec) {
    *error = "cannot rename " + tmpPath_ + " to " + path_ + ": " + ec.message();
    std::filesystem::remove(tmpPath_, ec);
    return false;
  }
  return true;
}

void TiffPageWriter::Abandon() {
  if (!tif_) return;
  TIFFClose(tif_);
  tif_ = nullptr;
  std::error_code ec;
  std::filesystem::remove(tmpPath_, ec);
}

// ---------------------------------------------------------------------------

TiffPageReader::~TiffPageReader() {
  if (tif_) TIFFClose(tif_);
}

bool TiffPageReader::Open(const std::string& path, std::string* error) {
  g_lastTiffError.clear();
  if (tif_) TIFFClose(tif_);
  tif_ = TIFFOpen(path.c_str(), "r");
  if (!tif_) {
    *error = Why("cannot open " + path + " as TIFF");
    return false;
  }
  pageCount_ = int(TIFFNumberOfDirectories(tif_));
  if (pageCount_ < 1) {
    *error = path + " holds no page";
    return false;
  }
  return true;
}

bool TiffPageReader::ReadPage(int index, GreyPage* page, std::string* error) {
  g_lastTiffError.clear();
  if (!tif_ || index < 0 || index >= pageCount_ || !TIFFSetDirectory(tif_, tdir_t(index))) {
    *error = "no page " + std::to_string(index + 1);
    return false;
  }
  std::uint32_t w = 0, h = 0;
  TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &h);
  if (w == 0 || h == 0 || std::uint64_t(w) * h > 200'000'000ull) {
    *error = "page " + std::to_string(index + 1) + " has an unusable size " + std::to_string(w) + "x" +
             std::to_string(h);
    return false;
  }
  float xr = 0, yr = 0;
  std::uint16_t unit = RESUNIT_INCH;
  TIFFGetFieldDefaulted(tif_, TIFFTAG_RESOLUTIONUNIT, &unit);
  bool hasRes = TIFFGetField(tif_, TIFFTAG_XRESOLUTION, &xr) && TIFFGetField(tif_, TIFFTAG_YRESOLUTION, &yr);
  double factor = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
  // A resolution no page has (zero, negative, not a number, absurdly fine)
  // counts as none: it would size the page it is scaled to.
  auto usable = [&](double dpi) { return hasRes && unit != RESUNIT_NONE && dpi >= 10 && dpi <= 10000 ? dpi : 0; };
  page->xdpi = usable(xr * factor);
  page->ydpi = usable(yr * factor);

  std::vector<std::uint32_t> raster(std::size_t(w) * h);
  char emsg[1024] = "";
  if (!TIFFRGBAImageOK(tif_, emsg) ||
      !TIFFReadRGBAImageOriented(tif_, w, h, raster.data(), ORIENTATION_TOPLEFT, 0)) {
    *error = Why("cannot decode page " + std::to_string(index + 1) + (emsg[0] ? std::string(": ") + emsg : ""));
    return false;
  }
  page->width = int(w);
  page->height = int(h);
  page->pixels.resize(raster.size());
  for (std::size_t i = 0; i < raster.size(); ++i) {
    std::uint32_t p = raster[i];
    unsigned r = TIFFGetR(p), g = TIFFGetG(p), b = TIFFGetB(p), a = TIFFGetA(p);
    unsigned lum = (r * 299 + g * 587 + b * 114) / 1000;
    // Transparent areas are paper.
    lum = (lum * a + 255 * (255 - a)) / 255;
    page->pixels[i] = std::uint8_t(lum);
  }
  return true;
}

}  // namespace brevant::quor
