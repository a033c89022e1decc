#pragma once
// Drawing cover pages: a template (an SVG document whose texts carry the
// fax fields as placeholders, "{{RecName}}", or a picture) filled with
// field values, drawn as a fax page or a picture. Qt Gui and Svg only: no
// program settings, no error log, no windows, so that the fax service's own
// cover sheet is drawn by the same code as the program's cover pages
// (CoverPage.h has the program's side).
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/emf/Emf.h"

namespace brevant::cover {

// Field name -> value. Names missing from the map read as "".
using CoverFields = std::map<std::string, std::string>;

// Every field name a template may use, in the order of the cover page
// information.
const std::vector<std::string>& FieldNames();

// What went wrong while drawing a cover page (the program's error number
// and a text); the program writes each as an error record.
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
// 204 x 196 dpi, 1 bit). A template that cannot be used, or none (""),
// gives the built-in cover page: every field as a plain list. Returns false
// only when nothing could be drawn at all; problems are appended to
// *problems (may be null).
bool RenderPage(const std::string& templatePath, const CoverFields& fields, emf::Page* page,
                std::vector<Problem>* problems);

// Draws the template filled with fields as a picture of width x height: the
// page fitted into it, centred on a light background.
bool RenderPicture(const std::string& templatePath, const CoverFields& fields, int width, int height,
                   Picture* picture, std::vector<Problem>* problems);

// The result of filling a template, for checks and tools.
struct FilledTemplate {
  std::string svg;       // the filled SVG document
  int placeholders = 0;  // placeholders found in text content
  std::vector<Problem> problems;
};
// Fills SVG text (already read) with fields; false when it is not usable
// SVG. baseFolder resolves relative image references.
bool FillTemplate(const std::string& svgText, const CoverFields& fields, const std::string& baseFolder,
                  FilledTemplate* out);
}  // namespace brevant::cover
