#pragma once
// Fax pages as TIFF files, the one module every part of Brevant reads and
// writes them with (libtiff, loaded on first use: platform/lib/TiffApi.h).
//
//  - Fax TIFF files as the fax service keeps them: black-and-white pages of
//    a fax width (1728, 2048 or 2432 pixels), CCITT Group 4, least
//    significant bit first, with the station ids of the call in the image
//    description. Reading goes through libtiff, so any fill order and CCITT
//    coding is read.
//  - The program's fax images, "Fax.tif" (CCITT Group 4, 1728 pixels wide,
//    204x196 dpi, one directory per page) and "FaxPreview.tif" (a TIFF that
//    ordinary image viewers open), written one page at a time so a long
//    fax never sits in memory whole; and any TIFF read back page by page
//    as grey levels for printing, conversion and viewing.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/emf/Emf.h"
#include "platform/fs/Files.h"

typedef struct tiff TIFF;

namespace brevant::faxsvc {

// A fax line at fine resolution: 1728 pixels of 204 dpi, 196 rows an inch.
constexpr int kFaxWidth = 1728;
constexpr int kFaxXdpi = 204;
constexpr int kFaxYdpi = 196;

struct FaxPage {
  int width = 0;
  int height = 0;
  float xres = kFaxXdpi;  // dots per inch
  float yres = kFaxYdpi;
  std::vector<std::uint8_t> pixels;  // width*height, 1 = black
  bool Black(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x] != 0; }
};

// Most pages and rows per page a fax file may have: a fax of 500 pages
// or a page 100 inches long is no fax anyone sends, and checking the
// directories against these bounds costs nothing before any page is
// decoded.
constexpr int kMaxFaxPages = 500;
constexpr unsigned kMaxFaxRows = 20000;

// The printable area of an A4 fax page at fine resolution (1728 x 2292):
// outside it are the band at the top where the receiving machine prints the
// sender's header line (10 mm) and the 7 mm at the sides and the bottom
// that not every fax machine reproduces. The fax printer lays documents out
// inside it; its PPD declares the same area in points.
constexpr int kPrintableLeft = 56, kPrintableTop = 77, kPrintableWidth = 1616, kPrintableHeight = 2161;

// Writes a fax TIFF (as WriteFaxTiff) of the pages Ghostscript drew into
// the printable area: the raw PBM file pbm (its pbmraw device's "P4"
// bitmaps, one after the other), each page placed on a white fax page at
// the printable area's place, a row at a time.
bool PlacePrintablePages(const std::string& pbm, const std::string& path, std::string* why);

// True when every page of the file is a fax page; *pages gets their count,
// *why the reason when false. Reads only the page directories.
bool CheckFaxTiff(const std::string& path, int* pages, std::string* why);

// Every page of the file decoded: memory grows with the pages. Where the
// file comes from someone else, read it with FaxPageReader instead.
bool ReadFaxPages(const std::string& path, std::vector<FaxPage>* pages, std::string* why);
// The same from an open file (left open, read from its start).
bool ReadFaxPages(int fd, std::vector<FaxPage>* pages, std::string* why);

// A page drawn in grey for the screen: 0 black to 255 white, row by row.
struct GreyImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> pixels;  // width*height
};

// A fax file read one page at a time, for files other people send: every
// page directory is checked against the fax limits as the file opens (the
// checks of CheckFaxTiff, which the fax service applies to what it takes),
// and a page is decoded only when asked for, a row at a time. What it holds
// is one page's picture at most, whatever the file's page count.
class FaxPageReader {
 public:
  FaxPageReader();
  ~FaxPageReader();
  FaxPageReader(const FaxPageReader&) = delete;
  FaxPageReader& operator=(const FaxPageReader&) = delete;

  // The fax of an open file (a copy of the descriptor is kept; fd stays
  // the caller's) or of a path; false with *why when it is no fax file.
  bool Open(int fd, std::string* why);
  bool Open(const std::string& path, std::string* why);
  int Pages() const { return pages_; }
  // Page index (from 0) whole.
  bool ReadPage(int index, FaxPage* page, std::string* why);
  // Page index drawn `width` pixels wide, as tall as keeps the page's
  // proportions (fax pixels are not square): each grey pixel the share of
  // white among the fax pixels it stands for.
  bool DrawPage(int index, int width, GreyImage* out, std::string* why);

 private:
  struct Tiff;
  std::unique_ptr<Tiff> tiff_;
  int pages_ = 0;
};

// Writes the pages as a fax TIFF (G4, lsb-first) with the description on
// every page. The file appears under its name only when complete; it is
// made new (never through a link left at its name) with mode 0600.
bool WriteFaxTiff(const std::string& path, const std::vector<FaxPage>& pages, const std::string& description,
                  std::string* why);

// Writes the pages of the given fax files one after the other into a new
// fax file, a row at a time: memory stays that of one row whatever the
// pages' size. Same creation rules as WriteFaxTiff.
bool ConcatFaxTiffs(const std::vector<std::string>& inputs, const std::string& path, std::string* why);

// Sets the image description of every page in place (the image data is
// not touched): of the file at path, or of the open file fd (read and
// written through its own descriptor; fd stays open).
bool StampDescription(const std::string& path, const std::string& description, std::string* why);
bool StampDescription(int fd, const std::string& description, std::string* why);

// A white A4 page at fine resolution (a document without pages of its own).
FaxPage BlankPage();

// The page count and the first page's vertical resolution of the image on
// an open file (any TIFF: a document for a fax server); false with *why when
// it is no TIFF or has more than kMaxFaxPages pages.
bool ImageFacts(int fd, int* pages, float* yres, std::string* why);

// The image description of the first page ("" when none).
std::string ReadDescription(const std::string& path);

// Station ids and names kept in the description as "Name=value" lines.
std::string DescriptionValue(const std::string& description, const std::string& name);

// Share of differing pixels between two pages (1.0 when their sizes differ).
double PixelDifference(const FaxPage& a, const FaxPage& b);

// --- Any TIFF, page by page ----------------------------------------------

// Fits a page of any size and resolution onto a fax line: scaled to
// 204x196 dpi, shrunk further when wider than 1728 pixels, centred on a
// 1728-pixel line. A page already in fax form is copied unchanged.
emf::Page ToFaxPage(const emf::Page& in);

// A fax page's size in pixels and its resolution.
struct PageShape {
  int width = 0;
  int height = 0;
  int xdpi = 0;
  int ydpi = 0;
};

// Writes a multi-page TIFF one page at a time. The file is written under
// a temporary name beside path and renamed by Commit, so a run that fails
// leaves nothing under the final name.
class TiffPageWriter {
 public:
  // FaxG4: the fax image. PreviewGrey: half resolution, 8-bit grey, PackBits
  // (readable and small). PreviewBilevel: full resolution, 1 bit,
  // PackBits (quickest to write).
  enum class Kind { FaxG4, PreviewGrey, PreviewBilevel };
  TiffPageWriter() = default;
  ~TiffPageWriter();
  TiffPageWriter(const TiffPageWriter&) = delete;
  TiffPageWriter& operator=(const TiffPageWriter&) = delete;

  // Without sync the file is not flushed to disk before it is named (a
  // cache file, made again when lost).
  bool Open(const std::string& path, Kind kind, int pageCount, std::string* error, bool sync = true);
  // page must already be in fax form (ToFaxPage).
  bool AddPage(const emf::Page& page, std::string* error);
  // Adds a page that a writer of the same kind already encoded into a TIFF
  // of its own (that TIFF's first page; shape: the fax page it was made
  // from): its strips are copied as they are, not encoded again.
  bool AddEncodedPage(const std::string& onePageTiff, const PageShape& shape, std::string* error);
  bool Commit(std::string* error);
  // Closes and deletes the temporary file.
  void Abandon();
  int PagesWritten() const { return written_; }

 private:
  void SetPageFields(int width, int height, double xdpi, double ydpi);

  TIFF* tif_ = nullptr;
  Kind kind_ = Kind::FaxG4;
  platform::AtomicFile file_;
  std::string path_;
  int pageCount_ = 0;
  int written_ = 0;
};

// One page of a TIFF as 8-bit grey levels (0 black, 255 white), rows
// top-down, width bytes per row.
struct GreyPage {
  int width = 0;
  int height = 0;
  double xdpi = 0;  // 0 when the file names no resolution
  double ydpi = 0;
  std::vector<std::uint8_t> pixels;
};

// A page read without a resolution is taken for a fax page when it has a
// fax line's width, else for a 200 dpi scan.
void GuessResolution(GreyPage& page);

// Reads the pages of any TIFF libtiff decodes (any compression, bilevel,
// grey, palette or colour).
class TiffPageReader {
 public:
  TiffPageReader() = default;
  ~TiffPageReader();
  TiffPageReader(const TiffPageReader&) = delete;
  TiffPageReader& operator=(const TiffPageReader&) = delete;

  bool Open(const std::string& path, std::string* error);
  int PageCount() const { return pageCount_; }
  bool ReadPage(int index, GreyPage* page, std::string* error);

 private:
  TIFF* tif_ = nullptr;
  int pageCount_ = 0;
};

// Routes libtiff's warnings and errors into the last-error text instead of
// stderr; call once per process before using the classes above.
void QuietLibTiff();
std::string LastLibTiffError();

}  // namespace brevant::faxsvc
