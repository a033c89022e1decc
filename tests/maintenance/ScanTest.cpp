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

namespace {

// Points SANE at a folder of our own: with the test backend, or with none.
void UseSaneConfig(const test::TestWorld& w, bool testBackend) {
  std::string dir = w.Root() + (testBackend ? "/sane-test" : "/sane-none");
  fs::create_directories(dir);
  test::TestWorld::WriteFile(dir + "/dll.conf", testBackend ? "test\n" : "\n");
  if (testBackend) fs::copy_file("/etc/sane.d/test.conf", dir + "/test.conf", fs::copy_options::overwrite_existing);
  ::setenv("SANE_CONFIG_DIR", dir.c_str(), 1);
}

struct SaneEnv {
  ~SaneEnv() { ::unsetenv("SANE_CONFIG_DIR"); }
};

}  // namespace

TEST(Scan, PageFromTheFirstDeviceBecomesATiff) {
  test::TestWorld w;
  SaneEnv env;
  std::string path = w.Root() + "/page.tif";
  std::string error;
  UseSaneConfig(w, true);
  EXPECT_TRUE(ScanDeviceAvailable());
  ASSERT_TRUE(AcquireScanPage(path, &error)) << error;

  TIFF* t = TIFFOpen(path.c_str(), "r");
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
  EXPECT_EQ(bits, 8);
  EXPECT_EQ(spp, 1);
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
}

// SANE reads its configuration once per process: no device is a test of its own.
TEST(Scan, NoDeviceLeavesNoFileAndARecord) {
  test::TestWorld w;
  SaneEnv env;
  std::string path = w.Root() + "/page.tif";
  std::string error;
  UseSaneConfig(w, false);
  EXPECT_FALSE(ScanDeviceAvailable());
  EXPECT_FALSE(AcquireScanPage(path, &error));
  EXPECT_EQ(error, "No scan device was found.");
  EXPECT_FALSE(fs::exists(path));
  EXPECT_NE(test::TestWorld::ReadFile(ErrorLogPath()).find("mScan.AcquireScanPage"), std::string::npos);
  EXPECT_FALSE(AcquireScanPage(path, &error, "test:9"));
  EXPECT_NE(error.find("Cannot open test:9"), std::string::npos) << error;
}

TEST(Scan, StartClearsTheLastImageWarnsAndStartsTheConsoleTool) {
  test::TestWorld w;
  SaneEnv env;
  std::string tool = w.Root() + "/quorrender";
  std::string args = w.Root() + "/args.txt";
  test::TestWorld::WriteFile(tool, "#!/bin/sh\ntest -e '" + w.ProgramDir() + "/FaxScan.bmp' && echo stale >> '" + args +
                                       "'\necho \"$@\" >> '" + args + "'\n");
  ::chmod(tool.c_str(), 0755);
  auto waitForArgs = [&](const std::string& expected) {
    for (int i = 0; i < 250 && test::TestWorld::ReadFile(args) != expected; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return test::TestWorld::ReadFile(args);
  };

  // No device: the warning, and the console tool still starts.
  UseSaneConfig(w, false);
  test::TestWorld::WriteFile(ScanImagePath(), "BM old scan");
  std::vector<std::string> warnings;
  EXPECT_TRUE(StartScan([&](const std::string& m) { warnings.push_back(m); }, tool));
  EXPECT_EQ(warnings, std::vector<std::string>{"Can't find scan device. Please install scan or device camera."});
  EXPECT_FALSE(fs::exists(ScanImagePath()));
  EXPECT_EQ(waitForArgs("scan;\n"), "scan;\n");

  // With a device: no warning.
  UseSaneConfig(w, true);
  warnings.clear();
  EXPECT_TRUE(StartScan([&](const std::string& m) { warnings.push_back(m); }, tool));
  EXPECT_TRUE(warnings.empty());
  EXPECT_EQ(waitForArgs("scan;\nscan;\n"), "scan;\nscan;\n");

  // A console tool that is not there is an error record, not a crash.
  EXPECT_FALSE(StartScan(nullptr, w.Root() + "/missing-tool"));
  EXPECT_NE(test::TestWorld::ReadFile(ErrorLogPath()).find("Init.scan"), std::string::npos);
}

TEST(Scan, ConsoleToolScanStartsANewFaxWithThePage) {
  test::TestWorld w;
  SaneEnv env;
  std::string program = w.Root() + "/brevant";
  std::string args = w.Root() + "/args.txt";
  test::TestWorld::WriteFile(program, "#!/bin/sh\necho \"$@\" > '" + args + ".part'\nmv '" + args + ".part' '" + args + "'\n");
  ::chmod(program.c_str(), 0755);

  UseSaneConfig(w, true);
  std::string error;
  ASSERT_TRUE(ScanToNewFax(&error, program)) << error;
  for (int i = 0; i < 250 && !fs::exists(args); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(test::TestWorld::ReadFile(args), "new;0;;;" + ScannedPagePath() + "#\n");
  TIFF* t = TIFFOpen(ScannedPagePath().c_str(), "r");
  ASSERT_NE(t, nullptr);
  TIFFClose(t);

  // The next "scan" clears it before the console tool runs again.
  EXPECT_TRUE(StartScan(nullptr, program));
  EXPECT_FALSE(fs::exists(ScannedPagePath()));
}
