// Drawing cover pages: a template or picture filled with the fields,
// painted onto a fax page or a picture.
#include "render/cover/CoverDraw.h"

#include <QByteArray>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/Errors.h"  // the error numbers of problems (no code of the program)
#include "render/cover/CoverImage.h"
#include "render/cover/CoverPage_p.h"

namespace brevant::cover {

QImage PageImage(const emf::Page& page) {
  QImage image(page.width, page.height, QImage::Format_Mono);
  image.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
  for (int y = 0; y < page.height; ++y)
    std::copy_n(page.bits.data() + std::size_t(y) * page.Stride(), page.Stride(), image.scanLine(y));
  return image;
}

namespace detail {

bool EnsureGuiApplication() {
  if (QCoreApplication* app = QCoreApplication::instance())
    return qobject_cast<QGuiApplication*>(app) != nullptr;
  // A console program: an off-screen GUI application gives fonts and
  // drawing without a display. It lives until the process ends.
  static int argc = 3;
  static char arg0[] = "brevant", arg1[] = "-platform", arg2[] = "offscreen";
  static char* argv[] = {arg0, arg1, arg2, nullptr};
  static QGuiApplication* app = new QGuiApplication(argc, argv);
  return app != nullptr;
}

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool IsImageFile(const std::string& path) {
  std::string ext = Lower(std::filesystem::path(path).extension().string());
  return ext == ".bmp" || ext == ".jpg" || ext == ".jpeg" || ext == ".gif" || ext == ".tif" ||
         ext == ".tiff" || ext == ".png";
}

namespace {

bool PaintSvg(const std::string& svg, QPainter& painter, const QRectF& target) {
  QSvgRenderer renderer(QByteArray::fromStdString(svg));
  if (!renderer.isValid()) return false;
  renderer.render(&painter, target);
  return true;
}

bool PaintBuiltin(const CoverFields& fields, QPainter& painter, const QRectF& target,
                  std::vector<Problem>* problems) {
  FilledTemplate filled;
  if (!FillTemplate(BuiltinTemplate(), fields, "", &filled)) {
    problems->insert(problems->end(), filled.problems.begin(), filled.problems.end());
    return false;
  }
  return PaintSvg(filled.svg, painter, target);
}

}  // namespace

bool PaintCover(const std::string& templatePath, const CoverFields& fields, QPainter& painter,
                const QRectF& target, std::vector<Problem>* problems) {
  std::error_code ec;
  if (templatePath.empty()) {
    problems->push_back({kErrFileNotFound, "No cover page template chosen"});
    return PaintBuiltin(fields, painter, target, problems);
  }
  if (!std::filesystem::is_regular_file(templatePath, ec)) {
    problems->push_back({kErrFileNotFound, "File not found: " + templatePath});
    return PaintBuiltin(fields, painter, target, problems);
  }
  if (Lower(std::filesystem::path(templatePath).extension().string()) == ".emf") {
    // A page drawn beforehand (a group template's picture): the whole page.
    emf::Page page;
    std::string error;
    if (!emf::ReadFile(templatePath, &page, &error)) {
      problems->push_back(
          {kErrTypeMismatch, "Cover page picture cannot be read: " + templatePath + ": " + error});
      return PaintBuiltin(fields, painter, target, problems);
    }
    painter.drawImage(target, PageImage(page));
    return true;
  }
  if (IsImageFile(templatePath)) {
    QImage image(QString::fromStdString(templatePath));
    if (image.isNull()) {
      problems->push_back({kErrTypeMismatch, "Cover page image cannot be read: " + templatePath});
      return PaintBuiltin(fields, painter, target, problems);
    }
    // At its natural size from the top left corner, made smaller to fit.
    QSizeF natural(image.width() * target.width() / kPageWidth,
                   image.height() * target.height() / kPageHeight);
    double scale = std::min({1.0, target.width() / natural.width(), target.height() / natural.height()});
    painter.drawImage(QRectF(target.topLeft(), natural * scale), image);
    return true;
  }
  auto size = std::filesystem::file_size(templatePath, ec);
  if (!ec && size > kMaxTemplateBytes) {
    problems->push_back({kErrOutOfMemory, "Cover page template too large: " + templatePath + " (" +
                                              std::to_string(size) + " bytes)"});
    return PaintBuiltin(fields, painter, target, problems);
  }
  std::ifstream in(templatePath, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in.good() && !in.eof()) {
    problems->push_back({kErrPathFileAccess, "Cannot read " + templatePath});
    return PaintBuiltin(fields, painter, target, problems);
  }
  FilledTemplate filled;
  bool usable =
      FillTemplate(text, fields, std::filesystem::path(templatePath).parent_path().string(), &filled);
  for (auto& p : filled.problems) p.text += " (" + templatePath + ")";
  problems->insert(problems->end(), filled.problems.begin(), filled.problems.end());
  if (!usable || filled.placeholders == 0) return PaintBuiltin(fields, painter, target, problems);
  if (!PaintSvg(filled.svg, painter, target)) {
    problems->push_back({kErrTypeMismatch, "Cover page template cannot be drawn: " + templatePath});
    return PaintBuiltin(fields, painter, target, problems);
  }
  return true;
}

}  // namespace detail

namespace {

// Fax pages are black and white. Edges (text, lines) are cut at mid-grey
// so they stay solid; flat grey areas are turned into an ordered dot
// pattern, so tinted parts of a template stay visible as a light screen.
void ToFaxPage(const QImage& image, emf::Page* page) {
  static const int bayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  const int w = image.width(), h = image.height();
  page->Resize(w, h);
  page->xdpi = 204;
  page->ydpi = 196;
  std::vector<int> prev(static_cast<std::size_t>(w), 255), cur(static_cast<std::size_t>(w)),
      next(static_cast<std::size_t>(w));
  auto load = [&](int y, std::vector<int>& row) {
    if (y < 0 || y >= h) return std::fill(row.begin(), row.end(), 255);
    const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
    for (int x = 0; x < w; ++x) row[std::size_t(x)] = qGray(line[x]);
  };
  load(0, cur);
  for (int y = 0; y < h; ++y) {
    load(y + 1, next);
    for (int x = 0; x < w; ++x) {
      int g = cur[std::size_t(x)];
      if (g >= 250) continue;
      bool flat = g > 40 && g < 215 && x > 0 && x + 1 < w && std::abs(cur[std::size_t(x - 1)] - g) < 12 &&
                  std::abs(cur[std::size_t(x + 1)] - g) < 12 && std::abs(prev[std::size_t(x)] - g) < 12 &&
                  std::abs(next[std::size_t(x)] - g) < 12;
      int threshold = flat ? bayer[y & 3][x & 3] * 16 + 8 : 150;
      if (g < threshold) page->SetBlack(x, y);
    }
    std::swap(prev, cur);
    std::swap(cur, next);
  }
}

}  // namespace

bool RenderPage(const std::string& templatePath, const CoverFields& fields, emf::Page* page,
                std::vector<Problem>* problems) {
  std::vector<Problem> local;
  if (!problems) problems = &local;
  if (!detail::EnsureGuiApplication()) {
    problems->push_back({kErrNotAvailable, "No drawing in this process"});
    return false;
  }
  QImage image(kPageWidth, kPageHeight, QImage::Format_RGB32);
  image.fill(Qt::white);
  bool drawn;
  {
    QPainter painter(&image);
    drawn =
        detail::PaintCover(templatePath, fields, painter, QRectF(0, 0, kPageWidth, kPageHeight), problems);
  }
  if (!drawn) return false;
  ToFaxPage(image, page);
  return true;
}

QImage RenderCoverImage(const std::string& templatePath, const CoverFields& fields, QSize size,
                        std::vector<Problem>* problems) {
  std::vector<Problem> local;
  if (!problems) problems = &local;
  if (size.width() < 1 || size.height() < 1 || !detail::EnsureGuiApplication()) return QImage();
  QImage image(size, QImage::Format_ARGB32);
  image.fill(QColor(0xe4, 0xe6, 0xea));
  // The page keeps its proportions (215 x 297 mm) inside the picture.
  const double aspect = 215.0 / 297.0;
  double margin = std::max(2.0, std::min(size.width(), size.height()) * 0.03);
  double h = size.height() - 2 * margin, w = h * aspect;
  if (w > size.width() - 2 * margin) {
    w = size.width() - 2 * margin;
    h = w / aspect;
  }
  QRectF pageRect((size.width() - w) / 2, (size.height() - h) / 2, w, h);
  bool drawn;
  {
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(pageRect.translated(2, 2), QColor(0, 0, 0, 60));
    painter.fillRect(pageRect, Qt::white);
    painter.setClipRect(pageRect);
    drawn = detail::PaintCover(templatePath, fields, painter, pageRect, problems);
  }
  return drawn ? image : QImage();
}

bool RenderPicture(const std::string& templatePath, const CoverFields& fields, int width, int height,
                   Picture* picture, std::vector<Problem>* problems) {
  QImage image = RenderCoverImage(templatePath, fields, QSize(width, height), problems);
  if (image.isNull()) return false;
  image = image.convertToFormat(QImage::Format_ARGB32);
  picture->width = image.width();
  picture->height = image.height();
  picture->pixels.resize(std::size_t(image.width()) * std::size_t(image.height()));
  for (int y = 0; y < image.height(); ++y)
    std::copy_n(reinterpret_cast<const QRgb*>(image.constScanLine(y)), image.width(),
                picture->pixels.begin() + std::ptrdiff_t(y) * image.width());
  return true;
}

}  // namespace brevant::cover
