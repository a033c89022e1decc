#include "platform/emf/Emf.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/fs/Files.h"

namespace brevant::emf {
namespace {

constexpr std::uint32_t EMR_HEADER = 1;
constexpr std::uint32_t EMR_EOF = 14;
constexpr std::uint32_t EMR_STRETCHDIBITS = 81;
constexpr std::uint32_t kSignature = 0x464D4520;  // " EMF"
constexpr std::uint32_t kHeaderSize = 108;
constexpr std::uint32_t kStretchFixed = 80;
constexpr std::uint32_t kBmiSize = 40 + 8;  // BITMAPINFOHEADER + two palette entries

void Put32(std::string& s, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(char((v >> (8 * i)) & 0xFF));
}
void Put16(std::string& s, std::uint16_t v) {
  s.push_back(char(v & 0xFF));
  s.push_back(char(v >> 8));
}
std::uint32_t Get32(std::string_view d, std::size_t off) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(d[off + std::size_t(i)]);
  return v;
}
std::uint16_t Get16(std::string_view d, std::size_t off) {
  return std::uint16_t(static_cast<unsigned char>(d[off]) | (static_cast<unsigned char>(d[off + 1]) << 8));
}

}  // namespace

long PageFileNumber(std::string_view name) {
  if (name.size() != 12 || name[8] != '.') return -1;
  long n = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    n = n * 10 + (name[i] - '0');
  }
  for (std::size_t i = 9; i < 12; ++i)
    if (std::tolower(static_cast<unsigned char>(name[i])) != "emf"[i - 9]) return -1;
  return n;
}

std::size_t Page::BlackCount() const {
  std::size_t n = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) n += Black(x, y) ? 1 : 0;
  return n;
}

std::string Encode(const Page& p) {
  const std::uint32_t dibStride = std::uint32_t((p.width + 31) / 32) * 4;
  const std::uint32_t bitsSize = dibStride * std::uint32_t(p.height);
  const std::uint32_t stretchSize = kStretchFixed + kBmiSize + bitsSize;
  const std::uint32_t total = kHeaderSize + stretchSize + 20;
  const std::int32_t w = p.width, h = p.height;
  // Page size in 0.01 mm and mm, from the resolution.
  const std::int32_t frameW = std::int32_t(double(w) / p.xdpi * 2540.0);
  const std::int32_t frameH = std::int32_t(double(h) / p.ydpi * 2540.0);

  std::string s;
  s.reserve(total);
  // EMR_HEADER
  Put32(s, EMR_HEADER);
  Put32(s, kHeaderSize);
  Put32(s, 0);
  Put32(s, 0);
  Put32(s, std::uint32_t(w - 1));
  Put32(s, std::uint32_t(h - 1));  // rclBounds
  Put32(s, 0);
  Put32(s, 0);
  Put32(s, std::uint32_t(frameW - 1));
  Put32(s, std::uint32_t(frameH - 1));  // rclFrame
  Put32(s, kSignature);
  Put32(s, 0x10000);  // version
  Put32(s, total);    // nBytes
  Put32(s, 3);        // nRecords
  Put16(s, 1);        // nHandles
  Put16(s, 0);        // reserved
  Put32(s, 0);
  Put32(s, 0);  // no description
  Put32(s, 0);  // no palette
  Put32(s, std::uint32_t(w));
  Put32(s, std::uint32_t(h));  // szlDevice
  Put32(s, std::uint32_t(frameW / 100));
  Put32(s, std::uint32_t(frameH / 100));  // szlMillimeters
  Put32(s, 0);
  Put32(s, 0);
  Put32(s, 0);  // no pixel format, no OpenGL
  Put32(s, std::uint32_t(frameW * 10));
  Put32(s, std::uint32_t(frameH * 10));  // szlMicrometers
  // EMR_STRETCHDIBITS
  Put32(s, EMR_STRETCHDIBITS);
  Put32(s, stretchSize);
  Put32(s, 0);
  Put32(s, 0);
  Put32(s, std::uint32_t(w - 1));
  Put32(s, std::uint32_t(h - 1));  // rclBounds
  Put32(s, 0);
  Put32(s, 0);  // xDest, yDest
  Put32(s, 0);
  Put32(s, 0);  // xSrc, ySrc
  Put32(s, std::uint32_t(w));
  Put32(s, std::uint32_t(h));  // cxSrc, cySrc
  Put32(s, kStretchFixed);
  Put32(s, kBmiSize);
  Put32(s, kStretchFixed + kBmiSize);
  Put32(s, bitsSize);
  Put32(s, 0);           // DIB_RGB_COLORS
  Put32(s, 0x00CC0020);  // SRCCOPY
  Put32(s, std::uint32_t(w));
  Put32(s, std::uint32_t(h));  // cxDest, cyDest
  // BITMAPINFOHEADER: bottom-up, 1 bit, palette white (0) and black (1).
  Put32(s, 40);
  Put32(s, std::uint32_t(w));
  Put32(s, std::uint32_t(h));
  Put16(s, 1);
  Put16(s, 1);
  Put32(s, 0);  // BI_RGB
  Put32(s, bitsSize);
  Put32(s, std::uint32_t(p.xdpi * 10000 / 254));  // pixels per metre
  Put32(s, std::uint32_t(p.ydpi * 10000 / 254));
  Put32(s, 2);
  Put32(s, 2);
  Put32(s, 0x00FFFFFF);
  Put32(s, 0x00000000);
  const std::size_t stride = p.Stride();
  for (int y = h - 1; y >= 0; --y) {
    s.append(reinterpret_cast<const char*>(p.bits.data()) + std::size_t(y) * stride, stride);
    s.append(dibStride - stride, '\0');
  }
  // EMR_EOF
  Put32(s, EMR_EOF);
  Put32(s, 20);
  Put32(s, 0);
  Put32(s, 16);
  Put32(s, 20);
  return s;
}

bool Decode(std::string_view d, Page* p, std::string* error) {
  auto fail = [&](const std::string& why) {
    *error = why;
    return false;
  };
  if (d.size() < 88 || Get32(d, 0) != EMR_HEADER || Get32(d, 40) != kSignature)
    return fail("not an enhanced metafile");
  std::size_t off = 0;
  while (off + 8 <= d.size()) {
    std::uint32_t type = Get32(d, off), size = Get32(d, off + 4);
    if (size < 8 || size % 4 || off + size > d.size())
      return fail("damaged record at offset " + std::to_string(off));
    if (type == EMR_EOF) break;
    if (type == EMR_STRETCHDIBITS && size >= kStretchFixed) {
      std::string_view r = d.substr(off, size);
      // Offsets and sizes come from the file: every sum is taken in 64 bits
      // so that none of them can wrap around and pass a bounds check.
      const std::uint64_t rsize = size;
      const std::uint64_t offBmi = Get32(r, 48), cbBmi = Get32(r, 52), offBits = Get32(r, 56),
                          cbBits = Get32(r, 60);
      if (offBmi + 40 > rsize || offBmi + cbBmi > rsize || offBits + cbBits > rsize)
        return fail("bitmap outside its record");
      std::int32_t w = std::int32_t(Get32(r, offBmi + 4)), h = std::int32_t(Get32(r, offBmi + 8));
      std::uint16_t bpp = Get16(r, offBmi + 14);
      std::uint32_t compression = Get32(r, offBmi + 16);
      std::uint32_t ppmX = Get32(r, offBmi + 24), ppmY = Get32(r, offBmi + 28);
      bool topDown = h < 0;
      if (topDown) h = h == INT32_MIN ? 0 : -h;
      if (w <= 0 || h <= 0 || w > 20000 || h > 40000) return fail("bitmap size out of range");
      if (compression != 0) return fail("compressed bitmaps are not supported");
      if (bpp != 1 && bpp != 8 && bpp != 24 && bpp != 32)
        return fail("unsupported bits per pixel: " + std::to_string(bpp));
      std::uint64_t dibStride = (std::uint64_t(w) * bpp + 31) / 32 * 4;
      if (dibStride * std::uint64_t(h) > cbBits) return fail("bitmap data too short");
      const std::uint64_t hdr = Get32(r, offBmi);
      const std::uint64_t clrUsed = Get32(r, offBmi + 32);
      // A palette has at most one entry per pixel value.
      if (bpp <= 8 && clrUsed > (1u << bpp)) return fail("palette larger than the bitmap's colours");
      const std::uint32_t palCount = bpp <= 8 ? std::uint32_t(clrUsed ? clrUsed : (1u << bpp)) : 0;
      if (hdr < 40 || offBmi + hdr + std::uint64_t(palCount) * 4 > rsize)
        return fail("palette outside its record");
      // Luminance of each palette entry decides black or white.
      std::vector<std::uint8_t> palBlack(palCount);
      for (std::uint32_t i = 0; i < palCount; ++i) {
        std::uint32_t c = Get32(r, offBmi + hdr + i * 4);
        int lum = (int(c & 0xFF) * 114 + int((c >> 8) & 0xFF) * 587 + int((c >> 16) & 0xFF) * 299) / 1000;
        palBlack[i] = lum < 128;
      }
      p->Resize(w, h);
      // Pixels per metre to dots per inch; nonsense resolutions are taken
      // as the fax's own.
      auto dpi = [](std::uint32_t ppm, int fallback) {
        std::uint64_t v = (std::uint64_t(ppm) * 254 + 5000) / 10000;
        return v >= 20 && v <= 2400 ? int(v) : fallback;
      };
      p->xdpi = dpi(ppmX, 204);
      p->ydpi = dpi(ppmY, 196);
      const char* bits = r.data() + offBits;
      if (bpp == 1) {
        // A whole byte of eight pixels at a time: each output bit is the
        // source bit, its inverse, or constant, by the two palette entries.
        const bool black0 = 0 < palCount ? palBlack[0] : true;
        const bool black1 = 1 < palCount ? palBlack[1] : false;
        const std::size_t stride = p->Stride();
        const int spare = int(stride * 8) - w;
        const std::uint8_t lastMask = std::uint8_t(0xFF << spare);
        for (int y = 0; y < h; ++y) {
          const unsigned char* src = reinterpret_cast<const unsigned char*>(bits) +
                                     dibStride * std::uint64_t(topDown ? y : h - 1 - y);
          std::uint8_t* dst = p->bits.data() + std::size_t(y) * stride;
          if (black1 && !black0) {
            std::memcpy(dst, src, stride);
          } else {
            for (std::size_t i = 0; i < stride; ++i)
              dst[i] = std::uint8_t((black1 ? src[i] : 0) | (black0 ? ~src[i] : 0));
          }
          dst[stride - 1] &= lastMask;  // the row's padding bits stay white
        }
        return true;
      }
      for (int y = 0; y < h; ++y) {
        const unsigned char* src =
            reinterpret_cast<const unsigned char*>(bits) + dibStride * std::uint64_t(topDown ? y : h - 1 - y);
        for (int x = 0; x < w; ++x) {
          bool black;
          if (bpp == 8) {
            std::uint32_t idx = src[x];
            black = idx < palCount ? palBlack[idx] : idx < 128;
          } else {
            const unsigned char* px = src + std::size_t(x) * (bpp / 8);
            black = (px[0] * 114 + px[1] * 587 + px[2] * 299) / 1000 < 128;
          }
          if (black) p->SetBlack(x, y);
        }
      }
      return true;
    }
    off += size;
  }
  return fail("no bitmap in the metafile");
}

namespace {

// Spool pages are not synced: a crash loses the print job they belong to
// anyway, and a job may have hundreds of them.
bool WriteNew(int dirFd, const std::string& name, const std::string& shown, const Page& page,
              std::string* error) {
  std::string data = Encode(page);
  const auto options = platform::AtomicOptions(0644).Sync(false).PartName();
  platform::AtomicFile file;
  bool begun =
      dirFd == AT_FDCWD ? file.Begin(name, options, error) : file.BeginAt(dirFd, name, shown, options, error);
  return begun && file.Write(data, error) && file.Commit(error);
}

}  // namespace

bool WriteFile(const std::string& path, const Page& page, std::string* error) {
  return WriteNew(AT_FDCWD, path, path, page, error);
}

bool WriteFileAt(int dirFd, const std::string& name, const Page& page, std::string* error) {
  return WriteNew(dirFd, name, name, page, error);
}

bool ReadFile(const std::string& path, Page* page, std::string* error) {
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (!fd || ::fstat(fd.get(), &st) != 0) {
    *error = path + ": cannot open";
    return false;
  }
  // Read straight into one buffer of the file's size.
  std::string data(std::size_t(st.st_size), '\0');
  std::size_t got = 0;
  while (got < data.size()) {
    ssize_t n = ::read(fd.get(), data.data() + got, data.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += std::size_t(n);
  }
  fd.reset();
  data.resize(got);
  if (!Decode(data, page, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace brevant::emf
