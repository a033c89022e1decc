// The console tool as the pipeline runs it, on real page files.
#include <gtest/gtest.h>
#include <signal.h>
#include <tiffio.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "platform/emf/Emf.h"
#include "platform/events/NamedEvent.h"
#include "platform/process/ChildProcess.h"
#include "tests/render/TiffCheck.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"
#include "tools/quorrender/Quorrender.h"

namespace fs = std::filesystem;
using brevant::emf::Page;
using namespace brevant::test;

namespace {

// A fax page with a black band 20 rows high at row y0.
Page BandPage(int y0) {
  Page p;
  p.xdpi = 204;
  p.ydpi = 196;
  p.Resize(1728, 2200);
  for (int y = y0; y < y0 + 20; ++y)
    for (int x = 0; x < 1728; ++x) p.SetBlack(x, y);
  return p;
}

std::string PageName(int n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08d.emf", n);
  return buf;
}

// A page file put in place as the fax printer does: written, then renamed.
void WritePage(const std::string& spool, int n, const Page& p) {
  fs::create_directories(spool);
  std::string err;
  ASSERT_TRUE(brevant::emf::WriteFile(spool + "new.part", p, &err)) << err;
  fs::rename(spool + "new.part", spool + PageName(n));
}

// How many pages a following run has encoded so far (its files in the
// temporary folder).
int EncodedSoFar(const std::string& tmp) {
  int n = 0;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(tmp, ec), end; !ec && it != end; it.increment(ec))
    n += it->path().string().size() > 8 && it->path().string().ends_with(".fax.tif");
  return n;
}

}  // namespace

// Started before printing: pages replaced or renumbered late still come out
// as a plain run makes them; ended by SIGTERM it leaves nothing behind.
TEST(Quorrender, FollowingRunMakesTheImagesOfThePagesAsTheyEndUp) {
  TestWorld w;
  const std::string spool = w.SpoolDir();
  auto follow = [&](brevant::platform::ChildProcess& tool, const char* args) {
    tool.FeedInput();
    return tool.Start({brevant::test::BinDir() + "/quorrender", args}, w.ProgramDir());
  };
  auto encoded = [&](int pages) {
    for (int i = 0; i < 500 && EncodedSoFar(w.PrivateTempDir()) < pages; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return EncodedSoFar(w.PrivateTempDir());
  };
  WritePage(spool, 1, BandPage(300));
  brevant::platform::ChildProcess tool;
  ASSERT_TRUE(follow(tool, "spool;keep;silent;follow;"));
  WritePage(spool, 2, BandPage(600));
  WritePage(spool, 3, BandPage(100));  // printed last, the cover page
  ASSERT_EQ(encoded(3), 3) << "pages were not encoded while printing went on";
  WritePage(spool, 2, BandPage(900));  // a later job took the number
  fs::rename(spool + PageName(3), spool + PageName(0));
  tool.CloseInput();
  ASSERT_TRUE(tool.Wait(60'000, 10));
  ASSERT_EQ(tool.ExitCode(), 0);
  EXPECT_EQ(EncodedSoFar(w.PrivateTempDir()), 0) << "encoded pages left in the temporary folder";

  const auto followed = ReadBilevel(spool + "Fax.tif");
  ASSERT_EQ(followed.size(), 3u);
  EXPECT_TRUE(HasBandAt(followed[0], 110));
  EXPECT_TRUE(HasBandAt(followed[1], 310));
  EXPECT_TRUE(HasBandAt(followed[2], 910));
  EXPECT_EQ(ReadBilevel(spool + "FaxPreview.tif").size(), 3u);

  // Cancelled: no images, the page files stay for the next run.
  fs::remove(spool + "Fax.tif");
  brevant::platform::ChildProcess ended;
  ASSERT_TRUE(follow(ended, "spool;silent;follow;"));
  encoded(3);
  ::kill(ended.Pid(), SIGTERM);
  ASSERT_TRUE(ended.Wait(60'000, 10));
  EXPECT_EQ(ended.ExitCode(), 1);
  EXPECT_FALSE(fs::exists(spool + "Fax.tif"));
  EXPECT_TRUE(fs::exists(spool + PageName(1)));
  EXPECT_EQ(EncodedSoFar(w.PrivateTempDir()), 0);
}

TEST(Quorrender, FailedSpoolRunsLeaveNoFaxImageAndStillSignal) {
  TestWorld w;
  const std::string spool = w.SpoolDir();
  fs::create_directories(spool);
  // An image of an earlier run must not survive a failed one.
  TestWorld::WriteFile(spool + "Fax.tif", "old");
  auto done = brevant::platform::NamedEvent::Create("VestrelSpool", false, false);
  ASSERT_TRUE(done);

  auto r = w.RunTool("quorrender", "'spool;'");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("no page files"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(spool + "Fax.tif"));
  EXPECT_TRUE(done->Wait(0));
  EXPECT_NE(w.Errors().find("quorrender.Spool"), std::string::npos);

  // A damaged page: no images, no temporary files, the good pages stay.
  WritePage(spool, 1, BandPage(100));
  TestWorld::WriteFile(spool + PageName(2), "EMF? no, just text");
  WritePage(spool, 3, BandPage(300));
  r = w.RunTool("quorrender", "'spool;silent;'");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.empty());
  for (const char* f : {"Fax.tif", "FaxPreview.tif", "Fax.tif.part", "FaxPreview.tif.part"})
    EXPECT_FALSE(fs::exists(spool + f)) << f;
  EXPECT_TRUE(fs::exists(spool + PageName(1)));
  EXPECT_TRUE(done->Wait(0));
}

TEST(Quorrender, ConvertWritesJpegOfFirstPageBesideAnyTiff) {
  TestWorld w;
  const std::string dir = w.Root() + "/mail item/";
  fs::create_directories(dir);
  // A colour TIFF with LZW and an alpha channel, not a fax image.
  const std::string src = dir + "scan.tif";
  TIFF* t = TIFFOpen(src.c_str(), "w");
  ASSERT_TRUE(t);
  std::vector<uint8_t> row(320 * 3, 255);  // left half dark red, right half white
  for (int x = 0; x < 160; ++x) row[size_t(x) * 3] = 120, row[size_t(x) * 3 + 1] = row[size_t(x) * 3 + 2] = 0;
  for (int page = 0; page < 2; ++page) {
    for (auto [tag, value] : {std::pair{TIFFTAG_IMAGEWIDTH, 320},
                              {TIFFTAG_IMAGELENGTH, 200},
                              {TIFFTAG_SAMPLESPERPIXEL, 3},
                              {TIFFTAG_BITSPERSAMPLE, 8},
                              {TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB},
                              {TIFFTAG_COMPRESSION, COMPRESSION_LZW},
                              {TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG},
                              {TIFFTAG_ROWSPERSTRIP, 200}})
      TIFFSetField(t, tag, value);
    for (int y = 0; y < 200; ++y) TIFFWriteScanline(t, row.data(), uint32_t(y), 0);
    TIFFWriteDirectory(t);
  }
  TIFFClose(t);
  auto r = w.RunTool("quorrender", "'convert;' '" + src + "'");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::string jpg = TestWorld::ReadFile(dir + "Fax.jpg");
  ASSERT_GT(jpg.size(), 100u);
  EXPECT_EQ(jpg.substr(0, 2), "\xFF\xD8");
  // SOF0 carries the size, height then width, big-endian: a preview at
  // half the resolution of a page without one (taken for a 200 dpi scan).
  auto sof = jpg.find("\xFF\xC0");
  ASSERT_NE(sof, std::string::npos);
  EXPECT_EQ((static_cast<unsigned char>(jpg[sof + 5]) << 8) | static_cast<unsigned char>(jpg[sof + 6]), 100);
  EXPECT_EQ((static_cast<unsigned char>(jpg[sof + 7]) << 8) | static_cast<unsigned char>(jpg[sof + 8]), 160);

  // Not a TIFF, and no file at all: a failure, an error record, no jpeg.
  fs::remove(dir + "Fax.jpg");
  TestWorld::WriteFile(dir + "bad.tif", "not a tiff at all");
  EXPECT_EQ(w.RunTool("quorrender", "'convert;' '" + dir + "bad.tif'").exitCode, 1);
  EXPECT_EQ(w.RunTool("quorrender", "'convert;' '" + dir + "missing.tif'").exitCode, 1);
  EXPECT_FALSE(fs::exists(dir + "Fax.jpg"));
  EXPECT_FALSE(fs::exists(dir + "Fax.jpg.part"));
  EXPECT_NE(w.Errors().find("quorrender.Convert"), std::string::npos);
}

TEST(Quorrender, ConsoleToolStaysOffTheWindowLibrariesAndRefusesUnknownRequests) {
  // A quoted path with blanks and a printer: how the print verb calls it.
  auto c = brevant::quor::ParseCommandLine("\"/home/a b/fax 1.tif\" /pt Vestrel");
  EXPECT_EQ(c.path + "|" + c.printer, "/home/a b/fax 1.tif|Vestrel");
  TestWorld w;
  // The console tool never loads the window libraries; only the viewer does.
  const std::string libs = w.Root() + "/libs.txt";
  ASSERT_EQ(std::system(("ldd " + brevant::test::BinDir() + "/quorrender > " + libs).c_str()), 0);
  EXPECT_EQ(TestWorld::ReadFile(libs).find("Qt6Widgets"), std::string::npos);
  ASSERT_EQ(std::system(("ldd " + brevant::test::BinDir() + "/quorrender-viewer > " + libs).c_str()), 0);
  EXPECT_NE(TestWorld::ReadFile(libs).find("Qt6Widgets"), std::string::npos);
  EXPECT_EQ(w.RunTool("quorrender", "").exitCode, 2);
  EXPECT_EQ(w.RunTool("quorrender", "'render;'").exitCode, 2);
  // Without a cover page chosen the request says so and fails.
  auto r = w.RunTool("quorrender", "'coverpage;'");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("No cover page is configured"), std::string::npos);
  // With one: the page, and with maketif also the gateway's cover image, one
  // fax page.
  brevant::test::SetRegString(brevant::test::HKCU, "Software\\Microsoft\\Fax\\UserInfo", "CoverPageFile",
                              brevant::test::SourceDir() + "/coverpage/Generic.cov");
  r = w.RunTool("quorrender", "'coverpage;maketif;'");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_TRUE(fs::exists(w.SpoolDir() + "00000000.emf"));
  auto pages = ReadBilevel(w.SpoolDir() + "FaxCover.Tif");
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].width, 1728u);
  EXPECT_EQ(pages[0].compression, COMPRESSION_CCITTFAX4);
}

TEST(Quorrender, ViewerShowsTheFirstPage) {
  TestWorld w;
  const std::string spool = w.SpoolDir();
  WritePage(spool, 1, BandPage(100));
  ASSERT_EQ(w.RunTool("quorrender", "'spool;silent;'").exitCode, 0);
  const std::string shot = w.Root() + "/viewer.png";
  ::setenv("QUORRENDER_VIEWER_SNAPSHOT", "1", 1);
  ::setenv("QUORRENDER_VIEWER_SNAPSHOT_FILE", shot.c_str(), 1);
  auto r = w.RunTool("quorrender", "\"" + spool + "Fax.tif\"");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_GT(fs::file_size(shot), 1000u);
  r = w.RunTool("quorrender", "\"" + spool + "nothing.tif\"");
  EXPECT_EQ(r.exitCode, 1);
  ::unsetenv("QUORRENDER_VIEWER_SNAPSHOT");
}
