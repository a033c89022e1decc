// The loaders of the libraries Brevant loads on first use.
#define BREVANT_LAZY_LOADER
#include <string>

#include "platform/error/Error.h"
#include "platform/lib/JpegApi.h"
#include "platform/lib/TiffApi.h"
#include "platform/lib/X11Api.h"

namespace brevant::platform {

BREVANT_LAZY_LIBRARY(Tiff, "libtiff.so.6", RTLD_NOW | RTLD_LOCAL, BREVANT_TIFF_FUNCTIONS)

const TiffApi& Tiff() {
  if (const TiffApi* api = TiffLibrary()) return *api;
  throw Error(kErrInvalidCall, "the TIFF library (libtiff.so.6) cannot be loaded");
}

BREVANT_LAZY_LIBRARY(Jpeg, "libjpeg.so.62", RTLD_NOW | RTLD_LOCAL, BREVANT_JPEG_FUNCTIONS)

const JpegApi& Jpeg() {
  if (const JpegApi* api = JpegLibrary()) return *api;
  throw Error(kErrInvalidCall, "the JPEG library (libjpeg.so.62) cannot be loaded");
}

BREVANT_LAZY_LIBRARY(X11, "libX11.so.6", RTLD_NOW | RTLD_LOCAL, BREVANT_X11_FUNCTIONS)

const X11Api& X11() {
  if (const X11Api* api = X11Library()) return *api;
  throw Error(kErrInvalidCall, "the X11 library (libX11.so.6) cannot be loaded");
}

}  // namespace brevant::platform
