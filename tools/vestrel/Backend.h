#pragma once
// The fax printer's backend: CUPS hands it each job on the "Vestrel" queue as
// PDF (after its own filters), and it renders every page at fax resolution
// into the spool folder as "00000001.emf" upward, continuing after the pages
// already there. The job leaves the queue only when this returns, so an
// empty queue means the pages are in place.
#include <sys/types.h>

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

// What the device URI of a fax printer queue says:
//   vestrel:/path/            pages go into /path/
//   vestrel:/~/path/          pages go into path/ under the job user's home
//   ...?handoff=1             a job printed while no Brevant run holds the
//                             "FaxPrinter" event (one from another
//                             application) goes into a job folder for the
//                             user's print agent instead (HandoffFolder)
//   ...?events=/dir           Brevant's named events live in /dir (when the
//                             desktop session keeps them somewhere the
//                             scheduler's environment does not tell)
//   ...?programdir=/dir       the programs' folder of a build tree or a
//                             portable copy: a user who may write it has
//                             Brevant's program folder there, so their pages
//                             go into /dir/QuorSpool/ (ProgramSpoolFolder)
// Parameters are joined with "&"; the path and the folders are
// percent-decoded.
struct DeviceUri {
  std::string spoolFolder;  // ends with "/"; may begin with "/~/"
  bool handoff = false;
  std::string eventsDir;
  std::string programDir;
};

// Parses a device URI "vestrel:/path/" or "vestrel:///path/" (the scheme may
// also be `altScheme`). False when the URI is not of that form.
bool ParseDeviceUri(const std::string& uri, const std::string& altScheme, DeviceUri* out);

// The spool folder named by a device URI, ending with "/"; "" when the URI is
// not of the form above.
std::string SpoolFolderFromUri(const std::string& uri, const std::string& altScheme = "vestrel");

// "/~/rest" with home "/home/ann" gives "/home/ann/rest"; other paths are
// returned as they are.
std::string ExpandUserHome(const std::string& path, const std::string& home);

// The spool folder of a user whose Brevant keeps its files in the programs'
// folder itself, as Brevant does wherever it may write the folder of its
// executables: programDir + "/QuorSpool/". "" when the URI names no
// programs' folder or this process (become the job's user) may not write it.
std::string ProgramSpoolFolder(const DeviceUri& device);

// Where jobs printed from other applications wait for the print agent:
// spool folder + "Printed/". Each job is a folder named after its job id,
// written as "<id>.part" and renamed once all its pages are in place.
std::string HandoffFolder(const std::string& spoolFolder);

// The number the next page file takes: one more than the highest
// "NNNNNNNN.emf" in the folder (letter case ignored), 1 in an empty folder.
int NextPageNumber(const std::string& folder);
int NextPageNumberAt(int folderFd);

// "00000007.emf" for 7.
std::string PageFileName(int number);

// The number of a page file name "NNNNNNNN.emf" (letter case of ".emf"
// ignored), or -1 for any other name.
int PageNumberOf(const char* name);

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
  // The spool folder already opened (and checked) by the caller; -1 opens
  // spoolFolder. Pages are created in it with openat, never through a
  // symlink.
  int folderFd = -1;
  // The user Ghostscript runs as. A backend running as root never renders
  // as root: it must name another user here, or the job fails.
  uid_t renderUid = uid_t(-1);
  gid_t renderGid = gid_t(-1);
  std::string ghostscript = "gs";
  // Each page fitted into the printable area of the fax page (a document
  // laid out by its author, as a PDF reader fits pages to the printable
  // area); otherwise onto the whole page (pages CUPS's filters laid out
  // inside the printable area the PPD declares, and fax pages printed as
  // they are).
  bool fitPrintable = false;
  long timeoutMs = 600000;  // the whole render; Ghostscript is killed after it
  // Called with each page's path once it is under its final name.
  void (*onPage)(const std::string& path, int pageIndex) = nullptr;
};

// Whether a job's pages are fitted into the printable area: documents whose
// layout is their author's (contentType: CUPS's CONTENT_TYPE, the format the
// job was submitted in: PDF or PostScript), unless the job asks for no
// scaling ("print-scaling=none" among its options, as the console tool
// prints fax pages).
bool FitsPrintableArea(const std::string& contentType, const std::string& options);

// Renders options.document into the spool folder. On failure no page of this
// job is left behind. Holds an exclusive lock on the spool folder while it
// numbers and writes pages, so two jobs into one folder never share numbers.
RenderResult RenderToSpool(const RenderOptions& options);

// Renders options.document into a new job folder of HandoffFolder(spool
// folder) for the print agent: "<jobId>.part/" while pages are written,
// renamed to "<jobId>/" (or "<jobId>-2/" and so on when that name is taken)
// when the job succeeded. On failure nothing of the job is left. *jobFolder
// receives the final folder (ending with "/"). The folders are made inside
// options.folderFd (when given) with mode 0700.
RenderResult RenderForAgent(const RenderOptions& options, const std::string& jobId, std::string* jobFolder);

// Asks a running RenderToSpool to stop (safe from a signal handler): it
// kills Ghostscript, removes this job's pages and returns kBackendCancel.
void RequestCancel();
// Forgets a cancel request (for a process that renders several documents).
void ClearCancel();

}  // namespace brevant::vestrel
