#include "platform/emf/Emf.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

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
  Put32(s, 0); Put32(s, 0); Put32(s, std::uint32_t(w - 1)); Put32(s, std::uint32_t(h - 1));  // rclBounds
  Put32(s, 0); Put32(s, 0); Put32(s, std::uint32_t(frameW - 1)); Put32(s, std::uint32_t(frameH - 1));  // rclFrame
  Put32(s, kSignature);
  Put32(s, 0x10000);  // version
  Put32(s, total);    // nBytes
  Put32(s, 3);        // nRecords
  Put16(s, 1);        // nHandles
  Put16(s, 0);        // reserved
  Put32(s, 0); Put32(s, 0);  // no description
  Put32(s, 0);               // no palette
  Put32(s, std::uint32_t(w)); Put32(s, std::uint32_t(h));                        // szlDevice
  Put32(s, std::uint32_t(frameW / 100)); Put32(s, std::uint32_t(frameH / 100));  // szlMillimeters
  Put32(s, 0); Put32(s, 0); Put32(s, 0);                                         // no pixel format, no OpenGL
  Put32(s, std::uint32_t(frameW * 10)); Put32(s, std::uint32_t(frameH * 10));    // szlMicrometers
  // EMR_STRETCHDIBITS
  Put32(s, EMR_STRETCHDIBITS);
  Put32(s, stretchSize);
  Put32(s, 0); Put32(s, 0); Put32(s, std::uint32_t(w - 1)); Put32(s, std::uint32_t(h - 1));  // rclBounds
  Put32(s, 0); Put32(s, 0);  // xDest, yDest
  Put32(s, 0); Put32(s, 0);  // xSrc, ySrc
  Put32(s, std::uint32_t(w)); Put32(s, std::uint32_t(h));  // cxSrc, cySrc
  Put32(s, kStretchFixed); Put32(s, kBmiSize);
  Put32(s, kStretchFixed + kBmiSize); Put32(s, bitsSize);
  Put32(s, 0);           // DIB_RGB_COLORS
  Put32(s, 0x00CC0020);  // SRCCOPY
  Put32(s, std::uint32_t(w)); Put32(s, std::uint32_t(h));  // cxDest, cyDest
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
  std::string row(dibStride, '\0');
  for (int y = h - 1; y >= 0; --y) {
    std::memcpy(row.data(), p.bits.data() + std::size_t(y) * stride, stride);
    std::memset(row.data() + stride, 0, dibStride - stride);
    s += row;
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
    if (size < 8 || size % 4 || off + size > d.size()) return fail("damaged record at offset " + std::to_string(off));
    if (type == EMR_EOF) break;
    if (type == EMR_STRETCHDIBITS && size >= kStretchFixed) {
      std::string_view r = d.substr(off, size);
      // Offsets and sizes come from the file: every sum is taken in 64 bits
      // so that none of them can wrap around and pass a bounds check.
      const std::uint64_t rsize = size;
      const std::uint64_t offBmi = Get32(r, 48), cbBmi = Get32(r, 52), offBits = Get32(r, 56), cbBits = Get32(r, 60);
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
      if (bpp != 1 && bpp != 8 && bpp != 24 && bpp != 32) return fail("unsupported bits per pixel: " + std::to_string(bpp));
      std::uint64_t dibStride = (std::uint64_t(w) * bpp + 31) / 32 * 4;
      if (dibStride * std::uint64_t(h) > cbBits) return fail("bitmap data too short");
      const std::uint64_t hdr = Get32(r, offBmi);
      const std::uint64_t clrUsed = Get32(r, offBmi + 32);
      // A palette has at most one entry per pixel value.
      if (bpp <= 8 && clrUsed > (1u << bpp)) return fail("palette larger than the bitmap's colours");
      const std::uint32_t palCount = bpp <= 8 ? std::uint32_t(clrUsed ? clrUsed : (1u << bpp)) : 0;
      if (hdr < 40 || offBmi + hdr + std::uint64_t(palCount) * 4 > rsize) return fail("palette outside its record");
      // Luminance of each palette entry decides black or white.
      std::vector<bool> palBlack(palCount);
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
      for (int y = 0; y < h; ++y) {
        const unsigned char* src =
            reinterpret_cast<const unsigned char*>(bits) + dibStride * std::uint64_t(topDown ? y : h - 1 - y);
        for (int x = 0; x < w; ++x) {
          bool black;
          if (bpp == 1) {
            std::uint32_t idx = (src[x / 8] >> (7 - x % 8)) & 1;
            black = idx < palCount ? palBlack[idx] : idx == 0;
          } else if (bpp == 8) {
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

bool WriteNew(int dirFd, const std::string& name, const std::string& shown, const Page& page, bool exclusive,
              std::string* error) {
  std::string data = Encode(page);
  std::string tmp = name + ".part";
  int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (exclusive ? O_EXCL : O_TRUNC);
  int fd = ::openat(dirFd, tmp.c_str(), flags, 0644);
  if (fd < 0 && exclusive && errno == EEXIST) {
    // Left by a writer that was killed half-way: the caller's folder is its
    // own, so the leftover goes and the page is made new.
    ::unlinkat(dirFd, tmp.c_str(), 0);
    fd = ::openat(dirFd, tmp.c_str(), flags, 0644);
  }
  if (fd < 0) {
    *error = shown + ".part: " + std::strerror(errno);
    return false;
  }
  const char* p = data.data();
  std::size_t left = data.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = shown + ".part: " + std::strerror(errno);
      ::close(fd);
      ::unlinkat(dirFd, tmp.c_str(), 0);
      return false;
    }
    p += n;
    left -= std::size_t(n);
  }
  if (::close(fd) != 0 || ::renameat(dirFd, tmp.c_str(), dirFd, name.c_str()) != 0) {
    *error = shown + ": " + std::strerror(errno);
    ::unlinkat(dirFd, tmp.c_str(), 0);
    return false;
  }
  return true;
}

}  // namespace

bool WriteFile(const std::string& path, const Page& page, std::string* error) {
  return WriteNew(AT_FDCWD, path, path, page, false, error);
}

bool WriteFileAt(int dirFd, const std::string& name, const Page& page, std::string* error) {
  return WriteNew(dirFd, name, name, page, true, error);
}

bool ReadFile(const std::string& path, Page* page, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot open";
    return false;
  }
  std::stringstream ss;
  ss << in.rdbuf();
  std::string data = ss.str();
  if (!Decode(data, page, error)) {
    *error = path + ": " + *error;
    return false;
  }
  return true;
}

}  // namespace brevant::emf
