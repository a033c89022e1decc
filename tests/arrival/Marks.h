#pragma once
// Source documents whose pages carry marks a test finds again in the pages
// the far end received: page n shows n solid squares (its number, whatever
// the page was scaled or turned by), and a frame 10 pt inside its edges (a
// page cut at any side loses a line of it). Plain text cannot draw, so text
// page n has 3n lines instead.
#include <string>
#include <vector>

#include "platform/faxservice/FaxTiff.h"

namespace brevant::test {

// One source page: its size in points; its number is its place.
struct PageSize {
  double width = 595, height = 842;
};
inline const PageSize kA4{595, 842}, kA4Landscape{842, 595}, kLetter{612, 792}, kLegal{612, 1008},
    kA5{420, 595};

// The documents, written by Ghostscript, the office suite or Qt; "" when
// the tool failed. Each returns its path.
std::string MarkedPdf(const std::string& path, const std::vector<PageSize>& pages);
std::string MarkedText(const std::string& path, int pages);
std::string MarkedHtml(const std::string& path, int pages);
// A Writer document (".odt"), made from its flat XML by the office suite.
std::string MarkedWriter(const std::string& path, int pages);
// A picture of an A4 page (PNG, JPEG, BMP or ICO by the name's extension)
// with `squares` squares and the frame (too thin to see in an icon).
std::string MarkedPicture(const std::string& path, int squares);
// A fax TIFF of `pages` pages.
std::string MarkedTiff(const std::string& path, int pages);

// What a received page shows.
int Squares(const faxsvc::FaxPage& page);
int TextLines(const faxsvc::FaxPage& page);
// The sides ("left", "right", "top", "bottom") where the frame's line is
// missing; empty when the page arrived whole.
std::vector<std::string> MissingSides(const faxsvc::FaxPage& page);

// The pages of a PDF as the fax printer draws them (each fitted upright
// onto a fine fax page by Ghostscript); empty when it cannot be read.
std::vector<faxsvc::FaxPage> FaxPagesOf(const std::string& pdf);

// Share of differing pixels of two fax pages, after shifting b by up to
// `slack` pixels each way (the print system may place a page a pixel off).
double Difference(const faxsvc::FaxPage& a, const faxsvc::FaxPage& b, int slack = 2);

}  // namespace brevant::test
