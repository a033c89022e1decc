// The program's cover pages: previews with the sample data, pictures for
// the print system, the current fax's "00000000.emf", and the error records
// of every problem met while drawing them (CoverDraw.cpp draws).
#include <QImage>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/Errors.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "render/cover/CoverImage.h"
#include "render/cover/CoverPage.h"
#include "render/cover/CoverPage_p.h"

namespace brevant::cover {

namespace detail {

void WriteDeviceCapsLog(int width, int height) {
  try {
    const std::pair<const char*, long> caps[] = {
        {"DRIVERVERSION = ", 0x400},
        {"TECHNOLOGY = ", 2},  // raster printer
        {"HORZSIZE = ", std::lround(width * 25.4 / 204)},
        {"VERTSIZE = ", std::lround(height * 25.4 / 196)},
        {"HORZRES = ", width},
        {"VERTRES = ", height},
        {"BITSPIXEL = ", 1},
        {"PLANES = ", 1},
        {"RASTERCAPS = ", 0x0001 | 0x0008 | 0x0800},  // bitblt, bitmap64, stretchblt
        {"ASPECTX = ", 196},
        {"ASPECTY = ", 204},
        {"ASPECTXY = ", 283},
        {"LOGPIXELSX = ", 204},
        {"LOGPIXELSY = ", 196},
        {"SIZEPALETTE = ", 0},
        {"COLORRES = ", 0},
        {"PHYSICALWIDTH = ", width},
        {"PHYSICALHEIGHT = ", height},
        {"PHYSICALOFFSETX = ", 0},
        {"PHYSICALOFFSETY = ", 0},
        {"SCALINGFACTORX = ", 0},
        {"SCALINGFACTORY = ", 0}};
    std::ofstream out(GetProgramFolder() + "/DeviceCaps.log", std::ios::binary | std::ios::trunc);
    for (const auto& [label, value] : caps) out << label << value << "\r\n";
  } catch (...) {
    // The log is a diagnostic aid; a preview does not fail for it.
  }
}

void LogProblems(const std::vector<Problem>& problems, const std::string& source) {
  for (const auto& p : problems) WriteErrorLog(p.number, p.text, source);
}

}  // namespace detail

QImage ViewCoverPageImage(const std::string& coverPath, int width, int height) {
  std::vector<Problem> problems;
  QImage image;
  try {
    image = RenderCoverImage(coverPath, SampleFields(), QSize(width, height), &problems);
    detail::WriteDeviceCapsLog(kPageWidth, kPageHeight);
  } catch (...) {
    ErrInfo e = CurrentError();
    problems.push_back({e.number, e.description});
  }
  detail::LogProblems(problems, "mRender.ViewCoverPage");
  return image;
}

bool IsCoverTemplate(const std::string& path) {
  const std::string ext = detail::Lower(std::filesystem::path(path).extension().string());
  return ext == ".cov" || ext == ".svg";
}

QImage LoadPicture(const std::string& path, std::string* why) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(path, ec)) {
    *why = "file not found";
    return {};
  }
  const std::string ext = detail::Lower(std::filesystem::path(path).extension().string());
  if (ext == ".emf") {
    // A metafile is a picture here only when it holds one bitmap (a fax
    // page, a scan); drawing commands are not played back.
    emf::Page page;
    std::string error;
    if (!emf::ReadFile(path, &page, &error)) {
      *why = "only metafiles holding one bitmap can be faxed (" + error + ")";
      return {};
    }
    return PageImage(page);
  }
  if (ext == ".wmf") {
    *why = "Windows metafiles (.wmf) cannot be faxed; save the picture as PNG, JPEG or PDF";
    return {};
  }
  if (!detail::EnsureGuiApplication()) {
    *why = "no drawing in this process";
    return {};
  }
  QImage image(QString::fromStdString(path));
  if (image.isNull()) *why = "not a picture this program can read";
  return image;
}

bool SavePictureAsPng(const std::string& picturePath, const std::string& pngPath, std::string* why) {
  QImage image = LoadPicture(picturePath, why);
  if (image.isNull()) return false;
  if (!image.save(QString::fromStdString(pngPath), "PNG")) {
    *why = "cannot write " + pngPath;
    return false;
  }
  return true;
}

QImage CoverPreview(const std::string& coverPath, QSize size, const std::string& source) {
  if (detail::Lower(coverPath).find(".emf") == std::string::npos)
    return ViewCoverPageImage(coverPath, size.width(), size.height());
  emf::Page page;
  std::string error;
  if (!emf::ReadFile(coverPath, &page, &error)) {
    WriteErrorLog(kErrTypeMismatch, coverPath + ": " + error, source);
    return {};
  }
  return PageImage(page)
      .convertToFormat(QImage::Format_Grayscale8)
      .scaled(size, Qt::KeepAspectRatio, Qt::SmoothTransformation);
}

bool DrawJobCoverPage(const std::string& spoolFolder) {
  try {
    std::string folder = spoolFolder.empty() ? GetSpoolFolder() : spoolFolder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    std::filesystem::create_directories(folder);
    std::vector<Problem> problems;
    emf::Page page;
    bool drawn = RenderPage(CurrentCoverTemplate(), JobFields(folder), &page, &problems);
    detail::LogProblems(problems, "mRender.DrawJobCoverPage");
    if (!drawn) return false;
    std::string error;
    if (!emf::WriteFile(folder + "00000000.emf", page, &error))
      throw VbError(kErrPathFileAccess, "Cannot write " + folder + "00000000.emf: " + error);
    return true;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mRender.DrawJobCoverPage");
    return false;
  }
}

}  // namespace brevant::cover

namespace brevant::mRender {

std::optional<cover::Picture> ViewCoverPage(const std::string& coverPath, long, long, int width, int height) {
  QImage image = cover::ViewCoverPageImage(coverPath, width, height);
  if (image.isNull()) return std::nullopt;
  cover::Picture picture;
  picture.width = image.width();
  picture.height = image.height();
  picture.pixels.resize(std::size_t(image.width()) * std::size_t(image.height()));
  for (int y = 0; y < image.height(); ++y)
    std::copy_n(reinterpret_cast<const QRgb*>(image.constScanLine(y)), image.width(),
                picture.pixels.begin() + std::ptrdiff_t(y) * image.width());
  return picture;
}

}  // namespace brevant::mRender
