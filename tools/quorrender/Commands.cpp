#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>

#include "common/Folders.h"
#include "common/Logging.h"
#include "maintenance/Scan.h"
#include "platform/events/NamedEvent.h"
#include "render/cover/CoverPage.h"
#include "render/picture/FaxPicture.h"
#include "tools/quorrender/Quorrender.h"

namespace fs = std::filesystem;

namespace brevant::quor {
namespace {

std::string Trim(const std::string& s) {
  auto b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return "";
  auto e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}
std::string Lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return s;
}
// A path as the suite writes it: in double quotes, or bare. Only the
// enclosing pair goes; a quote inside is part of the file's name.
std::string Unquote(std::string s) {
  s = Trim(s);
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return s.substr(1, s.size() - 2);
  return s;
}

void Trace(const std::string& message) {
  try {
    WriteTraceLog("quorrender", message);
  } catch (...) {
    // A log that cannot be written must not stop the conversion.
  }
}

// A TIFF by its first bytes ("II*\0" or "MM\0*"), whatever its name.
bool IsTiff(const std::string& path) {
  char head[4] = {};
  std::ifstream in(path, std::ios::binary);
  in.read(head, 4);
  const std::string magic(head, 4);
  return in.gcount() == 4 && (magic == std::string("II*\0", 4) || magic == std::string("MM\0*", 4));
}

// Writes the error record and, unless silent, tells the user on stderr.
int Fail(const CommandLine& cl, const std::string& source, const std::string& text) {
  WriteErrorLog(1, text, "quorrender." + source);
  if (!cl.silent) std::cerr << "quorrender: " << text << '\n';
  return 1;
}

int RunSpool(const CommandLine& cl) {
  // Held unsignalled while the run lasts: whoever opens it then waits
  // until the images are in place (or the run has failed).
  auto done = platform::NamedEvent::Create("VestrelSpool", false, false);
  if (done) done->Reset();
  SpoolOptions opt;
  opt.keep = cl.keep;
  opt.previewOnly = cl.preview;
  opt.fast = cl.fast;
  const std::string spool = GetSpoolFolder();
  Trace("spool: " + spool + (cl.preview ? " (preview only)" : ""));
  // Following, the pages the fax printer writes are encoded while it
  // renders the next ones; standard input ends when printing is over.
  std::unique_ptr<PageCache> cache;
  if (cl.follow) {
    cache = std::make_unique<PageCache>(opt);
    if (!FollowSpool(spool, *cache, 0)) {
      if (done) done->Set();
      return Fail(cl, "Spool", "the run was ended before the pages were printed");
    }
    Trace("spool: " + std::to_string(cache->Size()) + " page(s) encoded while printing");
  }
  SpoolResult r = SpoolToTiff(spool, opt, cache.get());
  int code = 0;
  if (r.ok)
    Trace("spool: " + std::to_string(r.pages) + " page(s) done");
  else
    code = Fail(cl, "Spool", r.error);
  if (done) done->Set();
  return code;
}

}  // namespace

CommandLine ParseCommandLine(const std::string& line) {
  CommandLine cl;
  const std::string text = Trim(line);
  const std::string lower = Lower(text);
  if (text.empty()) return cl;
  if (lower.rfind("convert;", 0) == 0) {
    cl.verb = CommandLine::Verb::Convert;
    cl.word = "convert";
    cl.path = Unquote(text.substr(8));
    return cl;
  }
  if (auto pt = lower.find(" /pt "); pt != std::string::npos) {
    cl.verb = CommandLine::Verb::PrintTo;
    cl.path = Unquote(text.substr(0, pt));
    cl.printer = Unquote(text.substr(pt + 5));
    return cl;
  }
  if (text.front() == '"' || text.find(';') == std::string::npos) {
    cl.verb = CommandLine::Verb::View;
    cl.path = Unquote(text);
    return cl;
  }
  std::size_t start = 0;
  bool first = true;
  while (start <= lower.size()) {
    std::size_t end = lower.find(';', start);
    std::string word = Trim(lower.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (first) {
      cl.word = word;
      cl.verb = word == "spool"       ? CommandLine::Verb::Spool
                : word == "coverpage" ? CommandLine::Verb::CoverPage
                : word == "scan"      ? CommandLine::Verb::Scan
                                      : CommandLine::Verb::Unknown;
      first = false;
    } else if (word == "keep")
      cl.keep = true;
    else if (word == "preview")
      cl.preview = true;
    else if (word == "fast")
      cl.fast = true;
    else if (word == "silent")
      cl.silent = true;
    else if (word == "maketif")
      cl.maketif = true;
    else if (word == "follow")
      cl.follow = true;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return cl;
}

namespace {

// "maketif": the cover page also as a one-page fax image, "FaxCover.Tif" in
// the spool folder, which the mail gateway path attaches in front of the
// documents (the gateway makes the fax of each document itself).
bool WriteCoverTiff(const std::string& spool, std::string* error) {
  emf::Page page;
  if (!emf::ReadFile(spool + "00000000.emf", &page, error)) return false;
  TiffPageWriter tiff;
  return tiff.Open(spool + "FaxCover.Tif", TiffPageWriter::Kind::FaxG4, 1, error) &&
         tiff.AddPage(ToFaxPage(page), error) && tiff.Commit(error);
}

}  // namespace

int Run(const std::string& line) {
  QuietLibTiff();
  const CommandLine cl = ParseCommandLine(line);
  std::string error;
  switch (cl.verb) {
    case CommandLine::Verb::Spool:
      return RunSpool(cl);
    case CommandLine::Verb::CoverPage: {
      if (cover::CurrentCoverTemplate().empty()) return Fail(cl, "CoverPage", "No cover page is configured");
      if (!cover::DrawJobCoverPage()) return Fail(cl, "CoverPage", "The cover page could not be drawn");
      Trace("coverpage: " + cover::CurrentCoverTemplate());
      if (cl.maketif && !WriteCoverTiff(GetSpoolFolder(), &error)) return Fail(cl, "CoverPage", error);
      return 0;
    }
    case CommandLine::Verb::Scan: {
      std::string scanError;
      if (!ScanToNewFax(&scanError)) return Fail(cl, "Scan", scanError);
      return 0;
    }
    case CommandLine::Verb::Convert: {
      if (cl.path.empty()) return Fail(cl, "Convert", "convert; needs a TIFF path");
      std::string folder = fs::path(cl.path).parent_path().string();
      std::string jpg = (folder.empty() ? std::string(".") : folder) + "/Fax.jpg";
      if (!render::WriteJpegOfFirstPage(cl.path, jpg, &error)) return Fail(cl, "Convert", error);
      Trace("convert: " + cl.path + " -> " + jpg);
      return 0;
    }
    case CommandLine::Verb::PrintTo: {
      int job = 0;
      if (cl.path.empty() || cl.printer.empty())
        return Fail(cl, "PrintTo", "/pt needs a file and a printer name");
      if (!fs::is_regular_file(cl.path)) return Fail(cl, "PrintTo", "File not found: " + cl.path);
      if (IsTiff(cl.path)) {
        if (!PrintTiff(cl.path, cl.printer, &job, &error)) return Fail(cl, "PrintTo", error);
      } else if (cover::IsCoverTemplate(cl.path)) {
        // The cover page of the fax being made: filled with the fields the
        // fax image pipeline stored for it.
        emf::Page page;
        std::vector<cover::Problem> problems;
        bool drawn = cover::RenderPage(cl.path, cover::JobFields(""), &page, &problems);
        for (const auto& p : problems) WriteErrorLog(p.number, p.text, "quorrender.PrintTo");
        if (!drawn) return Fail(cl, "PrintTo", "The cover page " + cl.path + " could not be drawn");
        if (!PrintFaxPage(page, fs::path(cl.path).filename().string(), cl.printer, &job, &error))
          return Fail(cl, "PrintTo", error);
      } else if (!PrintPicture(cl.path, cl.printer, &job, &error)) {
        return Fail(cl, "PrintTo", error);
      }
      Trace("print: " + cl.path + " -> " + cl.printer + " job " + std::to_string(job));
      return 0;
    }
    case CommandLine::Verb::View: {
      // The viewer is its own program, so the console paths never load
      // the window libraries.
      if (!fs::exists(cl.path)) return Fail(cl, "View", "File not found: " + cl.path);
      auto set = [](const char* v) { return std::getenv(v) && *std::getenv(v); };
      if (!set("DISPLAY") && !set("WAYLAND_DISPLAY") && !set("QT_QPA_PLATFORM"))
        return Fail(cl, "View", "No display to show " + cl.path + " on");
      std::string viewer = GetExecutableFolder() + "/quorrender-viewer";
      ::execl(viewer.c_str(), viewer.c_str(), cl.path.c_str(), static_cast<char*>(nullptr));
      return Fail(cl, "View", "cannot start the viewer " + viewer);
    }
    case CommandLine::Verb::Unknown:
      std::cerr << "quorrender: unknown command \"" << cl.word << "\"\n";
      WriteErrorLog(2, "unknown command \"" + cl.word + "\"", "quorrender.Main");
      return 2;
    case CommandLine::Verb::None:
      break;
  }
  std::cerr << "usage: quorrender spool;[keep;][preview;][fast;][silent;] | coverpage; | convert; TIFF |"
               " \"TIFF\" /pt PRINTER | \"TIFF\"\n";
  return 2;
}

}  // namespace brevant::quor
