#include "maintenance/Scan.h"

#include <dlfcn.h>
#include <sane/sane.h>
#include <sane/saneopts.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <type_traits>
#include <vector>

#include "common/Errors.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "platform/env/Environment.h"
#include "platform/lib/TiffApi.h"
#include "platform/process/Process.h"

namespace {

// SANE is loaded when a scan is asked for, not with every run of the
// program: the scanner libraries are many and slow to load.
struct SaneApi {
  decltype(&::sane_init) init = nullptr;
  decltype(&::sane_exit) exit = nullptr;
  decltype(&::sane_get_devices) get_devices = nullptr;
  decltype(&::sane_open) open = nullptr;
  decltype(&::sane_close) close = nullptr;
  decltype(&::sane_get_option_descriptor) get_option_descriptor = nullptr;
  decltype(&::sane_control_option) control_option = nullptr;
  decltype(&::sane_get_parameters) get_parameters = nullptr;
  decltype(&::sane_start) start = nullptr;
  decltype(&::sane_read) read = nullptr;
  decltype(&::sane_cancel) cancel = nullptr;
  decltype(&::sane_strstatus) strstatus = nullptr;
  bool loaded = false;
};

SANE_Status NoSane(SANE_Int*, SANE_Auth_Callback) {
  return SANE_STATUS_UNSUPPORTED;
}

const SaneApi& Sane() {
  static const SaneApi api = [] {
    SaneApi a;
    void* lib = ::dlopen("libsane.so.1", RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
    if (lib) {
      auto load = [&](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(lib, name));
        return fn != nullptr;
      };
      a.loaded = load(a.init, "sane_init") & load(a.exit, "sane_exit") &
                 load(a.get_devices, "sane_get_devices") & load(a.open, "sane_open") &
                 load(a.close, "sane_close") & load(a.get_option_descriptor, "sane_get_option_descriptor") &
                 load(a.control_option, "sane_control_option") &
                 load(a.get_parameters, "sane_get_parameters") & load(a.start, "sane_start") &
                 load(a.read, "sane_read") & load(a.cancel, "sane_cancel") &
                 load(a.strstatus, "sane_strstatus");
    }
    // Without SANE no device is ever found: sane_init reports it unsupported.
    if (!a.loaded) {
      a.init = &NoSane;
      a.strstatus = [](SANE_Status) -> SANE_String_Const { return "the scanner library is not installed"; };
    }
    return a;
  }();
  return api;
}

}  // namespace

namespace brevant {
namespace {

// SANE is initialised and left again around each use; the library keeps no
// state of ours between calls.
class SaneSession {
 public:
  SaneSession() { ok_ = Sane().init(nullptr, nullptr) == SANE_STATUS_GOOD; }
  ~SaneSession() {
    if (ok_) Sane().exit();
  }
  bool Ok() const { return ok_; }

 private:
  bool ok_ = false;
};

// Sets the scan resolution to fax fine resolution (200 dpi) when the device
// lets it be set; a device that refuses keeps its own.
void PreferFaxResolution(SANE_Handle h) {
  for (SANE_Int i = 1;; ++i) {
    const SANE_Option_Descriptor* d = Sane().get_option_descriptor(h, i);
    if (!d) break;
    if (!d->name || std::strcmp(d->name, SANE_NAME_SCAN_RESOLUTION) != 0) continue;
    if (!SANE_OPTION_IS_SETTABLE(d->cap) || !SANE_OPTION_IS_ACTIVE(d->cap)) break;
    SANE_Word value = d->type == SANE_TYPE_FIXED ? SANE_FIX(200) : 200;
    SANE_Int info = 0;
    Sane().control_option(h, i, SANE_ACTION_SET_VALUE, &value, &info);
    break;
  }
}

double ResolutionOf(SANE_Handle h) {
  for (SANE_Int i = 1;; ++i) {
    const SANE_Option_Descriptor* d = Sane().get_option_descriptor(h, i);
    if (!d) break;
    if (!d->name || std::strcmp(d->name, SANE_NAME_SCAN_RESOLUTION) != 0) continue;
    SANE_Word value = 0;
    if (Sane().control_option(h, i, SANE_ACTION_GET_VALUE, &value, nullptr) != SANE_STATUS_GOOD) break;
    return d->type == SANE_TYPE_FIXED ? SANE_UNFIX(value) : value;
  }
  return 200.0;
}

void WriteTiff(const std::string& path, const SANE_Parameters& p, int lines,
               const std::vector<unsigned char>& data, double dpi) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (!tif) throw VbError(kErrPathFileAccess, "Cannot create " + path);
  bool color = p.format == SANE_FRAME_RGB;
  int samples = color ? 3 : 1;
  int bits = p.depth == 1 ? 1 : 8;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, p.pixels_per_line);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, lines);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, bits);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  TIFFSetField(tif, TIFFTAG_XRESOLUTION, static_cast<float>(dpi));
  TIFFSetField(tif, TIFFTAG_YRESOLUTION, static_cast<float>(dpi));
  if (bits == 1) {
    // SANE's line-art has 1 for black, which is TIFF's min-is-white.
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
  } else {
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, color ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
  }
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, lines);
  size_t rowBytes = bits == 1 ? (static_cast<size_t>(p.pixels_per_line) + 7) / 8
                              : static_cast<size_t>(p.pixels_per_line) * samples;
  std::vector<unsigned char> row(rowBytes);
  bool ok = true;
  for (int y = 0; y < lines && ok; ++y) {
    const unsigned char* src = data.data() + static_cast<size_t>(y) * p.bytes_per_line;
    if (p.depth == 16) {
      // Keep the high byte of each sample (SANE delivers host order).
      for (size_t x = 0; x < rowBytes; ++x) {
        std::uint16_t v;
        std::memcpy(&v, src + 2 * x, 2);
        row[x] = static_cast<unsigned char>(v >> 8);
      }
    } else {
      std::memcpy(row.data(), src, rowBytes);
    }
    ok = TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0) >= 0;
  }
  TIFFClose(tif);
  if (!ok) {
    ::unlink(path.c_str());
    throw VbError(kErrPathFileAccess, "Cannot write " + path);
  }
}

}  // namespace

bool ScanDeviceAvailable(long timeoutMs) {
  // The search runs in a child process: backends probe USB and the network,
  // may take long or crash, and SANE reads its configuration only once per
  // process. The child's exit status is the answer.
  pid_t pid = ::fork();
  if (pid < 0) {
    WriteErrorLog(kErrOutOfMemory, "Cannot start the scanner search.", "mScan.ScanDeviceAvailable");
    return false;
  }
  if (pid == 0) {
    bool found = false;
    if (Sane().init(nullptr, nullptr) == SANE_STATUS_GOOD) {
      const SANE_Device** list = nullptr;
      found = Sane().get_devices(&list, SANE_TRUE) == SANE_STATUS_GOOD && list && list[0];
      Sane().exit();
    }
    ::_exit(found ? 0 : 1);
  }
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0) return false;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      WriteErrorLog(kErrPathFileAccess,
                    "The scanner search did not end within " + std::to_string(timeoutMs) + " ms.",
                    "mScan.ScanDeviceAvailable");
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ScanImagePath() {
  return GetProgramFolder() + "/FaxScan.bmp";
}
std::string ScannedPagePath() {
  return GetProgramFolder() + "/FaxScan.tif";
}

bool StartScan(const std::function<void(const std::string&)>& showWarning) {
  try {
    if (!ScanDeviceAvailable() && showWarning) showWarning(kNoScanDeviceMessage);
    ::unlink(ScanImagePath().c_str());
    ::unlink(ScannedPagePath().c_str());
    // The console tool of the fax image pipeline: BREVANT_QUORRENDER when
    // set, else quorrender beside this program.
    std::string tool = platform::env::Get(platform::env::Var::ConsoleTool);
    if (tool.empty()) tool = GetExecutableFolder() + "/quorrender";
    auto r = platform::Spawn({tool, "scan;"}, GetProgramFolder(), false);
    if (!r.started) throw VbError(kErrFileNotFound, "Cannot start " + tool + ": " + r.error);
    return true;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.scan");
    return false;
  }
}

bool AcquireScanPage(const std::string& tiffPath, std::string* error, const std::string& deviceName) {
  std::string why;
  SaneSession sane;
  SANE_Handle h = nullptr;
  try {
    if (!sane.Ok()) throw VbError(kErrFileNotFound, "The scanner library could not be started.");
    std::string name = deviceName;
    if (name.empty()) {
      const SANE_Device** list = nullptr;
      if (Sane().get_devices(&list, SANE_TRUE) != SANE_STATUS_GOOD || !list || !list[0]) {
        throw VbError(kErrFileNotFound, "No scan device was found.");
      }
      name = list[0]->name;
    }
    SANE_Status st = Sane().open(name.c_str(), &h);
    if (st != SANE_STATUS_GOOD)
      throw VbError(kErrFileNotFound, "Cannot open " + name + ": " + Sane().strstatus(st));
    PreferFaxResolution(h);
    double dpi = ResolutionOf(h);
    st = Sane().start(h);
    if (st != SANE_STATUS_GOOD)
      throw VbError(kErrPathFileAccess, std::string("The scan did not start: ") + Sane().strstatus(st));
    SANE_Parameters p{};
    st = Sane().get_parameters(h, &p);
    if (st != SANE_STATUS_GOOD) throw VbError(kErrPathFileAccess, Sane().strstatus(st));
    if (p.format != SANE_FRAME_GRAY && p.format != SANE_FRAME_RGB) {
      throw VbError(kErrInvalidCall, "Scans in separate colour frames are not supported.");
    }
    if (p.bytes_per_line <= 0 || p.pixels_per_line <= 0)
      throw VbError(kErrInvalidCall, "The scanner gave no page size.");
    std::vector<unsigned char> data;
    std::vector<unsigned char> buf(64 * 1024);
    for (;;) {
      SANE_Int len = 0;
      st = Sane().read(h, buf.data(), static_cast<SANE_Int>(buf.size()), &len);
      if (st == SANE_STATUS_EOF) break;
      if (st != SANE_STATUS_GOOD)
        throw VbError(kErrPathFileAccess, std::string("The scan failed: ") + Sane().strstatus(st));
      data.insert(data.end(), buf.begin(), buf.begin() + len);
      if (data.size() > 512u * 1024 * 1024) throw VbError(kErrOutOfMemory, "The scanned page is too large.");
    }
    int lines = static_cast<int>(data.size() / static_cast<size_t>(p.bytes_per_line));
    if (p.lines > 0 && lines > p.lines) lines = p.lines;
    if (lines <= 0) throw VbError(kErrPathFileAccess, "The scanner delivered no image.");
    WriteTiff(tiffPath, p, lines, data, dpi);
  } catch (...) {
    why = CurrentError().description;
  }
  if (h) {
    Sane().cancel(h);
    Sane().close(h);
  }
  if (!why.empty()) {
    WriteErrorLog(kErrPathFileAccess, why, "mScan.AcquireScanPage");
    if (error) *error = why;
    return false;
  }
  return true;
}

bool ScanToNewFax(std::string* error, const std::string& program) {
  std::string page = ScannedPagePath();
  if (!AcquireScanPage(page, error)) return false;
  std::string exe = program.empty() ? GetExecutableFolder() + "/brevant" : program;
  auto r = platform::Spawn({exe, "new;0;;;" + page + "#"}, GetProgramFolder(), false);
  if (!r.started) {
    std::string why = "Cannot start " + exe + ": " + r.error;
    WriteErrorLog(kErrFileNotFound, why, "mScan.ScanToNewFax");
    if (error) *error = why;
    return false;
  }
  return true;
}

}  // namespace brevant
