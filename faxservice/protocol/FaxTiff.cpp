#include "faxservice/protocol/FaxTiff.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "platform/fs/Files.h"
#include "platform/lib/TiffApi.h"

namespace brevant::faxsvc {

namespace {

struct TiffCloser {
  void operator()(TIFF* t) const {
    if (t) TIFFClose(t);
  }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

TiffPtr OpenTiff(const std::string& path, const char* mode) {
  QuietLibTiff();
  return TiffPtr(TIFFOpen(path.c_str(), mode));
}

bool FaxWidth(std::uint32_t w) {
  return w == kFaxWidth || w == 2048 || w == 2432;
}

// A TIFF over a copy of an open descriptor (libtiff closes what it gets),
// read from its start.
TiffPtr TiffOfFd(int fd, const char* name, const char* mode) {
  platform::UniqueFd own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!own) return nullptr;
  ::lseek(own.get(), 0, SEEK_SET);
  QuietLibTiff();
  TiffPtr t(TIFFFdOpen(own.get(), name, mode));
  if (t) own.release();
  return t;
}

// A fax TIFF being written: libtiff writes into a new file beside path
// ("<name>.part", mode 0600, never through a link), which takes path's name
// only once it is whole.
struct TiffPart {
  platform::AtomicFile file;
  TiffPtr tiff;  // closed before the file is named or removed
};

bool CreatePart(const std::string& path, TiffPart* part, std::string* why) {
  if (!part->file.Begin(path, platform::AtomicOptions(0600).PartName(), why)) return false;
  part->tiff = TiffOfFd(part->file.fd(), path.c_str(), "w");
  if (!part->tiff) {
    part->file.Abandon();
    *why = "cannot create " + path;
    return false;
  }
  return true;
}

// Closes the written file and gives it its name. Write failures (a full
// disk) have shown in the scanlines and directories written before.
bool FinishPart(TiffPart& part, std::string* why) {
  part.tiff.reset();
  return part.file.Commit(why);
}

std::string WriteError(const std::string& path) {
  int err = errno;
  return "cannot write " + path +
         (err ? std::string(": ") + std::strerror(err) : std::string(" (disk full?)"));
}

void SetPageFields(TIFF* tf, std::uint32_t width, std::uint32_t height, float xres, float yres, int n,
                   int count, const std::string& description) {
  TIFFSetField(tf, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
  TIFFSetField(tf, TIFFTAG_IMAGEWIDTH, width);
  TIFFSetField(tf, TIFFTAG_IMAGELENGTH, height);
  TIFFSetField(tf, TIFFTAG_BITSPERSAMPLE, 1);
  TIFFSetField(tf, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tf, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
  TIFFSetField(tf, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
  TIFFSetField(tf, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
  TIFFSetField(tf, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tf, TIFFTAG_ROWSPERSTRIP, height);
  TIFFSetField(tf, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(tf, TIFFTAG_XRESOLUTION, xres);
  TIFFSetField(tf, TIFFTAG_YRESOLUTION, yres);
  TIFFSetField(tf, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(n), static_cast<std::uint16_t>(count));
  TIFFSetField(tf, TIFFTAG_SOFTWARE, "brevant-faxd");
  if (!description.empty()) TIFFSetField(tf, TIFFTAG_IMAGEDESCRIPTION, description.c_str());
}

// Every page directory checked against the fax page bounds; nothing is
// decoded.
bool CheckPages(TIFF* tif, int* pages, std::string* why) {
  int n = 0;
  do {
    ++n;
    std::uint32_t w = 0, h = 0;
    std::uint16_t bps = 1, spp = 1;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
    if (n > kMaxFaxPages) {
      *why = "more than " + std::to_string(kMaxFaxPages) + " pages";
      return false;
    }
    if (bps != 1 || spp != 1 || !FaxWidth(w) || h == 0 || h > kMaxFaxRows) {
      *why = "page " + std::to_string(n) + " is not a fax page (" + std::to_string(w) + "x" +
             std::to_string(h) + ", " + std::to_string(bps * spp) + " bits per pixel)";
      return false;
    }
  } while (TIFFReadDirectory(tif));
  *pages = n;
  return true;
}

// The current page's size, resolution and sense of its bits.
struct PageFacts {
  std::uint32_t width = 0, height = 0;
  float xres = 204, yres = 196;
  unsigned char invert = 0;  // XORed into each byte: 1 bits are black after it
};

PageFacts Facts(TIFF* tif) {
  PageFacts f;
  std::uint16_t photo = PHOTOMETRIC_MINISWHITE, unit = RESUNIT_INCH;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &f.width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &f.height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PHOTOMETRIC, &photo);
  TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
  if (TIFFGetField(tif, TIFFTAG_XRESOLUTION, &f.xres) && unit == RESUNIT_CENTIMETER) f.xres *= 2.54f;
  if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &f.yres) && unit == RESUNIT_CENTIMETER) f.yres *= 2.54f;
  f.invert = photo == PHOTOMETRIC_MINISBLACK ? 0xFF : 0x00;
  return f;
}

// Decodes the current page a row at a time: row(y, bits) gets each row's
// bits packed, most significant first, 1 = black. Memory: one row.
template <class Row>
bool ForEachRow(TIFF* tif, int pageNumber, const PageFacts& f, Row&& row, std::string* why) {
  std::vector<unsigned char> bits(static_cast<std::size_t>(TIFFScanlineSize(tif)) + 8);
  if (bits.size() < f.width / 8 + 8) bits.resize(f.width / 8 + 8);
  for (std::uint32_t y = 0; y < f.height; ++y) {
    if (TIFFReadScanline(tif, bits.data(), y, 0) < 0) {
      *why = "page " + std::to_string(pageNumber) + " is damaged at row " + std::to_string(y);
      return false;
    }
    if (f.invert)
      for (auto& b : bits) b = static_cast<unsigned char>(b ^ f.invert);
    row(y, bits.data());
  }
  return true;
}

// The current page whole, a byte a pixel.
bool DecodePage(TIFF* tif, int pageNumber, FaxPage* p, std::string* why) {
  const PageFacts f = Facts(tif);
  p->width = static_cast<int>(f.width);
  p->height = static_cast<int>(f.height);
  p->xres = f.xres;
  p->yres = f.yres;
  p->pixels.assign(static_cast<std::size_t>(f.width) * f.height, 0);
  // Each decoded byte becomes eight pixels through a table; the fax
  // widths are all multiples of eight.
  static const auto kExpand = [] {
    std::array<std::array<std::uint8_t, 8>, 256> table{};
    for (int b = 0; b < 256; ++b)
      for (int i = 0; i < 8; ++i) table[b][i] = static_cast<std::uint8_t>((b >> (7 - i)) & 1);
    return table;
  }();
  return ForEachRow(
      tif, pageNumber, f,
      [&](std::uint32_t y, const unsigned char* bits) {
        std::uint8_t* dst = &p->pixels[static_cast<std::size_t>(y) * f.width];
        for (std::uint32_t x = 0; x < f.width; x += 8) std::memcpy(dst + x, kExpand[bits[x >> 3]].data(), 8);
      },
      why);
}

bool ReadPages(TIFF* tif, std::vector<FaxPage>* pages, std::string* why) {
  int count = 0;
  if (!CheckPages(tif, &count, why)) return false;
  TIFFSetDirectory(tif, 0);
  do {
    FaxPage p;
    if (!DecodePage(tif, static_cast<int>(pages->size()) + 1, &p, why)) return false;
    pages->push_back(std::move(p));
  } while (TIFFReadDirectory(tif));
  return true;
}

}  // namespace

bool CheckFaxTiff(const std::string& path, int* pages, std::string* why) {
  *pages = 0;
  auto t = OpenTiff(path, "r");
  if (!t) {
    *why = "not a TIFF file: " + path;
    return false;
  }
  return CheckPages(t.get(), pages, why);
}

bool ReadFaxPages(const std::string& path, std::vector<FaxPage>* pages, std::string* why) {
  pages->clear();
  auto t = OpenTiff(path, "r");
  if (!t) {
    *why = "not a TIFF file: " + path;
    return false;
  }
  return ReadPages(t.get(), pages, why);
}

bool ReadFaxPages(int fd, std::vector<FaxPage>* pages, std::string* why) {
  pages->clear();
  auto t = TiffOfFd(fd, "fax", "r");
  if (!t) {
    *why = "not a TIFF file";
    return false;
  }
  return ReadPages(t.get(), pages, why);
}

struct FaxPageReader::Tiff {
  TiffPtr tif;
};

FaxPageReader::FaxPageReader() = default;
FaxPageReader::~FaxPageReader() = default;

bool FaxPageReader::Open(int fd, std::string* why) {
  tiff_.reset();
  pages_ = 0;
  auto t = TiffOfFd(fd, "fax", "r");
  if (!t) {
    *why = "not a TIFF file";
    return false;
  }
  int pages = 0;
  if (!CheckPages(t.get(), &pages, why)) return false;
  tiff_ = std::make_unique<Tiff>(Tiff{std::move(t)});
  pages_ = pages;
  return true;
}

bool FaxPageReader::Open(const std::string& path, std::string* why) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    *why = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  return Open(fd.get(), why);
}

bool FaxPageReader::ReadPage(int index, FaxPage* page, std::string* why) {
  if (!tiff_ || index < 0 || index >= pages_ ||
      !TIFFSetDirectory(tiff_->tif.get(), static_cast<tdir_t>(index))) {
    *why = "the fax has no page " + std::to_string(index + 1);
    return false;
  }
  return DecodePage(tiff_->tif.get(), index + 1, page, why);
}

bool FaxPageReader::DrawPage(int index, int width, GreyImage* out, std::string* why) {
  if (!tiff_ || index < 0 || index >= pages_ || width < 1 ||
      !TIFFSetDirectory(tiff_->tif.get(), static_cast<tdir_t>(index))) {
    *why = "the fax has no page " + std::to_string(index + 1);
    return false;
  }
  const PageFacts f = Facts(tiff_->tif.get());
  const std::uint64_t w = f.width, h = f.height, W = static_cast<std::uint64_t>(width);
  // The page's height in drawn pixels, its pixels being xres by yres (a
  // standard-resolution row is twice as tall as it is wide); resolutions
  // no fax has are taken as at most four to one.
  const double aspect = std::clamp(f.xres / std::max(1.0f, f.yres), 0.25f, 4.0f);
  const std::uint64_t H = std::max<std::uint64_t>(
      1, static_cast<std::uint64_t>(double(h) * aspect * double(W) / double(w) + 0.5));
  out->width = width;
  out->height = static_cast<int>(H);
  out->pixels.assign(static_cast<std::size_t>(W * H), 255);
  // Drawn column c stands for the page's columns [lo[c], hi[c]), drawn row
  // r for its rows [from, to): at least one each.
  std::vector<std::uint32_t> lo(W), hi(W), black(W, 0);
  for (std::uint64_t c = 0; c < W; ++c) {
    lo[c] = static_cast<std::uint32_t>(std::min(w - 1, c * w / W));
    hi[c] = static_cast<std::uint32_t>(std::max<std::uint64_t>(lo[c] + 1, (c + 1) * w / W));
  }
  auto band = [&](std::uint64_t row) { return row * h / H; };
  std::uint64_t r = 0, from = band(0), to = std::max(from + 1, band(1));
  return ForEachRow(
      tiff_->tif.get(), index + 1, f,
      [&](std::uint32_t y, const unsigned char* bits) {
        if (y >= from && y < to)
          for (std::uint64_t c = 0; c < W; ++c)
            for (std::uint32_t x = lo[c]; x < hi[c]; ++x) black[c] += (bits[x >> 3] >> (7 - (x & 7))) & 1u;
        // The drawn rows that end with this page row; drawn taller than the
        // page, one page row gives several.
        while (r < H && y + 1 >= to) {
          std::uint8_t* dst = &out->pixels[static_cast<std::size_t>(r * W)];
          for (std::uint64_t c = 0; c < W; ++c) {
            const std::uint64_t all = (to - from) * (hi[c] - lo[c]);
            dst[c] = static_cast<std::uint8_t>(255 - (black[c] * 255 + all / 2) / all);
          }
          from = band(++r);
          if (from > y)
            std::fill(black.begin(), black.end(), 0);
          else
            from = y;  // the same page row once more
          to = std::max(from + 1, band(r + 1));
        }
      },
      why);
}

bool WriteFaxTiff(const std::string& path, const std::vector<FaxPage>& pages, const std::string& description,
                  std::string* why) {
  if (pages.empty()) {
    *why = "no pages to write";
    return false;
  }
  TiffPart t;
  if (!CreatePart(path, &t, why)) return false;
  int n = 0;
  for (const FaxPage& p : pages) {
    TIFF* tf = t.tiff.get();
    SetPageFields(tf, static_cast<std::uint32_t>(p.width), static_cast<std::uint32_t>(p.height), p.xres,
                  p.yres, n, static_cast<int>(pages.size()), description);
    std::vector<unsigned char> row(static_cast<std::size_t>((p.width + 7) / 8));
    errno = 0;
    for (int y = 0; y < p.height; ++y) {
      std::fill(row.begin(), row.end(), 0);
      const std::uint8_t* src = &p.pixels[static_cast<std::size_t>(y) * p.width];
      for (int x = 0; x < p.width; ++x)
        if (src[x]) row[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
      if (TIFFWriteScanline(tf, row.data(), static_cast<std::uint32_t>(y), 0) < 0) {
        *why = WriteError(path);
        return false;
      }
    }
    if (!TIFFWriteDirectory(tf)) {
      *why = WriteError(path);
      return false;
    }
    ++n;
  }
  return FinishPart(t, why);
}

bool ConcatFaxTiffs(const std::vector<std::string>& inputs, const std::string& path, std::string* why) {
  int total = 0;
  for (const std::string& in : inputs) {
    int pages = 0;
    if (!CheckFaxTiff(in, &pages, why)) return false;
    total += pages;
  }
  if (total == 0) {
    *why = "no pages to write";
    return false;
  }
  TiffPart part;
  if (!CreatePart(path, &part, why)) return false;
  TIFF* out = part.tiff.get();
  auto fail = [&](const std::string& reason) {
    *why = reason;
    return false;
  };
  int n = 0;
  for (const std::string& in : inputs) {
    auto t = OpenTiff(in, "r");
    if (!t) return fail("cannot open " + in);
    do {
      std::uint32_t w = 0, h = 0;
      std::uint16_t photo = PHOTOMETRIC_MINISWHITE, unit = RESUNIT_INCH;
      float xr = 204, yr = 196;
      TIFFGetField(t.get(), TIFFTAG_IMAGEWIDTH, &w);
      TIFFGetField(t.get(), TIFFTAG_IMAGELENGTH, &h);
      TIFFGetFieldDefaulted(t.get(), TIFFTAG_PHOTOMETRIC, &photo);
      TIFFGetFieldDefaulted(t.get(), TIFFTAG_RESOLUTIONUNIT, &unit);
      if (TIFFGetField(t.get(), TIFFTAG_XRESOLUTION, &xr) && unit == RESUNIT_CENTIMETER) xr *= 2.54f;
      if (TIFFGetField(t.get(), TIFFTAG_YRESOLUTION, &yr) && unit == RESUNIT_CENTIMETER) yr *= 2.54f;
      SetPageFields(out, w, h, xr, yr, n, total, "");
      std::vector<unsigned char> row(static_cast<std::size_t>(TIFFScanlineSize(t.get())) + 8);
      unsigned char invert = photo == PHOTOMETRIC_MINISBLACK ? 0xFF : 0x00;
      errno = 0;
      for (std::uint32_t y = 0; y < h; ++y) {
        if (TIFFReadScanline(t.get(), row.data(), y, 0) < 0)
          return fail(in + ": page " + std::to_string(n + 1) + " is damaged at row " + std::to_string(y));
        if (invert)
          for (auto& b : row) b = static_cast<unsigned char>(b ^ invert);
        if (TIFFWriteScanline(out, row.data(), y, 0) < 0) return fail(WriteError(path));
      }
      if (!TIFFWriteDirectory(out)) return fail(WriteError(path));
      ++n;
    } while (TIFFReadDirectory(t.get()));
  }
  return FinishPart(part, why);
}

FaxPage BlankPage() {
  FaxPage p;
  p.width = kFaxWidth;
  p.height = 2292;  // 297 mm at 196 lines per inch
  p.pixels.assign(static_cast<std::size_t>(p.width) * p.height, 0);
  return p;
}

namespace {

// The header of the next raw PBM page ("P4", comment lines, width and
// height) no larger than the printable area; false at the end or on
// anything else.
bool PrintablePbmHeader(std::istream& in, int* w, int* h) {
  std::string magic;
  if (!(in >> magic) || magic != "P4" || in.get() != '\n') return false;
  while (in.peek() == '#') in.ignore(1 << 16, '\n');
  return bool(in >> *w >> *h) && in.get() == '\n' && *w > 0 && *h > 0 && *w <= kPrintableWidth &&
         *h <= kPrintableHeight;
}

}  // namespace

bool PlacePrintablePages(const std::string& pbm, const std::string& path, std::string* why) {
  std::ifstream in(pbm, std::ios::binary);
  int total = 0, w = 0, h = 0;
  while (total < kMaxFaxPages && PrintablePbmHeader(in, &w, &h) &&
         in.seekg(std::streamoff((w + 7) / 8) * h, std::ios::cur))
    ++total;
  if (total == 0) {
    *why = "no page was drawn";
    return false;
  }
  in.clear();
  in.seekg(0);
  TiffPart part;
  if (!CreatePart(path, &part, why)) return false;
  TIFF* out = part.tiff.get();
  auto fail = [&] {
    *why = WriteError(path);
    return false;
  };
  const FaxPage blank = BlankPage();
  std::vector<unsigned char> row(static_cast<std::size_t>(blank.width) / 8), drawn;
  for (int n = 0; n < total && PrintablePbmHeader(in, &w, &h); ++n) {
    SetPageFields(out, std::uint32_t(blank.width), std::uint32_t(blank.height), blank.xres, blank.yres, n,
                  total, "");
    drawn.assign(static_cast<std::size_t>(w + 7) / 8, 0);
    for (int y = 0; y < blank.height; ++y) {
      std::fill(row.begin(), row.end(), 0);
      if (y >= kPrintableTop && y < kPrintableTop + h) {
        in.read(reinterpret_cast<char*>(drawn.data()), std::streamsize(drawn.size()));
        std::copy(drawn.begin(), drawn.end(), row.begin() + kPrintableLeft / 8);
      }
      if (TIFFWriteScanline(out, row.data(), std::uint32_t(y), 0) < 0) return fail();
    }
    if (!TIFFWriteDirectory(out)) return fail();
  }
  return FinishPart(part, why);
}

namespace {
bool StampPages(TiffPtr t, const std::string& name, const std::string& description, std::string* why) {
  if (!t) {
    *why = "cannot open " + name + " for writing";
    return false;
  }
  const std::string& path = name;
  int pages = TIFFNumberOfDirectories(t.get());
  for (int i = 0; i < pages; ++i) {
    if (!TIFFSetDirectory(t.get(), static_cast<tdir_t>(i)) ||
        !TIFFSetField(t.get(), TIFFTAG_IMAGEDESCRIPTION, description.c_str()) ||
        !TIFFRewriteDirectory(t.get())) {
      *why = "cannot write the description of page " + std::to_string(i + 1) + " of " + path;
      return false;
    }
  }
  return true;
}
}  // namespace

bool StampDescription(const std::string& path, const std::string& description, std::string* why) {
  return StampPages(OpenTiff(path, "r+"), path, description, why);
}

bool StampDescription(int fd, const std::string& description, std::string* why) {
  return StampPages(TiffOfFd(fd, "fax", "r+"), "the fax", description, why);
}

bool ImageFacts(int fd, int* pages, float* yres, std::string* why) {
  QuietLibTiff();
  TIFF* tif = TIFFOpen(("/proc/self/fd/" + std::to_string(fd)).c_str(), "r");
  if (!tif) {
    *why = "the document is not a fax image";
    return false;
  }
  *pages = 0;
  *yres = 196;
  do {
    if (++*pages == 1) {
      float y = 0;
      uint16_t unit = RESUNIT_INCH;
      if (TIFFGetField(tif, TIFFTAG_YRESOLUTION, &y) && y > 0) {
        TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
        *yres = unit == RESUNIT_CENTIMETER ? y * 2.54f : y;
      }
    }
  } while (*pages <= kMaxFaxPages && TIFFReadDirectory(tif));
  TIFFClose(tif);
  if (*pages > kMaxFaxPages) {
    *why = "the document has more than " + std::to_string(kMaxFaxPages) + " pages";
    return false;
  }
  return true;
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
