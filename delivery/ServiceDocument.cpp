#include "delivery/ServiceDocument.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/Folders.h"
#include "faxservice/protocol/FaxTiff.h"
#include "platform/emf/Emf.h"
#include "platform/fs/TempFiles.h"
#include "platform/process/ChildProcess.h"
#include "render/PdfPrint.h"
#include "render/PrintRoutes.h"

namespace fs = std::filesystem;

namespace brevant {
namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The extension of a file name, the whole name when it is all extension
// (".txt").
std::string Extension(const std::string& path) {
  const std::string name = fs::path(path).filename().string();
  const auto dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : name.substr(dot);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return ext;
}

// A new fax image in the user's temporary folder ("" when none can be made).
std::string TempTiff() {
  std::string why;
  return platform::MakeUniqueFile(mCommon::GetTempDir(), "Fax", ".tif", &why);
}

faxsvc::FaxPage FromPageFile(const emf::Page& in) {
  faxsvc::FaxPage out;
  out.width = in.width;
  out.height = in.height;
  out.xres = float(in.xdpi);
  out.yres = float(in.ydpi);
  out.pixels.resize(std::size_t(in.width) * std::size_t(in.height));
  for (int y = 0; y < in.height; ++y)
    for (int x = 0; x < in.width; ++x)
      out.pixels[std::size_t(y) * std::size_t(in.width) + std::size_t(x)] = in.Black(x, y);
  return out;
}

bool FromPageList(const std::string& list, const std::string& tiff, std::string* why) {
  std::vector<faxsvc::FaxPage> pages;
  std::string text = ReadAll(list);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    start = end == std::string::npos ? text.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    emf::Page page;
    std::string error;
    if (!emf::ReadFile(line, &page, &error)) {
      *why = "The fax page " + line + " cannot be read (" + error + ").";
      return false;
    }
    if (page.width != 1728) {
      *why = "The fax page " + line + " is " + std::to_string(page.width) + " pixels wide, not a fax page.";
      return false;
    }
    pages.push_back(FromPageFile(page));
  }
  if (pages.empty()) {
    *why = "The page list " + list + " names no page.";
    return false;
  }
  return faxsvc::WriteFaxTiff(tiff, pages, "", why);
}

// Each page at fine resolution, fitted into the printable area of a fax
// page (turned upright when landscape), as the fax printer draws a PDF.
bool FromPdf(const std::string& pdf, const std::string& tiff, std::string* why) {
  const std::string name = fs::path(pdf).filename().string();
  if (render::PdfProtection(pdf) == render::PdfLock::Password) {
    *why = render::PasswordPdfText(name);
    return false;
  }
  std::string failure;
  const std::string area = tiff + ".pbm";
  int rc = platform::RunAwaited(
      {"gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dPDFSTOPONERROR", "-sDEVICE=pbmraw", "-r204x196",
       "-g" + std::to_string(faxsvc::kPrintableWidth) + "x" + std::to_string(faxsvc::kPrintableHeight),
       "-dFIXEDMEDIA", "-dPDFFitPage", "-sOutputFile=" + area, "-f", pdf},
      "", render::ToolTimeoutMs(), &failure);
  std::string check;
  const bool made = rc == 0 && faxsvc::PlacePrintablePages(area, tiff, &check);
  std::error_code ec;
  fs::remove(area, ec);
  if (made) return true;
  fs::remove(tiff, ec);
  if (rc < 0)
    *why = "Ghostscript could not be run for " + name + " (" + failure + ").";
  else if (rc != 0)
    *why = name + " is damaged: Ghostscript could not read it.";
  else
    *why = name + " has no page to send.";
  return false;
}

}  // namespace

bool MakeServiceImage(const std::string& document, ServiceImage* image, std::string* why) {
  *image = ServiceImage{};
  std::error_code ec;
  if (!fs::is_regular_file(document, ec)) {
    *why = "File not found: " + document;
    return false;
  }
  int pages = 0;
  std::string notFax;
  if (faxsvc::CheckFaxTiff(document, &pages, &notFax)) {
    image->path = document;
    return true;
  }
  const std::string ext = Extension(document);
  const std::string name = fs::path(document).filename().string();
  std::string tiff = TempTiff();
  bool made = false;
  if (tiff.empty()) {
    *why = "there is no temporary folder for the fax image of " + name;
  } else if (ext == ".pnx") {
    made = FromPageList(document, tiff, why);
  } else if (ext == ".txt" && ReadAll(document).find_first_not_of(" \t\r\n\f") == std::string::npos) {
    made = faxsvc::WriteFaxTiff(tiff, {faxsvc::BlankPage()}, "", why);
  } else if (ext == ".pdf" || ReadAll(document).rfind("%PDF", 0) == 0) {
    made = FromPdf(document, tiff, why);
  } else {
    *why = name + " is not a fax image, and the fax printer made no pages of it.";
  }
  if (!made) {
    fs::remove(tiff, ec);
    return false;
  }
  image->path = tiff;
  image->temporary = true;
  return true;
}

}  // namespace brevant
