#pragma once
// Fax pages as EMF files: the fax printer writes each printed page as one
// "00000001.emf" upward, and the console tool reads them back. A page file
// is a real enhanced metafile (header record, one EMR_STRETCHDIBITS record
// holding a 1-bit bitmap, end record), so other EMF readers open it too.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace brevant::emf {

// A 1-bit page: rows top-down, (width + 7) / 8 bytes per row, most
// significant bit first, 1 = black (the layout of a white-is-zero fax TIFF).
struct Page {
  int width = 0;
  int height = 0;
  int xdpi = 204;
  int ydpi = 196;
  std::vector<std::uint8_t> bits;

  std::size_t Stride() const { return std::size_t(width + 7) / 8; }
  void Resize(int w, int h) {
    width = w;
    height = h;
    bits.assign(Stride() * std::size_t(h), 0);
  }
  bool Black(int x, int y) const {
    return bits[std::size_t(y) * Stride() + std::size_t(x) / 8] & (0x80 >> (x % 8));
  }
  void SetBlack(int x, int y) {
    bits[std::size_t(y) * Stride() + std::size_t(x) / 8] |= std::uint8_t(0x80 >> (x % 8));
  }
  std::size_t BlackCount() const;
};

// The EMF bytes of a page.
std::string Encode(const Page& page);
// Reads the first bitmap of an EMF (1, 8, 24 or 32 bits per pixel; others
// are refused). Colour pages become black where darker than mid-grey.
bool Decode(std::string_view data, Page* page, std::string* error);

// Writes to a temporary name beside path, then renames: a reader never sees
// a half-written page under its final name.
bool WriteFile(const std::string& path, const Page& page, std::string* error);
// The same into an open folder of the caller's own: the temporary file is
// made new (O_EXCL; one a killed writer left is removed first) and nothing
// is followed through a symlink. A page file already under `name` is
// replaced.
bool WriteFileAt(int dirFd, const std::string& name, const Page& page, std::string* error);
bool ReadFile(const std::string& path, Page* page, std::string* error);

// The number of a page file name "NNNNNNNN.emf" (eight digits, letter case
// of ".emf" ignored): 7 for "00000007.emf", -1 for any other name.
long PageFileNumber(std::string_view name);

}  // namespace brevant::emf
