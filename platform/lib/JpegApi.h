#pragma once
// The functions of libjpeg.so.62 that Brevant calls (a fax's page picture), loaded on
// first use (platform/lib/LazyLibrary.h). Include this instead of the
// library's own header: each name below then calls through the table.
// clang-format off
#include <cstdio>  // before jpeglib.h, which uses FILE
#include <jpeglib.h>
// clang-format on

#include "platform/lib/LazyLibrary.h"

#define BREVANT_JPEG_FUNCTIONS(X) \
  X(jpeg_CreateCompress)          \
  X(jpeg_destroy_compress)        \
  X(jpeg_finish_compress)         \
  X(jpeg_mem_dest)                \
  X(jpeg_set_defaults)            \
  X(jpeg_set_quality)             \
  X(jpeg_start_compress)          \
  X(jpeg_std_error)               \
  X(jpeg_write_scanlines)

namespace brevant::platform {

struct JpegApi {
  BREVANT_JPEG_FUNCTIONS(BREVANT_LAZY_MEMBER)
};

// The loaded table, or nullptr when libjpeg.so.62 cannot be loaded.
const JpegApi* JpegLibrary();
// The loaded table; throws std::runtime_error when it cannot be loaded.
const JpegApi& Jpeg();

}  // namespace brevant::platform

#ifndef BREVANT_LAZY_LOADER
#define jpeg_CreateCompress (::brevant::platform::Jpeg().jpeg_CreateCompress)
#define jpeg_destroy_compress (::brevant::platform::Jpeg().jpeg_destroy_compress)
#define jpeg_finish_compress (::brevant::platform::Jpeg().jpeg_finish_compress)
#define jpeg_mem_dest (::brevant::platform::Jpeg().jpeg_mem_dest)
#define jpeg_set_defaults (::brevant::platform::Jpeg().jpeg_set_defaults)
#define jpeg_set_quality (::brevant::platform::Jpeg().jpeg_set_quality)
#define jpeg_start_compress (::brevant::platform::Jpeg().jpeg_start_compress)
#define jpeg_std_error (::brevant::platform::Jpeg().jpeg_std_error)
#define jpeg_write_scanlines (::brevant::platform::Jpeg().jpeg_write_scanlines)
#endif
