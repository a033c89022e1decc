// Scanning against SANE's test backend, enabled through a private
// SANE_CONFIG_DIR; pages checked with libtiff.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tiffio.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/Logging.h"
#include "maintenance/Scan.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
namespace fs = std::filesystem;
using test::TestWorld;

namespace {

// Points SANE at a folder of our own: with the test backend, or with none.
void UseSaneConfig(const TestWorld& w, bool testBackend) {
  std::string dir = w.Root() + (testBackend ? "/sane-test" : "/sane-none");
  fs::create_directories(dir);
  TestWorld::WriteFile(dir + "/dll.conf", testBackend ? "test\n" : "\n");
  if (testBackend)
    fs::copy_file("/etc/sane.d/test.conf", dir + "/test.conf", fs::copy_options::overwrite_existing);
  ::setenv("SANE_CONFIG_DIR", dir.c_str(), 1);
}

// A stand-in program that appends its arguments to a file (noting when the
// last scanned image is still there).
std::string Recorder(const TestWorld& w, const std::string& name, const std::string& args) {
  std::string tool = w.Root() + "/" + name;
  TestWorld::WriteFile(tool, "#!/bin/sh\ntest -e '" + w.ProgramDir() + "/FaxScan.bmp' && echo stale >> '" +
                                 args + "'\necho \"$@\" >> '" + args + "'\n");
  ::chmod(tool.c_str(), 0755);
  return tool;
}

std::string WaitForText(const std::string& path, const std::string& expected) {
  for (int i = 0; i < 250 && TestWorld::ReadFile(path) != expected; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  return TestWorld::ReadFile(path);
}

}  // namespace

// The console tool's "scan": the first device's page as a TIFF, and a new
// fax with it; the next "scan" clears it before the tool runs again.
TEST(Scan, PageFromTheFirstDeviceBecomesATiffAndANewFax) {
  TestWorld w;
  UseSaneConfig(w, true);
  EXPECT_TRUE(ScanDeviceAvailable());
  std::string error, args = w.Root() + "/args.txt", program = Recorder(w, "brevant", args);
  ASSERT_TRUE(ScanToNewFax(&error, program)) << error;
  EXPECT_EQ(WaitForText(args, "new;0;;;" + ScannedPagePath() + "#\n"),
            "new;0;;;" + ScannedPagePath() + "#\n");
  TIFF* t = TIFFOpen(ScannedPagePath().c_str(), "r");
  ASSERT_NE(t, nullptr);
  uint32_t width = 0, height = 0;
  uint16_t bits = 0, spp = 0, photometric = 0;
  float xres = 0;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &width);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &height);
  TIFFGetField(t, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetField(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photometric);
  TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres);
  // The test device scans its default area (80 x 100 mm) in grey; asked for
  // fax resolution it delivers 200 dpi: about 630 x 787 pixels.
  EXPECT_NEAR(width, 630u, 5u);
  EXPECT_NEAR(height, 787u, 5u);
  EXPECT_EQ(bits * 10 + spp, 81) << "8 bits, one sample";
  EXPECT_EQ(photometric, PHOTOMETRIC_MINISBLACK);
  EXPECT_FLOAT_EQ(xres, 200.0f);
  // Its default picture is solid black.
  std::vector<unsigned char> row(TIFFScanlineSize(t));
  for (uint32_t y : {0u, height / 2, height - 1}) {
    ASSERT_EQ(TIFFReadScanline(t, row.data(), y, 0), 1);
    EXPECT_EQ(std::count(row.begin(), row.end(), 0), static_cast<long>(width)) << "row " << y;
  }
  EXPECT_EQ(TIFFReadDirectory(t), 0);  // one page
  TIFFClose(t);
  bool warned = false;
  ::setenv("BREVANT_QUORRENDER", program.c_str(), 1);
  EXPECT_TRUE(StartScan([&](const std::string&) { warned = true; }));
  ::unsetenv("BREVANT_QUORRENDER");
  EXPECT_FALSE(fs::exists(ScannedPagePath()));
  EXPECT_FALSE(warned);
}

// SANE reads its configuration once per process: no device is a test of its own.
TEST(Scan, NoDeviceLeavesNoFileARecordAndAWarning) {
  TestWorld w;
  std::string path = w.Root() + "/page.tif";
  std::string error;
  UseSaneConfig(w, false);
  EXPECT_FALSE(ScanDeviceAvailable());
  EXPECT_FALSE(AcquireScanPage(path, &error));
  EXPECT_EQ(error, "No scan device was found.");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_NE(TestWorld::ReadFile(ErrorLogPath()).find("mScan.AcquireScanPage"), std::string::npos);
  EXPECT_FALSE(AcquireScanPage(path, &error, "test:9"));
  EXPECT_NE(error.find("Cannot open test:9"), std::string::npos) << error;

  // "scan" warns, clears the last image and still starts the console tool.
  std::string args = w.Root() + "/args.txt";
  std::string tool = Recorder(w, "quorrender", args);
  TestWorld::WriteFile(ScanImagePath(), "BM old scan");
  std::vector<std::string> warnings;
  ::setenv("BREVANT_QUORRENDER", tool.c_str(), 1);
  EXPECT_TRUE(StartScan([&](const std::string& m) { warnings.push_back(m); }));
  EXPECT_EQ(warnings,
            std::vector<std::string>{"Can't find scan device. Please install scan or device camera."});
  EXPECT_FALSE(fs::exists(ScanImagePath()));
  EXPECT_EQ(WaitForText(args, "scan;\n"), "scan;\n");
  // A console tool that is not there is an error record, not a crash.
  ::setenv("BREVANT_QUORRENDER", (w.Root() + "/missing-tool").c_str(), 1);
  EXPECT_FALSE(StartScan(nullptr));
  ::unsetenv("BREVANT_QUORRENDER");
  EXPECT_NE(TestWorld::ReadFile(ErrorLogPath()).find("Init.scan"), std::string::npos);
}
