#include "tools/quorrender/FaxPicture.h"

#include <csetjmp>
#include <cstdlib>
#include <filesystem>

#include "platform/fs/TempFiles.h"
#include "platform/lib/JpegApi.h"
#include "tools/quorrender/FaxTiff.h"

namespace fs = std::filesystem;

namespace brevant::quor {
namespace {

struct JpegError {
  jpeg_error_mgr mgr;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void JpegErrorExit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<JpegError*>(cinfo->err);
  (*cinfo->err->format_message)(cinfo, err->message);
  std::longjmp(err->jump, 1);
}

// Kept free of objects with destructors: libjpeg reports errors by
// jumping out of its calls.
bool EncodeJpeg(const GreyPage& page, unsigned char** out, unsigned long* outSize, char* message) {
  jpeg_compress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = JpegErrorExit;
  err.message[0] = 0;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", err.message);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_mem_dest(&cinfo, out, outSize);
  cinfo.image_width = JDIMENSION(page.width);
  cinfo.image_height = JDIMENSION(page.height);
  cinfo.input_components = 1;
  cinfo.in_color_space = JCS_GRAYSCALE;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 80, TRUE);
  cinfo.density_unit = 1;  // dots per inch
  cinfo.X_density = UINT16(page.xdpi > 0 ? page.xdpi : 72);
  cinfo.Y_density = UINT16(page.ydpi > 0 ? page.ydpi : 72);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(page.pixels.data() + std::size_t(cinfo.next_scanline) * std::size_t(page.width));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

}  // namespace

bool JpegOfFirstPage(const std::string& tiffPath, std::string* jpeg, std::string* error) {
  QuietLibTiff();
  TiffPageReader reader;
  GreyPage page;
  if (!reader.Open(tiffPath, error) || !reader.ReadPage(0, &page, error)) return false;
  unsigned char* buf = nullptr;
  unsigned long size = 0;
  char message[JMSG_LENGTH_MAX] = "";
  const bool ok = EncodeJpeg(page, &buf, &size, message);
  if (ok) jpeg->assign(reinterpret_cast<const char*>(buf), size);
  std::free(buf);
  if (!ok) *error = std::string("cannot encode the picture: ") + message;
  return ok;
}

bool WriteJpegOfFirstPage(const std::string& tiffPath, const std::string& jpgPath, std::string* error) {
  std::string jpeg;
  if (!JpegOfFirstPage(tiffPath, &jpeg, error)) return false;
  const std::string tmp = jpgPath + ".part";
  if (!platform::WriteFreshFile(tmp, jpeg, 0666, error)) return false;
  std::error_code ec;
  fs::rename(tmp, jpgPath, ec);
  if (ec) {
    *error = "cannot write " + jpgPath + ": " + ec.message();
    fs::remove(tmp, ec);
    return false;
  }
  return true;
}

}  // namespace brevant::quor
