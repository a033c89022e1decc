#pragma once
// Cover pages. A cover page template (".cov") is an SVG document whose texts
// carry the fax fields as placeholders, "{{RecName}}", "{{Subject}}" and so
// on (docs/cover-pages.md lists them). Filling a template replaces the
// placeholders in text content only, as text: a value can never add markup.
// Images (".bmp", ".jpg", ".png", ".gif", ".tif") serve as cover pages too.
//
// A template that cannot be used (not SVG, too large, no placeholders) is
// reported as an error record and replaced by the built-in layout, so a
// cover page always shows the fields that fit.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/emf/Emf.h"

namespace brevant::cover {

// Field name -> value. Names missing from the map read as "".
using CoverFields = std::map<std::string, std::string>;

// Every field name a template may use, in the order of the cover page
// information.
const std::vector<std::string>& FieldNames();

// The sample data shown in template previews.
CoverFields SampleFields();

// The current fax's fields as the fax image pipeline stored them for its
// cover page before printing it: recipient 1, subject, note and send time
// from the values "LastRecipientName", "LastRecipientNumber", "Subject",
// "Note" and "Sent" of "Software\Microsoft\Fax\UserInfo", the sender from
// the same key; the page count from the page files of spoolFolder plus the
// cover page itself. The cover page is drawn in another process than the
// one composing the fax, so the registry is the only source.
CoverFields JobFields(const std::string& spoolFolder);

// What went wrong while drawing a cover page; each problem is also written
// as an error record by the operations below.
struct Problem {
  long number = 0;
  std::string text;
};

// A 32-bit picture (0xAARRGGBB, rows top-down).
struct Picture {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;
};

// Size of a cover page at fax resolution: A4 at 204 x 196 dpi.
inline constexpr int kPageWidth = 1728;
inline constexpr int kPageHeight = 2292;

// Draws the template filled with fields onto a fax page (1728 pixels wide,
// 204 x 196 dpi, 1 bit). Returns false only when nothing could be drawn at
// all; problems are appended to *problems (may be null) and not logged.
bool RenderPage(const std::string& templatePath, const CoverFields& fields, emf::Page* page,
                std::vector<Problem>* problems);

// Draws the template filled with fields as a picture of width x height: the
// page fitted into it, centred on a light background.
bool RenderPicture(const std::string& templatePath, const CoverFields& fields, int width,
                   int height, Picture* picture, std::vector<Problem>* problems);

// The result of filling a template, for checks and tools.
struct FilledTemplate {
  std::string svg;        // the filled SVG document
  int placeholders = 0;   // placeholders found in text content
  std::vector<Problem> problems;
};
// Fills SVG text (already read) with fields; false when it is not usable
// SVG. baseFolder resolves relative image references.
bool FillTemplate(const std::string& svgText, const CoverFields& fields,
                  const std::string& baseFolder, FilledTemplate* out);

// The cover page of the current fax, drawn from the template named by
// "CoverPageFile" with JobFields, as "00000000.emf" in spoolFolder ("" =
// GetSpoolFolder()). False when no page was written; errors go to the error
// log ("mRender.DrawJobCoverPage").
bool DrawJobCoverPage(const std::string& spoolFolder = "");

// The template of the current fax: "CoverPageFile" of
// "Software\Microsoft\Fax\UserInfo".
std::string CurrentCoverTemplate();

// A cover page template (".cov", or an SVG document) rather than a picture.
bool IsCoverTemplate(const std::string& path);

// Writes a picture file (LoadPicture in CoverImage.h) as a PNG for the print
// system; false with *why when it is no picture that can be faxed.
bool SavePictureAsPng(const std::string& picturePath, const std::string& pngPath, std::string* why);

}  // namespace brevant::cover

namespace brevant::mRender {
// Draws the cover page filled with the sample data as a picture of
// width x height (the size of the caller's picture box). x and y are not
// used. Nothing when the file cannot be drawn at all; every problem is an
// error record with the source "mRender.ViewCoverPage". Also rewrites
// "DeviceCaps.log" in the program folder with the drawing surface's values.
std::optional<cover::Picture> ViewCoverPage(const std::string& coverPath, long x, long y,
                                            int width, int height);
}  // namespace brevant::mRender
