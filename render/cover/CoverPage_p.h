#pragma once
// Internals of the cover page library shared by its source files.
#include <string>

#include "render/cover/CoverDraw.h"

class QImage;
class QPainter;
class QRectF;

namespace brevant::cover::detail {

// Text measuring and drawing need a GUI application object. A program that
// has none (the console tool) gets an off-screen one here; false when
// another kind of application object already exists.
bool EnsureGuiApplication();

// The built-in cover page, used when a template cannot be used.
const std::string& BuiltinTemplate();

// Templates larger than this are refused.
inline constexpr std::size_t kMaxTemplateBytes = 4 * 1024 * 1024;
// Elements nest at most this deep in a template.
inline constexpr int kMaxTemplateNesting = 100;

// Paints the cover page into target on painter; false when nothing could
// be painted.
bool PaintCover(const std::string& templatePath, const CoverFields& fields, QPainter& painter,
                const QRectF& target, std::vector<Problem>* problems);

// The program's side (CoverRender.cpp): rewrites "DeviceCaps.log" in the
// program folder for a drawing surface, and writes problems as error
// records under source.
void WriteDeviceCapsLog(int width, int height);
void LogProblems(const std::vector<Problem>& problems, const std::string& source);

bool IsImageFile(const std::string& path);
std::string Lower(std::string s);

}  // namespace brevant::cover::detail
