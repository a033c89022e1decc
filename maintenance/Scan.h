#pragma once
// Scanning over SANE: whether a scanner is there, clearing the previous scan
// image, starting the console tool's scan, and taking one page from the
// first scanner into a TIFF file (the console tool's "scan;" work).
#include <functional>
#include <string>

namespace brevant {

// True when SANE lists at least one device. The search runs in a child
// process; one that takes longer than timeoutMs (network backends) or
// crashes counts as no device.
bool ScanDeviceAvailable(long timeoutMs = 8000);

// The previous scan image: program folder + "/FaxScan.bmp". The console
// tool's own scans are TIFF files beside it (ScannedPagePath); clearing the
// previous scan removes both.
std::string ScanImagePath();
std::string ScannedPagePath();

// Init.scan's work without its end: warns through showWarning when no scan
// device is there (and goes on), deletes the previous scan image, and starts
// the console tool (BREVANT_QUORRENDER, else quorrender beside this program)
// with "scan;" without waiting. True when the console tool started.
bool StartScan(const std::function<void(const std::string&)>& showWarning);

inline constexpr const char* kNoScanDeviceMessage =
    "Can't find scan device. Please install scan or device camera.";

// Takes one page from the first SANE device (or the named one) and writes it
// as a one-page TIFF: 1-bit pages as CCITT Group 4, grey and colour pages
// uncompressed with their resolution. False with *error set when there is no
// device or the scan fails; no partial file is left.
bool AcquireScanPage(const std::string& tiffPath, std::string* error, const std::string& deviceName = "");

// The console tool's "scan;" work: one page from the first scanner into
// ScannedPagePath, then a new fax with it: program (default: brevant beside
// this program) is started, not awaited, with "new;0;;;" + the page + "#".
// False with *error set when nothing was scanned or the program did not
// start.
bool ScanToNewFax(std::string* error, const std::string& program = "");

}  // namespace brevant
