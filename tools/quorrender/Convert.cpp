// TIFF pages as a PDF of all pages that CUPS prints on any queue.
#include <cups/cups.h>
#include <zlib.h>

#include <QImageReader>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

#include "common/Folders.h"
#include "faxservice/protocol/FaxTiff.h"
#include "platform/fs/TempFiles.h"
#include "render/cover/CoverImage.h"
#include "tools/quorrender/Quorrender.h"

namespace fs = std::filesystem;

namespace brevant::quor {

bool WriteTiffAsPdf(const std::string& tiffPath, const std::string& pdfPath, std::string* error) {
  TiffPageReader reader;
  if (!reader.Open(tiffPath, error)) return false;
  return WritePagesAsPdf(
      reader.PageCount(),
      [&](int i, GreyPage* page, std::string* why) { return reader.ReadPage(i, page, why); }, pdfPath, error);
}

bool WritePagesAsPdf(int n, const std::function<bool(int, GreyPage*, std::string*)>& pageAt,
                     const std::string& pdfPath, std::string* error) {
  std::ofstream out(pdfPath, std::ios::binary | std::ios::trunc);
  if (!out) {
    *error = "cannot create " + pdfPath;
    return false;
  }
  // Objects: 1 catalog, 2 page tree, then per page: page, contents, image.
  std::vector<std::streamoff> offsets(std::size_t(3 + 3 * n), 0);
  auto begin = [&](int obj) {
    offsets[std::size_t(obj)] = out.tellp();
    out << obj << " 0 obj\n";
  };
  out << "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n";
  begin(1);
  out << "<< /Type /Catalog /Pages 2 0 R >>\nendobj\n";
  for (int i = 0; i < n; ++i) {
    GreyPage page;
    if (!pageAt(i, &page, error)) return false;
    GuessResolution(page);
    // 1 bit per pixel, 1 = white, rows padded to whole bytes.
    const std::size_t stride = std::size_t(page.width + 7) / 8;
    std::vector<std::uint8_t> bits(stride * std::size_t(page.height), 0);
    for (int y = 0; y < page.height; ++y)
      for (int x = 0; x < page.width; ++x)
        if (page.pixels[std::size_t(y) * std::size_t(page.width) + std::size_t(x)] >= 128)
          bits[std::size_t(y) * stride + std::size_t(x) / 8] |= std::uint8_t(0x80 >> (x % 8));
    page.pixels = {};
    uLongf packedSize = compressBound(uLong(bits.size()));
    std::vector<std::uint8_t> packed(packedSize);
    if (compress2(packed.data(), &packedSize, bits.data(), uLong(bits.size()), 6) != Z_OK) {
      *error = "cannot compress page " + std::to_string(i + 1);
      return false;
    }
    const double wPt = page.width * 72.0 / page.xdpi, hPt = page.height * 72.0 / page.ydpi;
    const int pageObj = 3 + 3 * i, contentObj = pageObj + 1, imageObj = pageObj + 2;
    char box[96];
    std::snprintf(box, sizeof box, "%.2f %.2f", wPt, hPt);
    begin(pageObj);
    out << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " << box << "] /Contents " << contentObj
        << " 0 R /Resources << /XObject << /Im0 " << imageObj << " 0 R >> >> >>\nendobj\n";
    char cm[128];
    std::snprintf(cm, sizeof cm, "q %.2f 0 0 %.2f 0 0 cm /Im0 Do Q\n", wPt, hPt);
    const std::string content = cm;
    begin(contentObj);
    out << "<< /Length " << content.size() << " >>\nstream\n" << content << "endstream\nendobj\n";
    begin(imageObj);
    out << "<< /Type /XObject /Subtype /Image /Width " << page.width << " /Height " << page.height
        << " /ColorSpace /DeviceGray /BitsPerComponent 1 /Filter /FlateDecode /Length " << packedSize
        << " >>\nstream\n";
    out.write(reinterpret_cast<const char*>(packed.data()), std::streamsize(packedSize));
    out << "\nendstream\nendobj\n";
  }
  begin(2);
  out << "<< /Type /Pages /Count " << n << " /Kids [";
  for (int i = 0; i < n; ++i) out << ' ' << 3 + 3 * i << " 0 R";
  out << " ] >>\nendobj\n";
  const std::streamoff xref = out.tellp();
  out << "xref\n0 " << offsets.size() << "\n0000000000 65535 f \n";
  for (std::size_t k = 1; k < offsets.size(); ++k) {
    char line[24];
    std::snprintf(line, sizeof line, "%010lld 00000 n \n", static_cast<long long>(offsets[k]));
    out << line;
  }
  out << "trailer\n<< /Size " << offsets.size() << " /Root 1 0 R >>\nstartxref\n" << xref << "\n%%EOF\n";
  out.close();
  if (!out) {
    *error = "cannot write " + pdfPath;
    return false;
  }
  return true;
}

namespace {

// How a document is laid onto the printer's page: a picture fitted into the
// printable area, a PDF as the printer lays out PDFs, fax pages as they are.
enum class Scaling { Fit, Printer, None };

// Hands a file to a CUPS destination; false with *error when refused. A
// picture goes with its orientation (IPP's "orientation-requested": 3
// portrait, 4 landscape); empty leaves it to the printer.
bool Submit(const std::string& file, const std::string& format, const std::string& title,
            const std::string& printer, Scaling scaling, const char* orientation, int* jobId,
            std::string* error) {
  cups_option_t* options = nullptr;
  int nOptions = cupsAddOption("document-format", format.c_str(), 0, &options);
  if (scaling == Scaling::Fit) nOptions = cupsAddOption("fit-to-page", "true", nOptions, &options);
  if (*orientation) nOptions = cupsAddOption("orientation-requested", orientation, nOptions, &options);
  if (scaling == Scaling::None) nOptions = cupsAddOption("print-scaling", "none", nOptions, &options);
  *jobId = cupsPrintFile(printer.c_str(), file.c_str(), title.c_str(), nOptions, options);
  cupsFreeOptions(nOptions, options);
  if (*jobId <= 0) {
    *jobId = 0;
    *error = "CUPS refused the job for " + printer + ": " + cupsLastErrorString();
    return false;
  }
  return true;
}

// Writes a PDF into a temporary file with write, prints it and removes it
// (CUPS has its own copy once the job exists).
bool PrintPdfMadeBy(const std::function<bool(const std::string&, std::string*)>& write, Scaling scaling,
                    const std::string& title, const std::string& printer, int* jobId, std::string* error) {
  *jobId = 0;
  std::string pdf = mCommon::GetTempFile();
  if (pdf.empty()) {
    *error = "no temporary file for the print job";
    return false;
  }
  bool ok = write(pdf, error) && Submit(pdf, "application/pdf", title, printer, scaling, "", jobId, error);
  std::error_code ec;
  fs::remove(pdf, ec);
  return ok;
}

}  // namespace

bool PrintTiff(const std::string& tiffPath, const std::string& printer, int* jobId, std::string* error) {
  // A fax's pages come back as they are; other pictures in a TIFF are laid
  // into the printable area like any PDF page.
  int pages = 0;
  std::string notFax;
  const Scaling scaling = faxsvc::CheckFaxTiff(tiffPath, &pages, &notFax) ? Scaling::None : Scaling::Printer;
  return PrintPdfMadeBy(
      [&](const std::string& pdf, std::string* why) { return WriteTiffAsPdf(tiffPath, pdf, why); }, scaling,
      fs::path(tiffPath).filename().string(), printer, jobId, error);
}

bool PrintFaxPage(const emf::Page& page, const std::string& title, const std::string& printer, int* jobId,
                  std::string* error) {
  auto grey = [&](int, GreyPage* g, std::string*) {
    g->width = page.width;
    g->height = page.height;
    g->xdpi = page.xdpi;
    g->ydpi = page.ydpi;
    g->pixels.assign(std::size_t(page.width) * std::size_t(page.height), 255);
    for (int y = 0; y < page.height; ++y)
      for (int x = 0; x < page.width; ++x)
        if (page.Black(x, y)) g->pixels[std::size_t(y) * std::size_t(page.width) + std::size_t(x)] = 0;
    return true;
  };
  return PrintPdfMadeBy(
      [&](const std::string& pdf, std::string* why) { return WritePagesAsPdf(1, grey, pdf, why); },
      Scaling::None, title, printer, jobId, error);
}

bool PrintPicture(const std::string& picturePath, const std::string& printer, int* jobId,
                  std::string* error) {
  *jobId = 0;
  const std::string name = fs::path(picturePath).filename().string();
  std::string why;
  // A fax page printed beforehand (a group's cover page) goes as it is,
  // so it comes back pixel for pixel.
  emf::Page page;
  if (emf::ReadFile(picturePath, &page, &why) && page.width == kFaxWidth && page.xdpi == kFaxXdpi)
    return PrintFaxPage(page, name, printer, jobId, error);
  const std::string png = platform::MakeUniqueFile(mCommon::GetTempDir(), "Fax", ".png", &why);
  if (png.empty() || !cover::SavePictureAsPng(picturePath, png, &why)) {
    *error = name + " cannot be printed: " + why;
    return false;
  }
  // A picture wider than high is printed landscape. IPP's landscape turns
  // it a quarter anticlockwise, its top along the fax page's left, as the
  // fax printer turns a landscape PDF page, rather than as the print
  // system's picture filter would choose by a rule of its own.
  const QSize size = QImageReader(QString::fromStdString(png)).size();
  const char* orientation = size.height() < size.width() ? "4" : "3";
  bool ok = Submit(png, "image/png", name, printer, Scaling::Fit, orientation, jobId, error);
  std::error_code ec;
  fs::remove(png, ec);
  return ok;
}

}  // namespace brevant::quor
