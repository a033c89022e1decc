// The loaders of the libraries Brevant loads on first use.
#define BREVANT_LAZY_LOADER
#include <stdexcept>
#include <string>

#include "platform/lib/TiffApi.h"
#include "platform/lib/JpegApi.h"
#include "platform/lib/X11Api.h"

namespace brevant::platform {

const TiffApi* TiffLibrary() {
  static const TiffApi* api = []() -> const TiffApi* {
    void* lib = ::dlopen("libtiff.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return nullptr;
    static TiffApi table;
    bool ok = true;
    BREVANT_TIFF_FUNCTIONS(BREVANT_LAZY_LOAD)
    return ok ? &table : nullptr;
  }();
  return api;
}

const TiffApi& Tiff() {
  if (const TiffApi* api = TiffLibrary()) return *api;
  throw std::runtime_error("the TIFF library (libtiff.so.6) cannot be loaded");
}

const JpegApi* JpegLibrary() {
  static const JpegApi* api = []() -> const JpegApi* {
    void* lib = ::dlopen("libjpeg.so.62", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return nullptr;
    static JpegApi table;
    bool ok = true;
    BREVANT_JPEG_FUNCTIONS(BREVANT_LAZY_LOAD)
    return ok ? &table : nullptr;
  }();
  return api;
}

const JpegApi& Jpeg() {
  if (const JpegApi* api = JpegLibrary()) return *api;
  throw std::runtime_error("the JPEG library (libjpeg.so.62) cannot be loaded");
}

const X11Api* X11Library() {
  static const X11Api* api = []() -> const X11Api* {
    void* lib = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return nullptr;
    static X11Api table;
    bool ok = true;
    BREVANT_X11_FUNCTIONS(BREVANT_LAZY_LOAD)
    return ok ? &table : nullptr;
  }();
  return api;
}

const X11Api& X11() {
  if (const X11Api* api = X11Library()) return *api;
  throw std::runtime_error("the X11 library (libX11.so.6) cannot be loaded");
}

}  // namespace brevant::platform
