#include "render/picture/FaxPicture.h"

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>

#include "faxservice/protocol/FaxTiff.h"
#include "platform/fs/Files.h"
#include "platform/fs/TempFiles.h"
#include "platform/lib/JpegApi.h"

namespace brevant::render {

using faxsvc::GreyPage;

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
  // A file's resolution is whatever it says: out of range is 72 dpi.
  auto density = [](double dpi) { return UINT16(dpi >= 1 && dpi <= 65535 ? dpi : 72); };
  cinfo.X_density = density(page.xdpi);
  cinfo.Y_density = density(page.ydpi);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row =
        const_cast<JSAMPROW>(page.pixels.data() + std::size_t(cinfo.next_scanline) * std::size_t(page.width));
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

// The page at about 100 dots per inch: enough to read it in a mail. Each
// picture pixel is the average of the page pixels around it, over twice
// the step between picture pixels, so the dither and halftone screens of
// photos and grey areas become smooth greys that JPEG keeps small (a
// full-resolution picture of a photo page is megabytes).
GreyPage Preview(const GreyPage& page) {
  auto step = [](double dpi) {
    return std::isfinite(dpi) ? static_cast<int>(std::clamp(dpi / 100.0, 1.0, 64.0) + 0.5) : 1;
  };
  const int fx = step(page.xdpi), fy = step(page.ydpi);
  if (fx == 1 && fy == 1) return page;
  GreyPage out;
  out.width = std::max(1, page.width / fx);
  out.height = std::max(1, page.height / fy);
  out.xdpi = page.xdpi / fx;
  out.ydpi = page.ydpi / fy;
  out.pixels.resize(std::size_t(out.width) * std::size_t(out.height));
  // Column sums over each picture column's window, one picture row at a time.
  std::vector<unsigned> sums(std::size_t(page.width));
  for (int oy = 0; oy < out.height; ++oy) {
    const int y0 = std::max(0, oy * fy - fy / 2), y1 = std::min(page.height, (oy + 1) * fy + (fy + 1) / 2);
    std::fill(sums.begin(), sums.end(), 0u);
    for (int y = y0; y < y1; ++y) {
      const std::uint8_t* row = page.pixels.data() + std::size_t(y) * std::size_t(page.width);
      for (int x = 0; x < page.width; ++x) sums[std::size_t(x)] += row[x];
    }
    for (int ox = 0; ox < out.width; ++ox) {
      const int x0 = std::max(0, ox * fx - fx / 2), x1 = std::min(page.width, (ox + 1) * fx + (fx + 1) / 2);
      unsigned total = 0;
      for (int x = x0; x < x1; ++x) total += sums[std::size_t(x)];
      const unsigned n = unsigned(std::max(1, (y1 - y0) * (x1 - x0)));
      out.pixels[std::size_t(oy) * std::size_t(out.width) + std::size_t(ox)] =
          static_cast<std::uint8_t>((total + n / 2) / n);
    }
  }
  return out;
}

}  // namespace

bool JpegOfFirstPage(const std::string& tiffPath, std::string* jpeg, std::string* error) {
  faxsvc::QuietLibTiff();
  faxsvc::TiffPageReader reader;
  GreyPage page;
  if (!reader.Open(tiffPath, error) || !reader.ReadPage(0, &page, error)) return false;
  faxsvc::GuessResolution(page);
  page = Preview(page);
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
  return platform::WriteFileAtomic(jpgPath, jpeg, platform::AtomicOptions(0666).PartName(), error);
}

}  // namespace brevant::render
