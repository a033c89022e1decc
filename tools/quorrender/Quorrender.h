#pragma once
// The rendering console tool: its command lines and the work behind each.
//
//   spool;[keep;][preview;][fast;][silent;][follow;]
//                                             page files -> "Fax.tif", "FaxPreview.tif";
//                                             with follow, pages are encoded as the fax
//                                             printer writes them, until standard input ends
//   coverpage;[maketif;]                      the cover page as "00000000.emf"; with
//                                             maketif also as the fax image "FaxCover.Tif"
//   convert; PATH                             "Fax.jpg" of the first page, beside PATH
//   "PATH" /pt PRINTER                        PATH printed on PRINTER: a TIFF's pages, a
//                                             cover page template filled with the fax's
//                                             fields, or a picture
//   "PATH"                                    the TIFF shown in the viewer
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "faxservice/protocol/FaxTiff.h"

namespace brevant::quor {

// The fax page files quorrender writes and reads.
using faxsvc::GreyPage;
using faxsvc::GuessResolution;
using faxsvc::kFaxWidth;
using faxsvc::kFaxXdpi;
using faxsvc::kFaxYdpi;
using faxsvc::LastLibTiffError;
using faxsvc::PageShape;
using faxsvc::QuietLibTiff;
using faxsvc::TiffPageReader;
using faxsvc::TiffPageWriter;
using faxsvc::ToFaxPage;

struct CommandLine {
  enum class Verb { None, Spool, CoverPage, Scan, Convert, PrintTo, View, Unknown };
  Verb verb = Verb::None;
  bool keep = false;
  bool preview = false;  // preview only: no "Fax.tif"
  bool fast = false;     // a full-resolution 1-bit preview instead of grey levels
  bool silent = false;   // failures go to the error log only, never to the user
  bool maketif = false;
  bool follow = false;  // encode pages as they arrive, until standard input ends
  std::string path;
  std::string printer;
  std::string word;  // the verb as given
};

// Parses the words of the command line joined by blanks, the way the suite
// writes them ("spool;silent;", "convert; /x/Fax.tif", "\"/x/a.tif\" /pt Vestrel").
CommandLine ParseCommandLine(const std::string& line);

struct SpoolOptions {
  bool keep = false;
  bool previewOnly = false;
  bool fast = false;
};
struct SpoolResult {
  bool ok = false;
  int pages = 0;
  std::string error;
};

// Pages encoded ahead, while the fax printer still writes later ones: for
// each page file, known by its inode, size and modification time, its
// pages of both images as one-page TIFFs in a private temporary folder. A
// file renamed keeps its entry; a file replaced or rewritten loses it.
class PageCache {
 public:
  struct Entry {
    std::uint64_t dev = 0, ino = 0, size = 0;
    std::int64_t mtimeNs = 0;
    PageShape shape;
    std::string fax, preview;  // fax: empty for a preview-only run
  };
  explicit PageCache(const SpoolOptions& options);
  ~PageCache();  // removes the folder
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;
  // Reads and encodes the page file unless it is in the cache as it is.
  // False (nothing kept) when it cannot; the final run reports why.
  bool Add(const std::string& pageFile);
  // The entry of the page file as it is now, or nullptr.
  const Entry* Find(const std::string& pageFile) const;
  int Size() const { return int(entries_.size()); }

 private:
  SpoolOptions options_;
  std::string dir_;
  int made_ = 0;
  std::map<std::pair<std::uint64_t, std::uint64_t>, Entry> entries_;
};

// Encodes the spool folder's page files into cache as they appear, until
// inputFd ends (true) or a SIGTERM arrives (false: the run is abandoned).
// Page files are expected to appear whole (the fax printer renames each
// into place); one caught while being written is encoded again at the end.
bool FollowSpool(const std::string& spoolFolder, PageCache& cache, int inputFd);

// Turns the page files of the spool folder (ending in "/") into "Fax.tif"
// and "FaxPreview.tif" there: the cover page "00000000.emf" first, then the
// pages in number order. Pages cache holds as they are now are copied from
// it. Without keep the page files are deleted once both images are in place.
SpoolResult SpoolToTiff(const std::string& spoolFolder, const SpoolOptions& options,
                        const PageCache* cache = nullptr);

// All pages of a TIFF as one PDF, each page at the TIFF's own size.
bool WriteTiffAsPdf(const std::string& tiffPath, const std::string& pdfPath, std::string* error);
// n pages, page i read by pageAt, as one PDF, each page at its own size.
bool WritePagesAsPdf(int n, const std::function<bool(int, GreyPage*, std::string*)>& pageAt,
                     const std::string& pdfPath, std::string* error);

// Printing on a CUPS destination; *jobId is the job made. Every page goes
// as PDF at its own size, which the fax printer renders back pixel for
// pixel when the page is already a fax page.
// Every page of a TIFF.
bool PrintTiff(const std::string& tiffPath, const std::string& printer, int* jobId, std::string* error);
// One fax page (a filled cover page).
bool PrintFaxPage(const emf::Page& page, const std::string& title, const std::string& printer, int* jobId,
                  std::string* error);
// A picture, fitted to the page: any form Qt reads (BMP with or without
// RLE, ICO, GIF, JPEG, PNG, ...) or an EMF that holds one bitmap. *error
// says why one cannot be printed (a metafile of drawing commands).
bool PrintPicture(const std::string& picturePath, const std::string& printer, int* jobId, std::string* error);

// Runs one command line; returns the process exit code (0 done, 1 failed,
// 2 not understood).
int Run(const std::string& line);

}  // namespace brevant::quor
