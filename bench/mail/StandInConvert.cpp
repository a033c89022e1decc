// Stands in for quorrender's "convert;" in the import benchmark when this
// build has no quorrender: reads the TIFF's first page with libtiff and
// writes "Fax.jpg" beside it (a few marker bytes, not a real picture). One
// process per fax, like the real tool.
#include <tiffio.h>

#include <cstdio>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3 || std::string(argv[1]) != "convert;") return 2;
  TIFFSetWarningHandler(nullptr);
  TIFF* t = TIFFOpen(argv[2], "r");
  if (!t) return 1;
  uint32_t w = 0, h = 0;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
  TIFFClose(t);
  std::string dir = argv[2];
  auto slash = dir.find_last_of('/');
  dir = slash == std::string::npos ? "." : dir.substr(0, slash);
  std::FILE* f = std::fopen((dir + "/Fax.jpg").c_str(), "wb");
  if (!f) return 1;
  std::fprintf(f, "\xFF\xD8\xFF\xE0%ux%u\xFF\xD9", w, h);
  std::fclose(f);
  return 0;
}
