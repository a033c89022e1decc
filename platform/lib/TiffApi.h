#pragma once
// The functions of libtiff.so.6 that Brevant calls (fax TIFF files), loaded on
// first use (platform/lib/LazyLibrary.h). Include this instead of the
// library's own header: each name below then calls through the table.
#include <tiffio.h>

#include "platform/lib/LazyLibrary.h"

#define BREVANT_TIFF_FUNCTIONS(X) \
  X(TIFFClose)                    \
  X(TIFFDefaultStripSize)         \
  X(TIFFFdOpen)                   \
  X(TIFFGetField)                 \
  X(TIFFGetFieldDefaulted)        \
  X(TIFFIsTiled)                  \
  X(TIFFNumberOfDirectories)      \
  X(TIFFOpen)                     \
  X(TIFFNumberOfStrips)           \
  X(TIFFRGBAImageOK)              \
  X(TIFFRawStripSize)             \
  X(TIFFReadDirectory)            \
  X(TIFFReadRawStrip)             \
  X(TIFFReadRGBAImageOriented)    \
  X(TIFFReadScanline)             \
  X(TIFFRewriteDirectory)         \
  X(TIFFScanlineSize)             \
  X(TIFFSetDirectory)             \
  X(TIFFSetErrorHandler)          \
  X(TIFFSetField)                 \
  X(TIFFSetWarningHandler)        \
  X(TIFFWriteDirectory)           \
  X(TIFFWriteEncodedStrip)        \
  X(TIFFWriteRawStrip)            \
  X(TIFFWriteScanline)

namespace brevant::platform {

struct TiffApi {
  BREVANT_TIFF_FUNCTIONS(BREVANT_LAZY_MEMBER)
};

// The loaded table, or nullptr when libtiff.so.6 cannot be loaded.
const TiffApi* TiffLibrary();
// The loaded table; throws std::runtime_error when it cannot be loaded.
const TiffApi& Tiff();

}  // namespace brevant::platform

#ifndef BREVANT_LAZY_LOADER
#define TIFFClose (::brevant::platform::Tiff().TIFFClose)
#define TIFFDefaultStripSize (::brevant::platform::Tiff().TIFFDefaultStripSize)
#define TIFFFdOpen (::brevant::platform::Tiff().TIFFFdOpen)
#define TIFFGetField (::brevant::platform::Tiff().TIFFGetField)
#define TIFFGetFieldDefaulted (::brevant::platform::Tiff().TIFFGetFieldDefaulted)
#define TIFFIsTiled (::brevant::platform::Tiff().TIFFIsTiled)
#define TIFFNumberOfDirectories (::brevant::platform::Tiff().TIFFNumberOfDirectories)
#define TIFFOpen (::brevant::platform::Tiff().TIFFOpen)
#define TIFFRGBAImageOK (::brevant::platform::Tiff().TIFFRGBAImageOK)
#define TIFFReadDirectory (::brevant::platform::Tiff().TIFFReadDirectory)
#define TIFFReadRGBAImageOriented (::brevant::platform::Tiff().TIFFReadRGBAImageOriented)
#define TIFFReadScanline (::brevant::platform::Tiff().TIFFReadScanline)
#define TIFFRewriteDirectory (::brevant::platform::Tiff().TIFFRewriteDirectory)
#define TIFFScanlineSize (::brevant::platform::Tiff().TIFFScanlineSize)
#define TIFFSetDirectory (::brevant::platform::Tiff().TIFFSetDirectory)
#define TIFFSetErrorHandler (::brevant::platform::Tiff().TIFFSetErrorHandler)
#define TIFFSetField (::brevant::platform::Tiff().TIFFSetField)
#define TIFFSetWarningHandler (::brevant::platform::Tiff().TIFFSetWarningHandler)
#define TIFFWriteDirectory (::brevant::platform::Tiff().TIFFWriteDirectory)
#define TIFFWriteEncodedStrip (::brevant::platform::Tiff().TIFFWriteEncodedStrip)
#define TIFFWriteScanline (::brevant::platform::Tiff().TIFFWriteScanline)
#define TIFFNumberOfStrips (::brevant::platform::Tiff().TIFFNumberOfStrips)
#define TIFFRawStripSize (::brevant::platform::Tiff().TIFFRawStripSize)
#define TIFFReadRawStrip (::brevant::platform::Tiff().TIFFReadRawStrip)
#define TIFFWriteRawStrip (::brevant::platform::Tiff().TIFFWriteRawStrip)
#endif
