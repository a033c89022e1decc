#pragma once
// The fax printer's backend: CUPS hands it each job on the "Vestrel" queue as
// PDF (after its own filters), and it renders every page at fax resolution
// into the spool folder as "00000001.emf" upward, continuing after the pages
// already there. The job leaves the queue only when this returns, so an
// empty queue means the pages are in place.
#include <string>
#include <vector>

namespace brevant::vestrel {

// CUPS backend exit codes.
enum BackendStatus : int {
  kBackendOk = 0,
  kBackendFailed = 1,
  kBackendCancel = 5,
};

// Page geometry of every page the backend writes: A4 fitted into the fax
// line width at fine resolution.
constexpr int kPageWidth = 1728;
constexpr int kPageHeight = 2292;
constexpr int kXdpi = 204;
constexpr int kYdpi = 196;

// The spool folder named by a device URI "vestrel:/path/" or
// "vestrel:///path/" (percent escapes decoded), ending with "/"; "" when the
// URI is not of that form. The scheme may also be `altScheme`.
std::string SpoolFolderFromUri(const std::string& uri, const std::string& altScheme = "vestrel");

// The number the next page file takes: one more than the highest
// "NNNNNNNN.emf" in the folder (letter case ignored), 1 in an empty folder.
int NextPageNumber(const std::string& folder);

// "00000007.emf" for 7.
std::string PageFileName(int number);

// Copies a print job's document from fd to out, dropping a PJL wrapper
// (UEL and "@PJL" lines before the document, the UEL trailer after it).
// Returns false on a read or write error.
bool CopyWithoutPjl(int fd, int out, std::string* error);

struct RenderResult {
  int status = kBackendFailed;
  std::vector<std::string> pages;  // full paths of the pages written
  std::string error;               // why the job failed
};

struct RenderOptions {
  std::string document;     // PDF or PostScript file to render
  std::string spoolFolder;  // ends with "/"
  std::string ghostscript = "gs";
  long timeoutMs = 600000;  // the whole render; Ghostscript is killed after it
  // Called with each page's path once it is under its final name.
  void (*onPage)(const std::string& path, int pageIndex) = nullptr;
};

// Renders options.document into the spool folder. On failure no page of this
// job is left behind. Holds an exclusive lock on the spool folder while it
// numbers and writes pages, so two jobs into one folder never share numbers.
RenderResult RenderToSpool(const RenderOptions& options);

// Asks a running RenderToSpool to stop (safe from a signal handler): it
// kills Ghostscript, removes this job's pages and returns kBackendCancel.
void RequestCancel();
// Forgets a cancel request (for a process that renders several documents).
void ClearCancel();

}  // namespace brevant::vestrel
