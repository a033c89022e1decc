#pragma once
// Cover page pictures as Qt images, for the windows that show a preview.
// Only window code includes this header; the rest of the system uses
// CoverPage.h.
#include <QImage>
#include <QSize>
#include <string>
#include <vector>

#include "render/cover/CoverPage.h"

namespace brevant::cover {

// The page fitted into size, centred on a light background.
QImage RenderCoverImage(const std::string& templatePath, const CoverFields& fields, QSize size,
                        std::vector<Problem>* problems);

// A fax page as a black and white image.
QImage PageImage(const emf::Page& page);

// A picture file as an image: what Qt reads (BMP, RLE bitmaps, ICO, GIF,
// JPEG, PNG, TIFF, ...) and EMF files that hold one bitmap. A null image
// with *why (a sentence for the user) when the file is no such picture.
QImage LoadPicture(const std::string& path, std::string* why);

// ViewCoverPage as a Qt image: the template with the sample data; problems
// are error records with the source "mRender.ViewCoverPage". A null image
// when nothing could be drawn.
QImage ViewCoverPageImage(const std::string& coverPath, int width, int height);

// The cover page's preview in the cover page windows: a page printed
// beforehand (".emf") shrunk into size, else the template drawn with the
// sample data (ViewCoverPageImage). A null image when nothing could be
// drawn; problems are error records under source.
QImage CoverPreview(const std::string& coverPath, QSize size, const std::string& source);

}  // namespace brevant::cover
