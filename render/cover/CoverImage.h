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

// ViewCoverPage as a Qt image: the template with the sample data; problems
// are error records with the source "mRender.ViewCoverPage". A null image
// when nothing could be drawn.
QImage ViewCoverPageImage(const std::string& coverPath, int width, int height);

}  // namespace brevant::cover
