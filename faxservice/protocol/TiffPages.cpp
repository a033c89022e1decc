#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "faxservice/protocol/FaxTiff.h"
#include "platform/fs/Files.h"
#include "platform/lib/TiffApi.h"

namespace brevant::faxsvc {
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

// libtiff reports problems through process-wide handlers that print to
// stderr; here they keep the last error's text for the caller's message.
void QuietLibTiff() {
  TIFFSetErrorHandler(TiffHandler);
  TIFFSetWarningHandler(TiffWarning);
}
std::string LastLibTiffError() {
  return g_lastTiffError;
}

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

TiffPageWriter::~TiffPageWriter() {
  Abandon();
}

bool TiffPageWriter::Open(const std::string& path, Kind kind, int pageCount, std::string* error, bool sync) {
  Abandon();
  g_lastTiffError.clear();
  path_ = path;
  kind_ = kind;
  pageCount_ = pageCount;
  written_ = 0;
  // Made anew as "<name>.part": a link left at that name is never written
  // through.
  if (!file_.Begin(path, platform::AtomicOptions(0666).Sync(sync).PartName(), error)) return false;
  // libtiff closes the descriptor it is given: it gets a copy.
  platform::UniqueFd own(::fcntl(file_.fd(), F_DUPFD_CLOEXEC, 0));
  tif_ = own ? TIFFFdOpen(own.get(), path.c_str(), "w") : nullptr;
  if (!tif_) {
    file_.Abandon();
    *error = Why("cannot create " + path);
    return false;
  }
  own.release();
  return true;
}

// The fields of a page of this writer's kind, from the fax page's size and
// resolution; the same for a page encoded here and one copied as encoded.
void TiffPageWriter::SetPageFields(int width, int height, double xdpi, double ydpi) {
  const bool grey = kind_ == Kind::PreviewGrey;
  const int w = grey ? (width + 1) / 2 : width;
  const int h = grey ? (height + 1) / 2 : height;
  TIFFSetField(tif_, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
  TIFFSetField(tif_, TIFFTAG_IMAGEWIDTH, std::uint32_t(w));
  TIFFSetField(tif_, TIFFTAG_IMAGELENGTH, std::uint32_t(h));
  TIFFSetField(tif_, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif_, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
  TIFFSetField(tif_, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(tif_, TIFFTAG_XRESOLUTION, float(grey ? xdpi / 2.0 : xdpi));
  TIFFSetField(tif_, TIFFTAG_YRESOLUTION, float(grey ? ydpi / 2.0 : ydpi));
  TIFFSetField(tif_, TIFFTAG_PAGENUMBER, std::uint16_t(written_), std::uint16_t(pageCount_));
  TIFFSetField(tif_, TIFFTAG_SOFTWARE, "quorrender");
  if (grey) {
    TIFFSetField(tif_, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif_, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif_, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
    TIFFSetField(tif_, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif_, 0));
    return;
  }
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
}

bool TiffPageWriter::AddPage(const emf::Page& page, std::string* error) {
  if (!tif_) {
    *error = "no file open";
    return false;
  }
  const bool grey = kind_ == Kind::PreviewGrey;
  const int w = grey ? (page.width + 1) / 2 : page.width;
  const int h = grey ? (page.height + 1) / 2 : page.height;
  SetPageFields(page.width, page.height, page.xdpi, page.ydpi);
  bool ok = true;
  if (grey) {
    // Each grey pixel is the average of a 2x2 block of fax pixels: a byte
    // of a fax row holds four blocks' top (or bottom) halves, so one table
    // look-up per byte and row gives four pixels' black counts.
    static const auto pairCounts = [] {
      std::array<std::array<std::uint8_t, 4>, 256> t{};
      for (int b = 0; b < 256; ++b)
        for (int k = 0; k < 4; ++k) {
          const int pair = (b >> (6 - 2 * k)) & 3;
          t[std::size_t(b)][std::size_t(k)] = std::uint8_t((pair & 1) + (pair >> 1));
        }
      return t;
    }();
    const std::size_t stride = page.Stride();
    std::vector<std::uint8_t> row(static_cast<std::size_t>(w) + 4);
    for (int y = 0; y < h && ok; ++y) {
      const std::uint8_t* r0 = page.bits.data() + std::size_t(2 * y) * stride;
      const bool second = 2 * y + 1 < page.height;
      const std::uint8_t* r1 = second ? r0 + stride : nullptr;
      // Full blocks: four pixels of the block, a fixed divisor.
      const int full = second ? page.width / 2 : 0;
      std::uint8_t* out = row.data();
      for (std::size_t i = 0; 4 * int(i) < full; ++i) {
        const auto& a = pairCounts[r0[i]];
        const auto& b = pairCounts[r1[i]];
        for (std::size_t k = 0; k < 4; ++k) out[4 * i + k] = std::uint8_t(255 - (255 * (a[k] + b[k])) / 4);
      }
      // The last row of an odd-height page and the last column of an
      // odd-width page: blocks of one or two pixels.
      for (int x = full; x < w; ++x) {
        const std::size_t byte = std::size_t(x) / 4;
        const std::size_t k = std::size_t(x % 4);
        int black = pairCounts[r0[byte]][k] + (r1 ? pairCounts[r1[byte]][k] : 0);
        int n = (2 * x + 1 < page.width ? 2 : 1) * (second ? 2 : 1);
        row[std::size_t(x)] = std::uint8_t(255 - (255 * std::min(black, n)) / n);
      }
      ok = TIFFWriteScanline(tif_, row.data(), std::uint32_t(y), 0) >= 0;
    }
  } else {
    // libtiff encodes straight from the page's rows: for one bit per
    // pixel in the file's own bit order it leaves the buffer as it is.
    auto* rows = const_cast<std::uint8_t*>(page.bits.data());
    if (kind_ == Kind::FaxG4) {
      ok = TIFFWriteEncodedStrip(tif_, 0, rows, tmsize_t(page.bits.size())) >= 0;
    } else {
      for (int y = 0; y < h && ok; ++y)
        ok = TIFFWriteScanline(tif_, rows + std::size_t(y) * page.Stride(), std::uint32_t(y), 0) >= 0;
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

bool TiffPageWriter::AddEncodedPage(const std::string& onePageTiff, const PageShape& shape,
                                    std::string* error) {
  if (!tif_) {
    *error = "no file open";
    return false;
  }
  TIFF* src = TIFFOpen(onePageTiff.c_str(), "r");
  if (!src) {
    *error = Why("cannot read " + onePageTiff);
    return false;
  }
  SetPageFields(shape.width, shape.height, shape.xdpi, shape.ydpi);
  // The strips were cut by the same fields, so they are copied one for one.
  bool ok = TIFFNumberOfStrips(src) == TIFFNumberOfStrips(tif_);
  std::vector<std::uint8_t> strip;
  for (tstrile_t i = 0; ok && i < TIFFNumberOfStrips(src); ++i) {
    strip.resize(std::size_t(TIFFRawStripSize(src, i)));
    const tmsize_t n = TIFFReadRawStrip(src, i, strip.data(), tmsize_t(strip.size()));
    ok = n >= 0 && TIFFWriteRawStrip(tif_, i, strip.data(), n) >= 0;
  }
  TIFFClose(src);
  if (ok) ok = TIFFWriteDirectory(tif_) != 0;
  if (!ok) {
    *error =
        Why("cannot copy page " + std::to_string(written_ + 1) + " of " + path_ + " from " + onePageTiff);
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
  return file_.Commit(error);
}

void TiffPageWriter::Abandon() {
  if (tif_) TIFFClose(tif_);
  tif_ = nullptr;
  file_.Abandon();
}

// ---------------------------------------------------------------------------

void GuessResolution(GreyPage& p) {
  if (p.xdpi > 0 && p.ydpi > 0) return;
  bool fax = p.width >= 1700 && p.width <= 1740;
  p.xdpi = fax ? kFaxXdpi : 200;
  p.ydpi = fax ? (p.height < 1500 ? 98 : kFaxYdpi) : 200;
}

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
  auto usable = [&](double dpi) {
    return hasRes && unit != RESUNIT_NONE && dpi >= 10 && dpi <= 10000 ? dpi : 0;
  };
  page->xdpi = usable(xr * factor);
  page->ydpi = usable(yr * factor);

  // A bilevel page (every fax) is read row by row, eight pixels per byte,
  // into the grey levels the general path below gives it: black 0, white 255.
  std::uint16_t bits = 0, samples = 0, photometric = 0, orientation = ORIENTATION_TOPLEFT, extra = 0;
  std::uint16_t* extraTypes = nullptr;
  TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &samples);
  TIFFGetFieldDefaulted(tif_, TIFFTAG_ORIENTATION, &orientation);
  TIFFGetFieldDefaulted(tif_, TIFFTAG_EXTRASAMPLES, &extra, &extraTypes);
  if (bits == 1 && samples == 1 && extra == 0 && orientation == ORIENTATION_TOPLEFT && !TIFFIsTiled(tif_) &&
      TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &photometric) &&
      (photometric == PHOTOMETRIC_MINISWHITE || photometric == PHOTOMETRIC_MINISBLACK)) {
    const std::uint8_t one = photometric == PHOTOMETRIC_MINISWHITE ? 0 : 255;
    // The eight grey pixels of each byte value.
    std::array<std::array<std::uint8_t, 8>, 256> spread{};
    for (int b = 0; b < 256; ++b)
      for (int k = 0; k < 8; ++k)
        spread[std::size_t(b)][std::size_t(k)] = (b & (0x80 >> k)) ? one : std::uint8_t(255 - one);
    std::vector<std::uint8_t> line(std::size_t(TIFFScanlineSize(tif_)));
    page->pixels.resize(std::size_t(w) * h);
    bool ok = line.size() * 8 >= w;
    for (std::uint32_t y = 0; y < h && ok; ++y) {
      ok = TIFFReadScanline(tif_, line.data(), y, 0) >= 0;
      std::uint8_t* out = page->pixels.data() + std::size_t(y) * w;
      const std::uint32_t whole = w / 8;
      for (std::uint32_t i = 0; i < whole; ++i) std::memcpy(out + 8 * i, spread[line[i]].data(), 8);
      for (std::uint32_t x = 8 * whole; x < w; ++x) out[x] = spread[line[x / 8]][x % 8];
    }
    if (ok) {
      page->width = int(w);
      page->height = int(h);
      return true;
    }
    *error = Why("cannot decode page " + std::to_string(index + 1));
    return false;
  }

  std::vector<std::uint32_t> raster(std::size_t(w) * h);
  char emsg[1024] = "";
  if (!TIFFRGBAImageOK(tif_, emsg) ||
      !TIFFReadRGBAImageOriented(tif_, w, h, raster.data(), ORIENTATION_TOPLEFT, 0)) {
    *error =
        Why("cannot decode page " + std::to_string(index + 1) + (emsg[0] ? std::string(": ") + emsg : ""));
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

}  // namespace brevant::faxsvc
