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
//
// The drawing itself (CoverDraw.h) knows nothing of the program's settings;
// this header adds the program's side: the current fax's fields and
// template from its settings, previews, and error records.
#include <optional>
#include <string>

#include "render/cover/CoverDraw.h"

namespace brevant::cover {

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
std::optional<cover::Picture> ViewCoverPage(const std::string& coverPath, long x, long y, int width,
                                            int height);
}  // namespace brevant::mRender
