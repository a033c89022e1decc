#include "tests/arrival/Marks.h"

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace brevant::test {
namespace {

int Sh(const std::string& command) {
  int st = std::system(command.c_str());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool Write(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return bool(out);
}

// Qt draws the pictures; the test program has no application object.
void EnsureGui() {
  if (QCoreApplication::instance()) return;
  static int argc = 3;
  static char a0[] = "arrival", a1[] = "-platform", a2[] = "offscreen";
  static char* argv[] = {a0, a1, a2, nullptr};
  new QGuiApplication(argc, argv);
}

// Squares and frame on a page of w x h units; the squares are `side` wide.
// With `corner`, a bar lies in the top-left corner inside the frame.
void DrawMarks(QPainter& p, int w, int h, int squares, int side, int line, bool corner = false) {
  p.fillRect(0, 0, w, h, Qt::white);
  p.setPen(QPen(Qt::black, line));
  p.drawRect(line * 2, line * 2, w - line * 4, h - line * 4);
  const int gap = side / 3, total = squares * side + (squares - 1) * gap;
  for (int i = 0; i < squares; ++i)
    p.fillRect((w - total) / 2 + i * (side + gap), (h - side) / 2, side, side, Qt::black);
  if (corner) p.fillRect(line * 6, line * 6, side * 4 / 3, side / 3, Qt::black);
}

// A solid shape on a page: its box in 8 x 8 pixel cells, and how many
// cells it fills.
struct Shape {
  int x0, y0, x1, y1, cells;
  int Width() const { return x1 - x0 + 1; }
  int Height() const { return y1 - y0 + 1; }
};
constexpr int kCell = 8;

// The joined runs of black cells (at least 90 % black) on a page.
std::vector<Shape> SolidShapes(const faxsvc::FaxPage& page) {
  const int gw = page.width / kCell, gh = page.height / kCell;
  std::vector<char> solid(std::size_t(gw) * std::size_t(gh), 0);
  for (int gy = 0; gy < gh; ++gy)
    for (int gx = 0; gx < gw; ++gx) {
      int n = 0;
      for (int y = gy * kCell; y < gy * kCell + kCell; ++y)
        for (int x = gx * kCell; x < gx * kCell + kCell; ++x) n += page.Black(x, y);
      solid[std::size_t(gy) * std::size_t(gw) + std::size_t(gx)] = n >= kCell * kCell * 9 / 10;
    }
  std::vector<Shape> shapes;
  std::vector<std::pair<int, int>> stack;
  for (int start = 0; start < gw * gh; ++start) {
    if (!solid[std::size_t(start)]) continue;
    Shape s{gw, gh, 0, 0, 0};
    stack.push_back({start % gw, start / gw});
    solid[std::size_t(start)] = 0;
    while (!stack.empty()) {
      auto [x, y] = stack.back();
      stack.pop_back();
      ++s.cells;
      s.x0 = std::min(s.x0, x), s.x1 = std::max(s.x1, x), s.y0 = std::min(s.y0, y), s.y1 = std::max(s.y1, y);
      for (auto [dx, dy] : {std::pair{1, 0}, {-1, 0}, {0, 1}, {0, -1}}) {
        int nx = x + dx, ny = y + dy;
        if (nx < 0 || ny < 0 || nx >= gw || ny >= gh ||
            !solid[std::size_t(ny) * std::size_t(gw) + std::size_t(nx)])
          continue;
        solid[std::size_t(ny) * std::size_t(gw) + std::size_t(nx)] = 0;
        stack.push_back({nx, ny});
      }
    }
    shapes.push_back(s);
  }
  return shapes;
}

}  // namespace

std::string MarkedPdf(const std::string& path, const std::vector<PageSize>& pages) {
  std::ostringstream ps;
  ps << "%!PS\n"
        "/page { /N exch def /H exch def /W exch def\n"
        "  << /PageSize [W H] >> setpagedevice\n"
        "  2 setlinewidth newpath 10 10 moveto W 20 sub 0 rlineto 0 H 20 sub rlineto\n"
        "  W 20 sub neg 0 rlineto closepath stroke\n"
        "  /x0 W N 80 mul 20 sub sub 2 div def\n"
        "  0 1 N 1 sub { 80 mul x0 add H 60 sub 2 div 60 60 rectfill } for\n"
        "  24 H 44 sub 80 20 rectfill\n"
        "  showpage } def\n";
  for (std::size_t i = 0; i < pages.size(); ++i)
    ps << pages[i].width << ' ' << pages[i].height << ' ' << i + 1 << " page\n";
  const std::string src = path + ".ps";
  if (!Write(src, ps.str())) return "";
  if (Sh("gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -o '" + path + "' '" + src +
         "' >/dev/null 2>&1") != 0)
    return "";
  fs::remove(src);
  return path;
}

std::string MarkedText(const std::string& path, int pages) {
  // Capitals and digits only: no descender joins two lines.
  std::string text;
  for (int p = 1; p <= pages; ++p) {
    for (int l = 1; l <= 3 * p; ++l)
      text += "PAGE " + std::to_string(p) + " LINE " + std::to_string(l) + "\n";
    if (p < pages) text += "\f";
  }
  return Write(path, text) ? path : "";
}

std::string MarkedHtml(const std::string& path, int pages) {
  std::string html =
      "<!DOCTYPE html><html><head><meta charset='utf-8'><style>"
      "@page { size: A4; margin: 0 } body { margin: 0 }"
      ".p { width: 210mm; height: 296mm; box-sizing: border-box; border: 2pt solid #000; position: relative;"
      "     break-after: page } .p:last-child { break-after: auto }"
      ".row { position: absolute; top: 138mm; width: 100%; text-align: center }"
      ".s { display: inline-block; width: 0; height: 0; border: 10mm solid #000; margin: 0 3mm }"
      "</style></head><body>";
  for (int p = 1; p <= pages; ++p) {
    html += "<div class='p'><div class='row'>";
    for (int s = 0; s < p; ++s) html += "<span class='s'></span>";
    html += "</div></div>";
  }
  return Write(path, html + "</body></html>") ? path : "";
}

std::string MarkedWriter(const std::string& path, int pages) {
  // Flat ODF in double quotes: the office suite knows it by that text.
  std::string body;
  for (int p = 1; p <= pages; ++p) {
    body += std::string(R"(<text:p text:style-name=")") + (p == 1 ? "P1" : "P2") + R"(">)";
    for (int s = 0; s < p; ++s)
      body +=
          R"(<draw:rect draw:style-name="gr1" text:anchor-type="as-char" svg:width="2cm" svg:height="2cm"/><text:s text:c="6"/>)";
    body += "</text:p>";
  }
  const std::string fodt = R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
 xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.text">
<office:automatic-styles>
<style:page-layout style:name="pm1"><style:page-layout-properties fo:page-width="21cm" fo:page-height="29.7cm"
 fo:margin-top="0.5cm" fo:margin-bottom="0.5cm" fo:margin-left="0.5cm" fo:margin-right="0.5cm"
 fo:border="0.08cm solid #000000"/></style:page-layout>
<style:style style:name="gr1" style:family="graphic"><style:graphic-properties draw:fill="solid"
 draw:fill-color="#000000" draw:stroke="none"/></style:style>
<style:style style:name="P1" style:family="paragraph"><style:paragraph-properties fo:text-align="center"
 fo:margin-top="12cm"/></style:style>
<style:style style:name="P2" style:family="paragraph"><style:paragraph-properties fo:text-align="center"
 fo:margin-top="12cm" fo:break-before="page"/></style:style>
</office:automatic-styles>
<office:master-styles><style:master-page style:name="Standard" style:page-layout-name="pm1"/></office:master-styles>
<office:body><office:text>)" +
                           body + "</office:text></office:body></office:document>\n";
  const fs::path target(path);
  const std::string flat = (target.parent_path() / (target.stem().string() + ".fodt")).string();
  if (!Write(flat, fodt)) return "";
  const std::string profile = "file://" + (target.parent_path() / ".office-profile").string();
  if (Sh("soffice -env:UserInstallation=" + profile + " --headless --norestore --convert-to odt --outdir '" +
         target.parent_path().string() + "' '" + flat + "' >/dev/null 2>&1") != 0 ||
      !fs::exists(path))
    return "";
  return path;
}

std::string MarkedPicture(const std::string& path, int squares, const PageSize& size) {
  EnsureGui();
  // The page at 150 dpi.
  QImage image(int(size.width * 150 / 72 + 0.5), int(size.height * 150 / 72 + 0.5), QImage::Format_RGB32);
  QPainter p(&image);
  DrawMarks(p, image.width(), image.height(), squares, 130, 4, true);
  p.end();
  // An icon holds 256 pixels at most.
  if (fs::path(path).extension() == ".ico") image = image.scaledToHeight(256, Qt::SmoothTransformation);
  return image.save(QString::fromStdString(path)) ? path : "";
}

std::string MarkedTiff(const std::string& path, int pages) {
  EnsureGui();
  std::vector<faxsvc::FaxPage> out;
  for (int n = 1; n <= pages; ++n) {
    QImage image(1728, 2292, QImage::Format_Grayscale8);
    QPainter p(&image);
    DrawMarks(p, image.width(), image.height(), n, 170, 6);
    p.end();
    faxsvc::FaxPage& page = out.emplace_back();
    page.width = image.width();
    page.height = image.height();
    for (int y = 0; y < page.height; ++y)
      for (int x = 0; x < page.width; ++x) page.pixels.push_back(image.constScanLine(y)[x] < 128);
  }
  std::string why;
  return faxsvc::WriteFaxTiff(path, out, "", &why) ? path : "";
}

int Squares(const faxsvc::FaxPage& page) {
  // Shapes at least 64 pixels each way, about square and filled.
  int count = 0;
  for (const Shape& s : SolidShapes(page)) {
    const int w = s.Width(), h = s.Height();
    if (w >= 8 && h >= 8 && w * 10 >= h * 6 && h * 10 >= w * 6 && s.cells * 10 >= w * h * 8) ++count;
  }
  return count;
}

std::string MarkedCorner(const faxsvc::FaxPage& page) {
  // A filled bar at least three times as long as it is wide.
  std::string corner;
  for (const Shape& s : SolidShapes(page)) {
    const int longer = std::max(s.Width(), s.Height()), shorter = std::min(s.Width(), s.Height());
    if (shorter < 2 || longer < 3 * shorter || s.cells * 10 < s.Width() * s.Height() * 8) continue;
    if (!corner.empty()) return "";
    const bool top = (s.y0 + s.y1 + 1) * kCell < page.height, left = (s.x0 + s.x1 + 1) * kCell < page.width;
    corner = std::string(top ? "top" : "bottom") + (left ? " left" : " right");
  }
  return corner;
}

int TextLines(const faxsvc::FaxPage& page) {
  int lines = 0, run = 0;
  for (int y = 0; y <= page.height; ++y) {
    bool ink = false;
    for (int x = 0; y < page.height && x < page.width && !ink; ++x) ink = page.Black(x, y);
    if (ink) {
      ++run;
    } else {
      if (run >= 5) ++lines;
      run = 0;
    }
  }
  return lines;
}

std::vector<std::string> MissingSides(const faxsvc::FaxPage& page) {
  // A column (row) near its side black over 40 % of the page.
  auto any = [&](bool columns, int from, int to) {
    const int length = columns ? page.height : page.width;
    for (int i = from; i < to; ++i) {
      int n = 0;
      for (int j = 0; j < length; ++j) n += columns ? page.Black(i, j) : page.Black(j, i);
      if (n * 10 >= length * 4) return true;
    }
    return false;
  };
  const int w = page.width, h = page.height;
  std::vector<std::string> missing;
  if (!any(true, 0, w / 6)) missing.push_back("left");
  if (!any(true, w * 5 / 6, w)) missing.push_back("right");
  if (!any(false, 0, h / 6)) missing.push_back("top");
  if (!any(false, h * 5 / 6, h)) missing.push_back("bottom");
  return missing;
}

std::vector<std::string> InkOutsidePrintable(const faxsvc::FaxPage& page) {
  // A page sent at standard resolution has every other row.
  const int rows = page.yres < 150 ? 2 : 1, top = faxsvc::kPrintableTop / rows,
            bottom = (faxsvc::kPrintableTop + faxsvc::kPrintableHeight) / rows,
            right = faxsvc::kPrintableLeft + faxsvc::kPrintableWidth;
  std::set<std::string> outside;
  for (int y = 0; y < page.height; ++y)
    for (int x = 0; x < page.width; ++x)
      if (page.Black(x, y) && (y < top || y >= bottom || x < faxsvc::kPrintableLeft || x >= right))
        outside.insert(y < top                      ? "top"
                       : y >= bottom                ? "bottom"
                       : x < faxsvc::kPrintableLeft ? "left"
                                                    : "right");
  return {outside.begin(), outside.end()};
}

std::vector<faxsvc::FaxPage> FaxPagesOf(const std::string& pdf) {
  const std::string pbm = pdf + ".fax.pbm", tiff = pdf + ".fax.tif";
  std::vector<faxsvc::FaxPage> pages;
  std::string why;
  if (Sh("gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pbmraw -r204x196 -g" +
         std::to_string(faxsvc::kPrintableWidth) + "x" + std::to_string(faxsvc::kPrintableHeight) +
         " -dFIXEDMEDIA -dPDFFitPage -o '" + pbm + "' '" + pdf + "' >/dev/null 2>&1") == 0 &&
      faxsvc::PlacePrintablePages(pbm, tiff, &why))
    faxsvc::ReadFaxPages(tiff, &pages, &why);
  fs::remove(pbm);
  fs::remove(tiff);
  return pages;
}

double Difference(const faxsvc::FaxPage& a, const faxsvc::FaxPage& b, int slack) {
  if (a.width != b.width || a.height != b.height || a.width == 0) return 1.0;
  long best = -1;
  for (int dy = -slack; dy <= slack; ++dy)
    for (int dx = -slack; dx <= slack; ++dx) {
      long diff = 0;
      for (int y = slack; y < a.height - slack; ++y)
        for (int x = slack; x < a.width - slack; ++x) diff += a.Black(x, y) != b.Black(x + dx, y + dy);
      if (best < 0 || diff < best) best = diff;
    }
  return double(best) / (double(a.width) * a.height);
}

}  // namespace brevant::test
