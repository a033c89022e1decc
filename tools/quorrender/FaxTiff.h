#pragma once
// Fax images as TIFF files: "Fax.tif" (CCITT Group 4, 1728 pixels wide,
// 204x196 dpi, one directory per page) and "FaxPreview.tif" (a TIFF that
// ordinary image viewers open), written one page at a time so a long fax
// never sits in memory whole; and any TIFF read back page by page as grey
// levels for printing, conversion and viewing.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/emf/Emf.h"
#include "platform/fs/Files.h"

typedef struct tiff TIFF;

namespace brevant::quor {

constexpr int kFaxWidth = 1728;
constexpr int kFaxXdpi = 204;
constexpr int kFaxYdpi = 196;

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

}  // namespace brevant::quor
