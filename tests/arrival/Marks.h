#pragma once
// Documents whose page n shows n solid squares and a frame 10 pt inside its
// edges (a cut page loses a line of it); text page n has 3n lines instead.
// PDF pages and pictures also show a bar in their top-left corner, which
// tells where a page's top went.
#include <string>
#include <vector>

#include "faxservice/protocol/FaxTiff.h"

namespace brevant::test {

// One source page: its size in points; its number is its place.
struct PageSize {
  double width = 595, height = 842;
};
inline const PageSize kA4{595, 842}, kA4Landscape{842, 595}, kLetter{612, 792}, kLegal{612, 1008},
    kA5{420, 595};

// Each returns its path, "" when the tool failed.
std::string MarkedPdf(const std::string& path, const std::vector<PageSize>& pages);
std::string MarkedText(const std::string& path, int pages);
std::string MarkedHtml(const std::string& path, int pages);
// A Writer document (".odt"), made from its flat XML by the office suite.
std::string MarkedWriter(const std::string& path, int pages);
// A picture of a page (by extension) with `squares` squares, the frame and
// the corner bar.
std::string MarkedPicture(const std::string& path, int squares, const PageSize& size = kA4);
std::string MarkedTiff(const std::string& path, int pages);

// What a received page shows.
int Squares(const faxsvc::FaxPage& page);
int TextLines(const faxsvc::FaxPage& page);
// The fax page's corner ("top left", "bottom left", ...) that holds the
// corner bar; "" when there is none, or more than one.
std::string MarkedCorner(const faxsvc::FaxPage& page);
// The sides ("left", ...) where the frame's line is missing.
std::vector<std::string> MissingSides(const faxsvc::FaxPage& page);
// The sides where ink lies outside the printable area (under the header
// band at the top, or in the margins a fax machine may lose).
std::vector<std::string> InkOutsidePrintable(const faxsvc::FaxPage& page);

// The pages of a PDF as the fax printer draws them.
std::vector<faxsvc::FaxPage> FaxPagesOf(const std::string& pdf);

// Share of differing pixels, b shifted up to `slack` pixels each way.
double Difference(const faxsvc::FaxPage& a, const faxsvc::FaxPage& b, int slack = 2);

}  // namespace brevant::test
