// A fax with a cover page: the console tool fills the chosen template with
// the fax's fields as page 0, and that page comes first in "Fax.tif".
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdlib>
#include <filesystem>

#include "common/CWinReg.h"
#include "platform/emf/Emf.h"
#include "tests/render/TiffCheck.h"
#include "tests/support/TestWorld.h"

namespace fs = std::filesystem;
using namespace brevant;

namespace {

void SetUserInfo(const std::string& name, const std::string& subject, const std::string& to,
                 const std::string& number) {
  CWinReg reg;
  ASSERT_TRUE(reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, "Software\\Microsoft\\Fax\\UserInfo", true));
  reg.SetString("FullName", name);
  reg.SetString("Subject", subject);
  reg.SetString("LastRecipientName", to);
  reg.SetString("LastRecipientNumber", number);
}

emf::Page CoverPage(const test::TestWorld& w) {
  auto r = w.RunTool("quorrender", "'coverpage;'");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  emf::Page page;
  std::string error;
  EXPECT_TRUE(emf::ReadFile(w.SpoolDir() + "00000000.emf", &page, &error)) << error;
  return page;
}

}  // namespace

TEST(CoverFax, FilledCoverPageIsTheFirstPageOfTheFaxImage) {
  test::TestWorld w;
  ::setenv("BREVANT_COVER_TEMPLATE", (test::SourceDir() + "/coverpage/Generic.cov").c_str(), 1);

  SetUserInfo("", "", "", "");
  emf::Page empty = CoverPage(w);
  SetUserInfo("Jonas Bergmann", "Revised floor plans for building C", "Dr. Helena Markovic",
              "+49 30 5557 1290");
  emf::Page filled = CoverPage(w);
  ASSERT_EQ(filled.width, 1728);
  ASSERT_EQ(filled.bits.size(), empty.bits.size());
  long differing = 0;
  for (std::size_t i = 0; i < filled.bits.size(); ++i)
    differing += __builtin_popcount(unsigned(filled.bits[i] ^ empty.bits[i]));
  EXPECT_GT(differing, 2000) << "the fields did not change the page";

  // One document page after it; the spool run puts the cover first.
  emf::Page doc;
  doc.Resize(1728, 2200);
  for (int y = 300; y < 320; ++y)
    for (int x = 0; x < 1728; ++x) doc.SetBlack(x, y);
  std::string error;
  ASSERT_TRUE(emf::WriteFile(w.SpoolDir() + "00000001.emf", doc, &error)) << error;
  auto r = w.RunTool("quorrender", "'spool;silent;'");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  auto pages = test::ReadBilevel(w.SpoolDir() + "Fax.tif");
  ASSERT_EQ(pages.size(), 2u);
  long coverInk = long(filled.BlackCount());
  EXPECT_NEAR(double(pages[0].black), double(coverInk), coverInk * 0.01);
  EXPECT_TRUE(test::HasBandAt(pages[1], 310));
  ::unsetenv("BREVANT_COVER_TEMPLATE");
}
