#pragma once
// The picture of a fax that mail items show inline: the first page of a
// TIFF as a grey JPEG at about 100 dots per inch (half a fax page's fine
// resolution), whatever the page's own resolution.
#include <string>

namespace brevant::render {

// The JPEG bytes of the first page of a TIFF.
bool JpegOfFirstPage(const std::string& tiffPath, std::string* jpeg, std::string* error);
// Writes "Fax.jpg" (or any path) of the first page of a TIFF, under a
// temporary name renamed into place, so a failed run leaves nothing.
bool WriteJpegOfFirstPage(const std::string& tiffPath, const std::string& jpgPath, std::string* error);

}  // namespace brevant::render
