// Faxes sent with "sendnow", checked page by page at the far end of the line.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "common/FaxJob.h"
#include "common/Logging.h"
#include "render/CoverPageList.h"
#include "tests/arrival/ArrivalWorld.h"
#include "tests/arrival/Marks.h"
#include "tests/support/TestUser.h"

namespace fs = std::filesystem;

namespace brevant::test {
namespace {

// Sends files ("a#b#") to Ann Example: what the run said, its exit status.
TestWorld::Result SendNow(ArrivalWorld& w, const std::string& files) {
  return w.World().RunArgs("brevant", {"sendnow;;Ann Example#;5551234#;" + files});
}

// Sends a document; its pages must arrive after `before` leading pages.
Arrival SendAndCheck(ArrivalWorld& w, const std::string& doc, int pages, Mark mark, int before = 0,
                     int firstNumber = 1) {
  SCOPED_TRACE(doc);
  const long last = w.LastJob();
  std::string err = SendNow(w, doc + "#").err;
  const long job = w.LastJob();
  EXPECT_GT(job, last) << "nothing was sent: " << err;
  if (job <= last) return {};
  Arrival a = w.WaitArrival(job);
  EXPECT_EQ(a.status, faxsvc::kJobCompleted) << a.error;
  EXPECT_EQ(a.reportedPages, long(a.pages.size())) << "the transmission report";
  EXPECT_EQ(a.archiveCompression, 4) << "the archive keeps G4";
  ExpectPages(a, std::size_t(before), pages, mark, firstNumber);
  return a;
}

// Where each page's corner bar arrived (see Marks.h).
std::vector<std::string> Corners(const Arrival& a) {
  std::vector<std::string> corners;
  for (const faxsvc::FaxPage& p : a.pages) corners.push_back(MarkedCorner(p));
  return corners;
}

class FaxArrival : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(w.Problem(), ""); }
  ArrivalWorld w;
};

}  // namespace

TEST_F(FaxArrival, PdfPagesOfEverySizeAndOrientationArriveWholeAndInOrder) {
  // Landscape turned upright, its top along the fax page's left; Letter
  // and Legal shrunk, A5 grown, none cut.
  Arrival a = SendAndCheck(w, MarkedPdf(w.Dir() + "/mixed.pdf", {kA4, kA4Landscape, kLetter, kLegal, kA5}), 5,
                           Mark::Squares);
  EXPECT_EQ(Corners(a),
            (std::vector<std::string>{"top left", "bottom left", "top left", "top left", "top left"}));
  SendAndCheck(w, MarkedPdf(w.Dir() + "/letter size.pdf", {kLetter, kLetter}), 2, Mark::Squares);
  // The page list edition's "spool.pnx" becomes a fax image first.
  ::setenv("BREVANT_PRINT_STRATEGY", "2", 1);
  a = SendAndCheck(w, MarkedPdf(w.Dir() + "/listed.pdf", {kA4, kA4Landscape, kA4}), 3, Mark::Squares);
  EXPECT_EQ(Corners(a), (std::vector<std::string>{"top left", "bottom left", "top left"}));
  ::unsetenv("BREVANT_PRINT_STRATEGY");
}

TEST_F(FaxArrival, OfficeWebTextPicturesAndTiffArriveInOrder) {
  SendAndCheck(w, MarkedWriter(w.Dir() + "/marks.odt", 2), 2, Mark::Squares);
  SendAndCheck(w, MarkedHtml(w.Dir() + "/marks.html", 2), 2, Mark::Squares);
  SendAndCheck(w, MarkedText(w.Dir() + "/marks.txt", 3), 3, Mark::Lines);
  SendAndCheck(w, MarkedTiff(w.Dir() + "/marks.tif", 3), 3, Mark::FaxPages);
  // PNG goes to the print system as it is, JPEG, BMP, ICO through the
  // console tool; a landscape picture is turned the way a landscape PDF
  // page is.
  std::vector<std::string> corners;
  for (const auto& [name, size] : {std::pair{"one.png", kA4},
                                   {"two.jpg", kA4},
                                   {"three.bmp", kA4},
                                   {"four.png", kA4Landscape},
                                   {"five.jpg", kA4Landscape}}) {
    const int n = int(corners.size()) + 1;
    const Arrival a = SendAndCheck(w, MarkedPicture(w.Dir() + "/" + name, n, size), 1, Mark::Squares, 0, n);
    corners.push_back(a.pages.empty() ? "" : MarkedCorner(a.pages[0]));
  }
  EXPECT_EQ(corners,
            (std::vector<std::string>{"top left", "top left", "top left", "bottom left", "bottom left"}));
  SendAndCheck(w, MarkedPicture(w.Dir() + "/four.ico", 4), 1, Mark::SquaresUnframed, 0, 4);
}

TEST_F(FaxArrival, CoverPagesArriveFirstFilledWithTheFaxsFields) {
  // The cover page on but none chosen (a new account): the letter arrives
  // alone, as the fax printer draws it, with no print failure on record.
  w.ChooseCover(CoverChoice{});
  const std::string letter = SourceDir() + "/samples/letter.pdf";
  SendNow(w, letter + "#");
  Arrival a = w.WaitArrival(w.LastJob());
  std::vector<faxsvc::FaxPage> made = FaxPagesOf(letter);
  ASSERT_EQ(made.size(), 2u) << "the sample letter has two pages";
  ASSERT_EQ(a.pages.size(), made.size());
  for (std::size_t i = 0; i < made.size(); ++i)
    EXPECT_LT(Difference(a.pages[i], made[i]), 0.01) << "page " << i + 1;
  EXPECT_GT(Difference(a.pages[0], made[1]), 0.02) << "the letter's pages differ from each other";
  EXPECT_EQ(TestWorld::ReadFile(ErrorLogPath()).find("print verb"), std::string::npos)
      << TestWorld::ReadFile(ErrorLogPath());

  // The print agent's folder in the spool folder is no page of the fax.
  fs::create_directories(w.World().SpoolDir() + "Printed");
  const std::string doc = MarkedPdf(w.Dir() + "/two.pdf", {kA4, kA4});
  for (const char* name : {"Generic.cov", "Confidential.cov", "Urgent.cov"}) {
    SCOPED_TRACE(name);
    CoverChoice choice{SourceDir() + "/coverpage/" + name, "Revised floor plans, building C",
                       "Please check the stair widths on page 2 before Friday."};
    w.ChooseCover(choice);
    w.ExpectCover(SendAndCheck(w, doc, 2, Mark::Squares, 1), choice, "Ann Example", "5551234", 3);
  }

  // A picture as the cover page: fitted onto the first page.
  w.ChooseCover(CoverChoice{MarkedPicture(w.Dir() + "/cover.bmp", 4), "", "By picture"});
  a = SendAndCheck(w, doc, 2, Mark::Squares, 1);
  EXPECT_EQ(a.pages.empty() ? -1 : Squares(a.pages[0]), 4);
}

TEST_F(FaxArrival, BadDocumentsEndWithAMessageAndNothingIsSent) {
  const std::string dir = w.Dir();
  TestWorld::WriteFile(
      dir + "/empty.pdf",
      "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
      "2 0 obj << /Type /Pages /Kids [] /Count 0 >> endobj\ntrailer << /Root 1 0 R >>\n%%EOF\n");
  const std::string good = MarkedPdf(dir + "/good.pdf", {kA4});
  TestWorld::WriteFile(dir + "/damaged.pdf", TestWorld::ReadFile(good).substr(0, 400));
  TestWorld::WriteFile(dir + "/drawing.wmf", std::string("\xD7\xCD\xC6\x9A", 4) + std::string(60, '\0'));
  // Encrypted by its owner: one opens only with its password, one may not be printed.
  for (const char* pdf : {"protected.pdf", "noprint.pdf"})
    ASSERT_EQ(std::system(("gs -q -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOwnerPassword=owner -dEncryptionR=3 "
                           "-dKeyLength=128 " +
                           std::string(*pdf == 'p' ? "-sUserPassword=user" : "-dPermissions=-3904") +
                           " -o '" + dir + "/" + pdf + "' '" + good + "' >/dev/null 2>&1")
                              .c_str()),
              0);
  const long before = w.LastJob();
  // What the user is told: why no fax image was made (the fax printer's
  // own reason when it refused the document), then that it was not sent.
  const std::string refused = "The fax printer \"" + w.Queue() + "\" refused ";
  struct Case {
    std::string file, why, says;
  } cases[] = {
      {dir + "/empty.pdf", refused + "empty.pdf: the document has no pages",
       "empty.pdf has no page to send."},
      {dir + "/damaged.pdf", refused + "damaged.pdf: ", "The fax was not sent."},
      {dir + "/missing.pdf", "The file \"" + dir + "/missing.pdf\" cannot be found.",
       "File not found: " + dir + "/missing.pdf The fax was not sent."},
      {dir + "/protected.pdf",
       "protected.pdf is protected by a password. To fax it, open it in a PDF reader with the password and "
       "print "
       "it to the fax printer \"" +
           w.Queue() + "\".",
       "The fax was not sent."},
      {dir + "/drawing.wmf", "drawing.wmf cannot be printed: Windows metafiles (.wmf) cannot be faxed",
       "drawing.wmf is not a fax image"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    auto start = std::chrono::steady_clock::now();
    TestWorld::Result r = SendNow(w, c.file + "#");
    EXPECT_NE(r.err.find("Pelorin: Generate fax image error.\n" + c.why), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(r.exitCode, kSendNotMade) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
  }
  EXPECT_EQ(w.LastJob(), before) << "a bad document was sent";
  EXPECT_EQ(TestWorld::ReadFile(ErrorLogPath()).find("Exiting on timeout"), std::string::npos);

  // A PDF whose owner forbids printing is sent; the trace says so.
  EXPECT_EQ(SendNow(w, dir + "/noprint.pdf#").exitCode, kSendHandedOver);
  EXPECT_EQ(w.WaitArrival(w.LastJob()).pages.size(), 1u);
  EXPECT_NE(TestWorld::ReadFile(w.World().ProgramDir() + "/brevant.log")
                .find("noprint.pdf: its owner does not allow printing it"),
            std::string::npos);

  // A cover page that cannot be printed is said; the document goes alone.
  w.ChooseCover(CoverChoice{dir + "/drawing.wmf", "", "note"});
  const long last = w.LastJob();
  std::string said = SendNow(w, good + "#").err;
  EXPECT_NE(said.find("The cover page drawing.wmf could not be printed. The fax goes without it."),
            std::string::npos)
      << said;
  ASSERT_GT(w.LastJob(), last);
  EXPECT_EQ(w.WaitArrival(w.LastJob()).pages.size(), 1u);
  w.ChooseCover(std::nullopt);
  const long sentBefore = w.LastJob();

  // Without the fax printer, PRINTER and LPDEST never take the pages elsewhere.
  const std::string decoy = w.Cups().AddQueue(dir + "/decoy/");
  ASSERT_FALSE(decoy.empty());
  ::setenv("PRINTER", decoy.c_str(), 1);
  ::setenv("LPDEST", decoy.c_str(), 1);
  ::setenv("BREVANT_FAX_PRINTER", "NoFaxPrinterHere", 1);
  std::string err = SendNow(w, good + "#").err;
  EXPECT_NE(err.find("The fax printer \"NoFaxPrinterHere\" is not installed. Cannot make fax."),
            std::string::npos)
      << err;
  EXPECT_EQ(w.LastJob(), sentBefore);
  ::setenv("BREVANT_FAX_PRINTER", w.Queue().c_str(), 1);
  SendAndCheck(w, good, 1, Mark::Squares);
  ::unsetenv("PRINTER");
  ::unsetenv("LPDEST");
  EXPECT_EQ(CupsWorld::Pages(dir + "/decoy/"), std::vector<std::string>{})
      << "pages went to PRINTER's printer";
}

TEST_F(FaxArrival, AnOrdinaryUserFaxesAfterTheBuildTreesSetUp) {
  // The README's set-up of this build tree (the fax printer under a queue
  // name of the test's own, the machine's settings in the test's store).
  const std::string queue = "BrevantT" + std::to_string(::getpid()) + "_setup";
  const std::string setUp = "BUILD_DIR='" + fs::path(BinDir()).parent_path().string() +
                            "' VESTREL_QUEUE=" + queue + " VESTREL_SCHEME=" + w.Cups().Scheme() + " bash " +
                            SourceDir() + "/scripts/";
  ASSERT_EQ(std::system((setUp + "setup-printer >/dev/null").c_str()), 0);
  struct Removed {
    std::string queue;
    ~Removed() { (void)!std::system(("lpadmin -x " + queue + " 2>/dev/null").c_str()); }
  } removed{queue};
  ASSERT_EQ(std::system((setUp + "services.d/05-registry.sh >/dev/null").c_str()), 0);
  std::vector<std::string> covers;
  for (const render::CoverPageEntry& e : render::ListCoverPages("test")) covers.push_back(e.display);
  EXPECT_EQ(covers, (std::vector<std::string>{"Confidential", "Generic", "Urgent"}));

  // A user of the machine faxes a text from a session of their own: no
  // message, the run says the fax went, and it arrives whole.
  test::TestUser ann("ann");
  ASSERT_EQ(ann.Problem(), "");
  ASSERT_EQ(::chmod(w.Dir().c_str(), 0755), 0);
  std::string said;
  const long last = w.LastJob();
  EXPECT_EQ(
      ann.Sh("env -i PATH=/usr/bin:/bin HOME=" + ann.Home() + " BREVANT_UNATTENDED=1 BREVANT_FAX_PRINTER=" +
                 queue + " BREVANT_FAXD_SOCKET=" + w.World().RuntimeDir() + "/faxd.sock " + BinDir() +
                 "/brevant 'sendnow;;Ann Example#;5551234#;" + MarkedText(w.Dir() + "/note.txt", 2) + "#'",
             &said),
      kSendHandedOver);
  EXPECT_EQ(said.find("Pelorin:"), std::string::npos) << said;
  ASSERT_GT(w.LastJob(), last) << said;
  ExpectPages(w.WaitArrival(w.LastJob()), 0, 2, Mark::Lines);
}

}  // namespace brevant::test
