// The print spooler on CUPS: IPP requests to the local scheduler through
// libcups, and the user's default destination in their lpoptions file.
#include "printing/Spooler.h"

#include <cups/cups.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>

#include "platform/fs/Files.h"
#include "platform/fs/SafeFiles.h"
#include "platform/print/Cups.h"

namespace brevant::spooler {
namespace {

// Connection time-out: a scheduler that does not answer must not stall the
// program's polling loops for long.
constexpr int kConnectMs = 5000;
constexpr double kAnswerSeconds = 5.0;
// After a scheduler failed to connect or answer, calls in the next moments
// fail at once instead of each waiting out its own time-out (a printer
// refresh makes several calls).
constexpr auto kDownMemory = std::chrono::seconds(3);
struct DownMemory {
  std::string server;
  std::chrono::steady_clock::time_point until{};
  bool Now() const {
    return std::chrono::steady_clock::now() < until && server == brevant::print::Cups().cupsServer();
  }
  void Remember() {
    server = brevant::print::Cups().cupsServer();
    until = std::chrono::steady_clock::now() + kDownMemory;
  }
} g_down;

struct HttpCloser {
  void operator()(http_t* h) const { brevant::print::Cups().httpClose(h); }
};
using Http = std::unique_ptr<http_t, HttpCloser>;
struct IppDeleter {
  void operator()(ipp_t* p) const { brevant::print::Cups().ippDelete(p); }
};
using Ipp = std::unique_ptr<ipp_t, IppDeleter>;

Http Connect() {
  Http http(brevant::print::Cups().httpConnect2(
      brevant::print::Cups().cupsServer(), brevant::print::Cups().ippPort(), nullptr, AF_UNSPEC,
      brevant::print::Cups().cupsEncryption(), 1, kConnectMs, nullptr));
  // A scheduler that takes a request but never answers fails it after this.
  if (http) brevant::print::Cups().httpSetTimeout(http.get(), kAnswerSeconds, nullptr, nullptr);
  return http;
}

// CUPS refuses names with these; such a printer cannot exist.
bool ValidName(const std::string& name) {
  if (name.empty() || name.size() > 127) return false;
  for (unsigned char c : name)
    if (c <= ' ' || c == 127 || c == '/' || c == '#' || c == '\\' || c == '?' || c == '\'' || c == '"')
      return false;
  return true;
}

std::string PrinterUri(const std::string& name) {
  char uri[HTTP_MAX_URI];
  brevant::print::Cups().httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost",
                                          0, "/printers/%s", name.c_str());
  return uri;
}

std::string JobUri(std::uint32_t id) {
  char uri[HTTP_MAX_URI];
  brevant::print::Cups().httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost",
                                          0, "/jobs/%u", id);
  return uri;
}

long ErrorFromIpp(ipp_status_t st) {
  switch (st) {
    case IPP_STATUS_OK:
    case IPP_STATUS_OK_IGNORED_OR_SUBSTITUTED:
    case IPP_STATUS_OK_CONFLICTING:
      return 0;
    case IPP_STATUS_ERROR_NOT_FOUND:
      return kErrInvalidPrinterName;
    case IPP_STATUS_ERROR_FORBIDDEN:
    case IPP_STATUS_ERROR_NOT_AUTHORIZED:
    case IPP_STATUS_ERROR_NOT_AUTHENTICATED:
    case IPP_STATUS_ERROR_CUPS_AUTHENTICATION_CANCELED:
      return kErrAccessDenied;
    case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
    case IPP_STATUS_ERROR_DEVICE:
      return kErrSpoolerUnavailable;
    case IPP_STATUS_ERROR_NOT_POSSIBLE:
    case IPP_STATUS_ERROR_OPERATION_NOT_SUPPORTED:
      return kErrInvalidPrinterCommand;
    default:
      return kErrInvalidParameter;
  }
}

Ipp NewRequest(ipp_op_t op, const std::string& printerUri) {
  Ipp req(brevant::print::Cups().ippNewRequest(op));
  if (!printerUri.empty())
    brevant::print::Cups().ippAddString(req.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                                        printerUri.c_str());
  brevant::print::Cups().ippAddString(req.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                                      nullptr, brevant::print::Cups().cupsUser());
  return req;
}

// Sends a request; on success *response holds the answer (when wanted).
long Send(Ipp req, const std::string& resource, Ipp* response = nullptr) {
  if (g_down.Now()) return kErrSpoolerUnavailable;
  Http http = Connect();
  if (!http) {
    g_down.Remember();
    return kErrSpoolerUnavailable;
  }
  Ipp resp(brevant::print::Cups().cupsDoRequest(http.get(), req.release(), resource.c_str()));
  if (!resp) {
    // No answer at all, or an HTTP-level refusal.
    long err = ErrorFromIpp(brevant::print::Cups().cupsLastError());
    if (err == kErrAccessDenied || err == kErrInvalidPrinterName) return err;
    g_down.Remember();
    return kErrSpoolerUnavailable;
  }
  long err = ErrorFromIpp(brevant::print::Cups().ippGetStatusCode(resp.get()));
  if (err == 0 && response) *response = std::move(resp);
  return err;
}

void RequestAttributes(ipp_t* req, const std::vector<const char*>& names) {
  brevant::print::Cups().ippAddStrings(req, IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "requested-attributes",
                                       int(names.size()), nullptr, names.data());
}

std::string Str(ipp_t* group, const char* name) {
  ipp_attribute_t* a = brevant::print::Cups().ippFindAttribute(group, name, IPP_TAG_ZERO);
  if (!a) return "";
  ipp_tag_t t = brevant::print::Cups().ippGetValueTag(a);
  if (t == IPP_TAG_INTEGER || t == IPP_TAG_ENUM)
    return std::to_string(brevant::print::Cups().ippGetInteger(a, 0));
  const char* s = brevant::print::Cups().ippGetString(a, 0, nullptr);
  return s ? s : "";
}

std::string StrList(ipp_t* group, const char* name) {
  ipp_attribute_t* a = brevant::print::Cups().ippFindAttribute(group, name, IPP_TAG_ZERO);
  if (!a) return "";
  std::string out;
  for (int i = 0; i < brevant::print::Cups().ippGetCount(a); ++i) {
    const char* s = brevant::print::Cups().ippGetString(a, i, nullptr);
    if (!s) continue;
    if (!out.empty()) out += ",";
    out += s;
  }
  return out;
}

int Int(ipp_t* group, const char* name, int fallback = 0) {
  ipp_attribute_t* a = brevant::print::Cups().ippFindAttribute(group, name, IPP_TAG_ZERO);
  if (!a) return fallback;
  ipp_tag_t t = brevant::print::Cups().ippGetValueTag(a);
  if (t == IPP_TAG_INTEGER || t == IPP_TAG_ENUM) return brevant::print::Cups().ippGetInteger(a, 0);
  if (t == IPP_TAG_BOOLEAN) return brevant::print::Cups().ippGetBoolean(a, 0);
  return fallback;
}

std::vector<std::string> Keywords(ipp_t* group, const char* name) {
  std::vector<std::string> out;
  ipp_attribute_t* a = brevant::print::Cups().ippFindAttribute(group, name, IPP_TAG_ZERO);
  for (int i = 0; a && i < brevant::print::Cups().ippGetCount(a); ++i)
    if (const char* s = brevant::print::Cups().ippGetString(a, i, nullptr)) out.push_back(s);
  return out;
}

// Paper sizes by IPP media name: the DMPAPER number, form name and size in
// 0.1 mm.
struct Paper {
  const char* prefix;
  int dmpaper;
  const char* form;
  int width, length;
};
constexpr Paper kPapers[] = {
    {"iso_a4_", 9, "A4", 2100, 2970},      {"na_letter_", 1, "Letter", 2159, 2794},
    {"na_legal_", 5, "Legal", 2159, 3556}, {"iso_a3_", 8, "A3", 2970, 4200},
    {"iso_a5_", 11, "A5", 1480, 2100},     {"na_executive_", 7, "Executive", 1842, 2667},
};

// The device mode of a queue's defaults or a job's options, from the IPP
// attributes named with `suffix` ("-default" for a queue, "" for a job).
DevModeBytes DevModeFrom(ipp_t* g, const std::string& device, const std::string& suffix) {
  DevModeBuilder b;
  b.DeviceName(device);
  auto name = [&](const char* n) { return std::string(n) + suffix; };
  std::string media = Str(g, name("media").c_str());
  for (const Paper& p : kPapers) {
    if (media.rfind(p.prefix, 0) == 0) {
      b.Set16(DevModeBuilder::kPaperSize, std::int16_t(p.dmpaper), DevModeBuilder::DM_PAPERSIZE);
      b.Set16(DevModeBuilder::kPaperWidth, std::int16_t(p.width), DevModeBuilder::DM_PAPERWIDTH);
      b.Set16(DevModeBuilder::kPaperLength, std::int16_t(p.length), DevModeBuilder::DM_PAPERLENGTH);
      b.FormName(p.form);
      break;
    }
  }
  int orient = Int(g, name("orientation-requested").c_str());
  if (orient == 3 || orient == 4)
    b.Set16(DevModeBuilder::kOrientation, std::int16_t(orient == 4 ? 2 : 1), DevModeBuilder::DM_ORIENTATION);
  int copies = Int(g, name("copies").c_str());
  if (copies > 0) b.Set16(DevModeBuilder::kCopies, std::int16_t(copies), DevModeBuilder::DM_COPIES);
  if (ipp_attribute_t* r = brevant::print::Cups().ippFindAttribute(g, name("printer-resolution").c_str(),
                                                                   IPP_TAG_RESOLUTION)) {
    int y = 0;
    ipp_res_t units;
    int x = brevant::print::Cups().ippGetResolution(r, 0, &y, &units);
    if (units == IPP_RES_PER_CM) {
      x = int(x * 2.54 + 0.5);
      y = int(y * 2.54 + 0.5);
    }
    b.Set16(DevModeBuilder::kPrintQuality, std::int16_t(x), DevModeBuilder::DM_PRINTQUALITY);
    b.Set16(DevModeBuilder::kYResolution, std::int16_t(y), DevModeBuilder::DM_YRESOLUTION);
  }
  std::string colour = Str(g, name("print-color-mode").c_str());
  if (!colour.empty())
    b.Set16(DevModeBuilder::kColor, std::int16_t(colour == "monochrome" ? 1 : 2), DevModeBuilder::DM_COLOR);
  std::string sides = Str(g, name("sides").c_str());
  if (!sides.empty())
    b.Set16(DevModeBuilder::kDuplex,
            std::int16_t(sides == "two-sided-long-edge"    ? 2
                         : sides == "two-sided-short-edge" ? 3
                                                           : 1),
            DevModeBuilder::DM_DUPLEX);
  int nup = Int(g, name("number-up").c_str());
  if (nup > 0) b.Set32(DevModeBuilder::kNup, nup, DevModeBuilder::DM_NUP);
  b.Set16(DevModeBuilder::kScale, 100, DevModeBuilder::DM_SCALE);
  return b.Bytes();
}

bool SameName(const std::string& a, const std::string& b) {
  return strcasecmp(a.c_str(), b.c_str()) == 0;
}

}  // namespace

std::uint32_t PrinterStatusBits(int state, bool accepting, const std::vector<std::string>& reasons) {
  std::uint32_t bits = 0;
  if (state == 5) bits |= 0x1;     // stopped: paused
  if (state == 4) bits |= 0x400;   // processing: printing
  if (!accepting) bits |= 0x1000;  // rejecting jobs: not available
  static const struct {
    const char* reason;
    std::uint32_t bit;
  } kReasons[] = {
      {"paused", 0x1},
      {"media-jam", 0x8},
      {"media-empty", 0x10},
      {"media-needed", 0x10},
      {"manual-feed", 0x20},
      {"input-tray-missing", 0x40},
      {"media-low", 0x40},
      {"offline", 0x80},
      {"timed-out", 0x80},
      {"shutdown", 0x80},
      {"output-area-full", 0x800},
      {"cups-waiting-for-job-completed", 0x2000},
      {"toner-low", 0x20000},
      {"marker-supply-low", 0x20000},
      {"toner-empty", 0x40000},
      {"marker-supply-empty", 0x40000},
      {"moving-to-paused", 0x100000},
      {"spool-area-full", 0x200000},
      {"door-open", 0x400000},
      {"cover-open", 0x400000},
      {"interlock-open", 0x400000},
      {"connecting-to-device", 0},
      {"cups-missing-filter", 0x2},
      {"cups-insecure-filter", 0x2},
  };
  for (std::string r : reasons) {
    // "-report", "-warning" and "-error" only grade a reason.
    for (const char* suffix : {"-report", "-warning", "-error"}) {
      std::size_t n = std::strlen(suffix);
      if (r.size() > n && r.compare(r.size() - n, n, suffix) == 0) {
        r.erase(r.size() - n);
        break;
      }
    }
    for (const auto& k : kReasons)
      if (r == k.reason) bits |= k.bit;
  }
  return bits;
}

std::uint32_t JobStatusBits(int jobState, const std::vector<std::string>& reasons) {
  switch (jobState) {
    case 3:  // pending
      return 0;
    case 4:  // held
      return 0x1;
    case 5:  // processing
      return 0x10;
    case 6:  // stopped with its printer
      return 0x20;
    case 7:  // canceled
      return 0x100;
    case 8:  // aborted
      return 0x2 | 0x200;
    case 9:  // completed
      return 0x80;
  }
  return 0;
}

std::string SystemMessage(long code) {
  switch (code) {
    case kErrAccessDenied:
      return "Access is denied.\r\n";
    case kErrNotSupported:
      return "The request is not supported.\r\n";
    case kErrInvalidParameter:
      return "The parameter is incorrect.\r\n";
    case kErrSpoolerUnavailable:
      return "The RPC server is unavailable.\r\n";
    case kErrInvalidPrinterName:
      return "The printer name is invalid.\r\n";
    case kErrInvalidPrinterCommand:
      return "The printer command is invalid.\r\n";
  }
  return "";
}

std::string PrinterWebPage(const std::string& name) {
  char uri[HTTP_MAX_URI];
  brevant::print::Cups().httpAssembleURIf(HTTP_URI_CODING_ALL, uri, sizeof uri, "http", nullptr, "localhost",
                                          brevant::print::Cups().ippPort(), "/printers/%s", name.c_str());
  return uri;
}

std::vector<std::string> PrinterNames(long* error) {
  std::vector<std::string> names;
  Ipp req = NewRequest(IPP_OP_CUPS_GET_PRINTERS, "");
  RequestAttributes(req.get(), {"printer-name"});
  Ipp resp;
  *error = Send(std::move(req), "/", &resp);
  if (*error) return names;
  for (ipp_attribute_t* a = brevant::print::Cups().ippFirstAttribute(resp.get()); a;
       a = brevant::print::Cups().ippNextAttribute(resp.get())) {
    const char* n = brevant::print::Cups().ippGetName(a);
    if (n && std::strcmp(n, "printer-name") == 0)
      if (const char* s = brevant::print::Cups().ippGetString(a, 0, nullptr)) names.push_back(s);
  }
  return names;
}

long GetPrinter(const std::string& name, PrinterRecord* out) {
  *out = PrinterRecord{};
  if (!ValidName(name)) return kErrInvalidPrinterName;
  Ipp req = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, PrinterUri(name));
  RequestAttributes(req.get(), {"printer-name",
                                "printer-info",
                                "printer-location",
                                "printer-make-and-model",
                                "device-uri",
                                "printer-state",
                                "printer-state-reasons",
                                "printer-is-accepting-jobs",
                                "printer-is-shared",
                                "printer-type",
                                "queued-job-count",
                                "job-priority-default",
                                "job-sheets-default",
                                "pages-per-minute",
                                "brevant-datatype-default",
                                "brevant-print-processor-default",
                                "brevant-priority-default",
                                "media-default",
                                "copies-default",
                                "orientation-requested-default",
                                "printer-resolution-default",
                                "print-color-mode-default",
                                "sides-default",
                                "number-up-default"});
  Ipp resp;
  long err = Send(std::move(req), "/", &resp);
  if (err) return err;
  ipp_t* g = resp.get();
  PrinterRecord& r = *out;
  r.PrinterName = Str(g, "printer-name");
  if (r.PrinterName.empty()) return kErrInvalidPrinterName;
  r.Comment = Str(g, "printer-info");
  r.Location = Str(g, "printer-location");
  r.DriverName = Str(g, "printer-make-and-model");
  r.PortName = Str(g, "device-uri");
  r.Datatype = Str(g, "brevant-datatype-default");
  r.PrintProcessor = Str(g, "brevant-print-processor-default");
  std::string sheets = StrList(g, "job-sheets-default");
  r.SeparatorPageFile = (sheets == "none,none" || sheets == "none") ? "" : sheets;
  const int type = Int(g, "printer-type");
  const bool shared = Int(g, "printer-is-shared") != 0;
  if (type & CUPS_PRINTER_REMOTE) {
    r.Attributes |= kAttrNetwork;
    char scheme[32], user[256], host[256], resource[1024];
    int port;
    if (brevant::print::Cups().httpSeparateURI(HTTP_URI_CODING_ALL, r.PortName.c_str(), scheme, sizeof scheme,
                                               user, sizeof user, host, sizeof host, &port, resource,
                                               sizeof resource) >= HTTP_URI_STATUS_OK)
      r.ServerName = std::string("\\\\") + host;
  } else {
    r.Attributes |= kAttrLocal;
  }
  if (shared) {
    r.Attributes |= kAttrShared;
    r.ShareName = r.PrinterName;
  }
  if (SameName(DefaultPrinterName(), r.PrinterName)) r.Attributes |= kAttrDefault;
  r.DefaultPriority = std::uint32_t(Int(g, "job-priority-default", 50));
  r.Priority = std::uint32_t(Int(g, "brevant-priority-default", 1));
  if (std::string p = Str(g, "brevant-priority-default"); !p.empty())
    r.Priority = std::uint32_t(std::atoi(p.c_str()));
  r.Status = PrinterStatusBits(Int(g, "printer-state", 3), Int(g, "printer-is-accepting-jobs", 1) != 0,
                               Keywords(g, "printer-state-reasons"));
  r.cJobs = std::uint32_t(Int(g, "queued-job-count"));
  r.AveragePPM = std::uint32_t(Int(g, "pages-per-minute"));
  r.devMode = DevModeFrom(g, r.PrinterName, "-default");
  return 0;
}

long GetJobCount(const std::string& name, std::uint32_t* count) {
  *count = 0;
  if (!ValidName(name)) return kErrInvalidPrinterName;
  Ipp req = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, PrinterUri(name));
  RequestAttributes(req.get(), {"queued-job-count", "printer-name"});
  Ipp resp;
  long err = Send(std::move(req), "/", &resp);
  if (err) return err;
  *count = std::uint32_t(Int(resp.get(), "queued-job-count"));
  return 0;
}

namespace {

// Calls each with the attributes of every job of the printer that
// whichJobs names ("completed", "all"), as one group each.
long ForEachJob(const std::string& name, const char* whichJobs, const std::vector<const char*>& attributes,
                const std::function<void(ipp_t*)>& each) {
  if (!ValidName(name)) return kErrInvalidPrinterName;
  Ipp req = NewRequest(IPP_OP_GET_JOBS, PrinterUri(name));
  brevant::print::Cups().ippAddString(req.get(), IPP_TAG_OPERATION, IPP_TAG_KEYWORD, "which-jobs", nullptr,
                                      whichJobs);
  RequestAttributes(req.get(), attributes);
  Ipp resp;
  if (long err = Send(std::move(req), "/", &resp)) return err;
  ipp_t* g = resp.get();
  ipp_attribute_t* a = brevant::print::Cups().ippFirstAttribute(g);
  while (a) {
    while (a && brevant::print::Cups().ippGetGroupTag(a) != IPP_TAG_JOB)
      a = brevant::print::Cups().ippNextAttribute(g);
    if (!a) break;
    Ipp job(brevant::print::Cups().ippNew());
    for (; a && brevant::print::Cups().ippGetGroupTag(a) == IPP_TAG_JOB;
         a = brevant::print::Cups().ippNextAttribute(g))
      brevant::print::Cups().ippCopyAttribute(job.get(), a, 0);
    each(job.get());
  }
  return 0;
}

}  // namespace

long EnumJobs(const std::string& name, std::vector<JobRecord>* out) {
  out->clear();
  if (!ValidName(name)) return kErrInvalidPrinterName;
  PrinterRecord printer;
  std::string driver = GetPrinter(name, &printer) == 0 ? printer.DriverName : "";
  std::string printerName = printer.PrinterName.empty() ? name : printer.PrinterName;
  static const std::vector<const char*> kAttributes{"job-id",
                                                    "job-name",
                                                    "job-originating-user-name",
                                                    "job-originating-host-name",
                                                    "job-state",
                                                    "job-state-reasons",
                                                    "job-priority",
                                                    "job-k-octets",
                                                    "time-at-creation",
                                                    "time-at-processing",
                                                    "time-at-completed",
                                                    "job-impressions",
                                                    "job-impressions-completed",
                                                    "job-media-sheets-completed",
                                                    "document-format-detected",
                                                    "document-format-supplied",
                                                    "document-format",
                                                    "copies",
                                                    "media",
                                                    "orientation-requested",
                                                    "sides",
                                                    "print-color-mode",
                                                    "printer-resolution",
                                                    "number-up"};
  return ForEachJob(name, "not-completed", kAttributes, [&](ipp_t* j) {
    JobRecord r;
    r.JobId = std::uint32_t(Int(j, "job-id"));
    if (r.JobId == 0) return;
    r.PrinterName = printerName;
    r.MachineName = Str(j, "job-originating-host-name");
    r.UserName = Str(j, "job-originating-user-name");
    r.NotifyName = r.UserName;
    r.Document = Str(j, "job-name");
    // What the scheduler found the document to be, else what was declared.
    for (const char* f : {"document-format-detected", "document-format-supplied", "document-format"}) {
      r.Datatype = Str(j, f);
      if (!r.Datatype.empty() && r.Datatype != "application/octet-stream") break;
    }
    r.DriverName = driver;
    r.Status = JobStatusBits(Int(j, "job-state"), Keywords(j, "job-state-reasons"));
    r.Priority = std::uint32_t(Int(j, "job-priority", 50));
    r.Position = std::uint32_t(out->size() + 1);
    r.Size = std::uint32_t(Int(j, "job-k-octets")) * 1024u;
    r.TotalPages = std::uint32_t(Int(j, "job-impressions"));
    r.PagesPrinted =
        std::uint32_t(std::max(Int(j, "job-impressions-completed"), Int(j, "job-media-sheets-completed")));
    r.Submitted = std::time_t(Int(j, "time-at-creation"));
    int started = Int(j, "time-at-processing"), ended = Int(j, "time-at-completed");
    if (started > 0) r.Time = std::uint32_t(((ended > 0 ? ended : int(std::time(nullptr))) - started) * 1000);
    r.devMode = DevModeFrom(j, printerName, "");
    out->push_back(std::move(r));
  });
}

long NewestJobId(const std::string& name, std::uint32_t* id) {
  *id = 0;
  const std::string me = brevant::print::Cups().cupsUser();
  return ForEachJob(name, "all", {"job-id", "job-originating-user-name"}, [&](ipp_t* j) {
    if (Str(j, "job-originating-user-name") == me) *id = std::max(*id, std::uint32_t(Int(j, "job-id")));
  });
}

long RefusedJobs(const std::string& name, std::uint32_t afterJobId, std::vector<RefusedJob>* out) {
  out->clear();
  const std::string me = brevant::print::Cups().cupsUser();
  return ForEachJob(
      name, "completed",
      {"job-id", "job-name", "job-originating-user-name", "job-state", "job-printer-state-message"},
      [&](ipp_t* j) {
        const std::uint32_t id = std::uint32_t(Int(j, "job-id"));
        if (id > afterJobId && Int(j, "job-state") == IPP_JSTATE_ABORTED &&
            Str(j, "job-originating-user-name") == me)
          out->push_back({id, Str(j, "job-name"), Str(j, "job-printer-state-message")});
      });
}

long ControlPrinter(const std::string& name, int command) {
  if (!ValidName(name)) return kErrInvalidPrinterName;
  ipp_op_t op;
  switch (command) {
    case 1:
      op = IPP_OP_PAUSE_PRINTER;
      break;
    case 2:
      op = IPP_OP_RESUME_PRINTER;
      break;
    case 3:
      op = IPP_OP_PURGE_JOBS;
      break;
    default:
      return kErrInvalidPrinterCommand;
  }
  return Send(NewRequest(op, PrinterUri(name)), "/admin/");
}

long ControlJob(const std::string& name, std::uint32_t jobId, int command) {
  if (!ValidName(name)) return kErrInvalidPrinterName;
  ipp_op_t op;
  switch (command) {
    case 1:
      op = IPP_OP_HOLD_JOB;
      break;
    case 2:
      op = IPP_OP_RELEASE_JOB;
      break;
    case 3:
    case 5:
      op = IPP_OP_CANCEL_JOB;
      break;
    case 4:
      op = IPP_OP_RESTART_JOB;
      break;
    default:
      return kErrInvalidParameter;
  }
  // The job must belong to this printer.
  std::vector<JobRecord> jobs;
  if (long err = EnumJobs(name, &jobs)) return err;
  if (command != 4 &&
      std::none_of(jobs.begin(), jobs.end(), [&](const JobRecord& j) { return j.JobId == jobId; }))
    return kErrInvalidParameter;
  Ipp req(brevant::print::Cups().ippNewRequest(op));
  brevant::print::Cups().ippAddString(req.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr,
                                      JobUri(jobId).c_str());
  brevant::print::Cups().ippAddString(req.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                                      nullptr, brevant::print::Cups().cupsUser());
  return Send(std::move(req), "/jobs/");
}

long SetJobPriority(std::uint32_t jobId, int priority) {
  Ipp req(brevant::print::Cups().ippNewRequest(IPP_OP_SET_JOB_ATTRIBUTES));
  brevant::print::Cups().ippAddString(req.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "job-uri", nullptr,
                                      JobUri(jobId).c_str());
  brevant::print::Cups().ippAddString(req.get(), IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name",
                                      nullptr, brevant::print::Cups().cupsUser());
  brevant::print::Cups().ippAddInteger(req.get(), IPP_TAG_JOB, IPP_TAG_INTEGER, "job-priority", priority);
  return Send(std::move(req), "/jobs/");
}

long MoveJob(const std::string& name, std::uint32_t jobId, int delta) {
  std::vector<JobRecord> jobs;
  if (long err = EnumJobs(name, &jobs)) return err;
  auto it = std::find_if(jobs.begin(), jobs.end(), [&](const JobRecord& j) { return j.JobId == jobId; });
  if (it == jobs.end()) return kErrInvalidParameter;
  long from = long(it - jobs.begin()), to = from + delta;
  // At either end there is nothing to pass.
  if (to < 0 || to >= long(jobs.size())) return 0;
  if (jobs.size() > 100) return kErrNotSupported;
  // CUPS orders its queue by job priority (1 to 100), then by job id; it
  // has no positions. Give the queue's jobs falling priorities in the new
  // order, ending where the last job's priority is (or higher when there is
  // no room), so the order is exactly the wanted one.
  std::swap(jobs[std::size_t(from)], jobs[std::size_t(to)]);
  int n = int(jobs.size());
  int last = std::clamp(int(jobs.back().Priority), 1, 100 - (n - 1));
  for (int i = 0; i < n; ++i) {
    int want = last + (n - 1 - i);
    if (int(jobs[std::size_t(i)].Priority) == want) continue;
    if (long err = SetJobPriority(jobs[std::size_t(i)].JobId, want)) return err;
  }
  return 0;
}

bool CanAdminister(const std::string& name) {
  PrinterRecord r;
  if (GetPrinter(name, &r) != 0) return false;
  if (::geteuid() == 0) return true;
  // The scheduler lets members of its system groups administer printers.
  std::string groups = "lpadmin sys root";
  std::ifstream conf("/etc/cups/cups-files.conf");
  for (std::string line; std::getline(conf, line);)
    if (line.rfind("SystemGroup ", 0) == 0) groups = line.substr(12);
  const passwd* pw = ::getpwuid(::geteuid());
  if (!pw) return false;
  int n = 64;
  std::vector<gid_t> mine(std::size_t(n), 0);
  if (::getgrouplist(pw->pw_name, pw->pw_gid, mine.data(), &n) < 0) return false;
  mine.resize(std::size_t(n));
  std::istringstream in(groups);
  for (std::string g; in >> g;)
    if (const group* gr = ::getgrnam(g.c_str()))
      if (std::find(mine.begin(), mine.end(), gr->gr_gid) != mine.end()) return true;
  return false;
}

std::string DefaultPrinterName() {
  cups_dest_t* dest = brevant::print::Cups().cupsGetNamedDest(CUPS_HTTP_DEFAULT, nullptr, nullptr);
  if (!dest) return "";
  std::string name = dest->name ? dest->name : "";
  brevant::print::Cups().cupsFreeDests(1, dest);
  return name;
}

long SetDefaultPrinterName(const std::string& name) {
  if (!ValidName(name)) return kErrInvalidPrinterName;
  // Only the queue's own spelling of its name is needed: one request.
  PrinterRecord r;
  {
    Ipp req = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, PrinterUri(name));
    RequestAttributes(req.get(), {"printer-name"});
    Ipp resp;
    if (long err = Send(std::move(req), "/", &resp)) return err;
    r.PrinterName = Str(resp.get(), "printer-name");
    if (r.PrinterName.empty()) return kErrInvalidPrinterName;
  }
  std::string home = platform::HomeFolder();
  if (home.empty()) return kErrAccessDenied;
  std::string dir = home + "/.cups";
  ::mkdir(dir.c_str(), 0700);
  std::string path = dir + "/lpoptions";
  // Keep every line; the previous default becomes an ordinary "Dest" line
  // (with its options) and this printer's line, or a new one, the default.
  std::vector<std::string> lines;
  {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
  }
  bool found = false;
  for (std::string& line : lines) {
    std::istringstream words(line);
    std::string kind, dest;
    words >> kind >> dest;
    if (strcasecmp(kind.c_str(), "Default") != 0 && strcasecmp(kind.c_str(), "Dest") != 0) continue;
    std::string rest = line.substr(std::min(line.size(), line.find(dest) + dest.size()));
    const bool match = SameName(dest, r.PrinterName);
    if (match) found = true;
    line = std::string(match ? "Default " : "Dest ") + dest + rest;
  }
  if (!found) lines.push_back("Default " + r.PrinterName);
  std::string text, why;
  for (const auto& l : lines) text += l + "\n";
  return platform::WriteFileAtomic(path, text, platform::AtomicOptions(0666), &why) ? 0 : kErrAccessDenied;
}

long SetPrinterOptions(const std::string& name, const std::map<std::string, std::string>& options) {
  if (!ValidName(name)) return kErrInvalidPrinterName;
  PrinterRecord r;
  if (long err = GetPrinter(name, &r)) return err;
  Ipp req = NewRequest(IPP_OP_CUPS_ADD_MODIFY_PRINTER, PrinterUri(r.PrinterName));
  for (const auto& [key, value] : options) {
    std::string attr = key + "-default";
    if (key == "job-priority")
      brevant::print::Cups().ippAddInteger(req.get(), IPP_TAG_PRINTER, IPP_TAG_INTEGER, attr.c_str(),
                                           std::atoi(value.c_str()));
    else
      brevant::print::Cups().ippAddString(req.get(), IPP_TAG_PRINTER, IPP_TAG_NAME, attr.c_str(), nullptr,
                                          value.c_str());
  }
  return Send(std::move(req), "/admin/");
}

long GetPrinterOption(const std::string& name, const std::string& option, std::string* value) {
  value->clear();
  if (!ValidName(name)) return kErrInvalidPrinterName;
  std::string attr = option + "-default";
  Ipp req = NewRequest(IPP_OP_GET_PRINTER_ATTRIBUTES, PrinterUri(name));
  RequestAttributes(req.get(), {attr.c_str(), "printer-name"});
  Ipp resp;
  long err = Send(std::move(req), "/", &resp);
  if (err) return err;
  *value = Str(resp.get(), attr.c_str());
  return 0;
}

}  // namespace brevant::spooler
