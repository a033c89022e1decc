// The fax job and its XML form: the exact text sent to the mail-fax
// service, reading it back, and dates.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "common/Errors.h"
#include "common/FaxJob.h"
#include "faxjob/CXmlFax.h"
#include "tests/support/TestWorld.h"

using namespace brevant;

namespace {

// Local time is fixed per test so the date texts are known.
struct LocalZone {
  explicit LocalZone(const char* tz) {
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~LocalZone() {
    ::unsetenv("TZ");
    ::tzset();
  }
};

void FillJob() {
  ClearFaxJob();
  FaxJobRecord& j = FaxJob();
  j.UseCover = true;
  j.CoverPages.Append("/covers/plain.cov");
  j.CoverPages.Append("/covers/R&D <urgent>.cov");
  j.CoverIndex = 2;
  j.FaxSubject = "Q3 figures & \"draft\" > final";
  j.FaxPriority = 2;
  j.FaxSchedule = 1;
  j.DTFaxSend = CXmlFax::ConvertStrToDate("20261204 14:05:09");
  j.Note = "Grüße aus Köln\nZeile zwei – ½ € 日本";
  j.FaxName = "report.pdf";
  j.SenderAddress = "Hauptstraße 1\n50667 Köln";
  j.SenderBillingCode = "B-7";
  j.SenderCompany = "Müller & Söhne";
  j.SenderDepartment = "";
  j.SenderEmail = "anna@example.org";
  j.SenderfaxNumber = "+49 221 555";
  j.SenderFullName = "Anna Müller";
  j.SenderHomePhone = "";
  j.SenderTitle = "Dr.";
  j.SenderOffice = "3.14";
  j.SenderWorkPhone = "+49 221 556";
  j.g_arrFaxName.Append("Bob <Sales>");
  j.g_arrFaxNumber.Append("555-0100");
  j.g_arrFaxName.Append("Zoë");
  j.g_arrFaxNumber.Append("555-0101");
}

}  // namespace

TEST(FaxJobXml, TextIsExactlyTheWireFormat) {
  LocalZone tz("UTC");
  FillJob();
  const std::string expected =
      "<Fax><FaxCover>/covers/R&amp;D &lt;urgent&gt;.cov</FaxCover>"
      "<FaxSubject>Q3 figures &amp; \"draft\" &gt; final</FaxSubject>"
      "<FaxPriority>2</FaxPriority><FaxSchedule>1</FaxSchedule>"
      "<DTFaxSend>20261204 14:05:09</DTFaxSend>"
      "<Note>Grüße aus Köln\nZeile zwei – ½ € 日本</Note><FaxName>report.pdf</FaxName><FaxBody/>"
      "<SenderAddress>Hauptstraße 1\n50667 Köln</SenderAddress><SenderBillingCode>B-7</SenderBillingCode>"
      "<SenderCompany>Müller &amp; Söhne</SenderCompany><SenderDepartment/>"
      "<SenderEmail>anna@example.org</SenderEmail><SenderfaxNumber>+49 221 555</SenderfaxNumber>"
      "<SenderFullName>Anna Müller</SenderFullName><SenderHomePhone/><SenderTitle>Dr.</SenderTitle>"
      "<SenderOffice>3.14</SenderOffice><SenderWorkPhone>+49 221 556</SenderWorkPhone>"
      "<RecipientsNumber>2</RecipientsNumber>"
      "<RecipientName1>Bob &lt;Sales&gt;</RecipientName1><RecipientNumber1>555-0100</RecipientNumber1>"
      "<RecipientName2>Zoë</RecipientName2><RecipientNumber2>555-0101</RecipientNumber2></Fax>";
  EXPECT_EQ(GetFaxJobXml(), expected);

  // No cover page and no recipients: FaxCover stays, empty; the count is 0
  // and nothing follows it.
  FaxJob().UseCover = false;
  FaxJob().g_arrFaxName.Clear();
  FaxJob().g_arrFaxNumber.Clear();
  std::string xml = GetFaxJobXml();
  EXPECT_EQ(xml.rfind("<Fax><FaxCover/><FaxSubject>", 0), 0u) << xml;
  EXPECT_NE(xml.find("<RecipientsNumber>0</RecipientsNumber></Fax>"), std::string::npos) << xml;
  EXPECT_EQ(xml.find("Recipient", xml.find("RecipientsNumber") + 40), std::string::npos);
}

TEST(FaxJobXml, ReadsBackEveryFieldUnchanged) {
  LocalZone tz("Europe/Berlin");
  FillJob();
  FaxJob().SenderDepartment = " ";  // blanks or a line break alone are values too
  FaxJob().FaxName = "\n";
  const std::string subject = FaxJob().FaxSubject;
  std::string xml = GetFaxJobXml();
  ASSERT_FALSE(xml.empty());

  FaxJob() = FaxJobRecord{};
  FaxJob().UseCover = true;
  CXmlFax reader;
  reader.SetXML(xml);
  reader.ReadSendFaxProps();
  const FaxJobRecord& j = FaxJob();
  ASSERT_EQ(j.CoverPages.Count(), 1u);
  EXPECT_EQ(j.CoverPages[1], "/covers/R&D <urgent>.cov");
  EXPECT_EQ(j.CoverIndex, 0);  // not read back
  // Every other field as it was: the text made from it is the same.
  FaxJob().CoverIndex = 1;
  EXPECT_EQ(GetFaxJobXml(), xml);

  // The values wrapped in one element under the root read the same way.
  CXmlFax wrapped;
  std::string inner = xml.substr(5, xml.size() - 11);
  wrapped.SetXML("<Fax><Job>" + inner + "</Job></Fax>");
  EXPECT_EQ(wrapped.ReadItemPropS("FaxSubject"), subject);

  // A missing element or a count that is not a number reaches the caller;
  // the recipient lists stay as they were.
  std::string noNumber2 = xml;
  noNumber2.erase(noNumber2.find("<RecipientNumber2>"), std::string("<RecipientNumber2>555-0101</RecipientNumber2>").size());
  reader.SetXML(noNumber2);
  try {
    reader.ReadSendFaxProps();
    ADD_FAILURE() << "missing element not reported";
  } catch (const VbError& e) {
    EXPECT_EQ(e.Number(), kErrObjectNotSet);
  }
  EXPECT_EQ(FaxJob().g_arrFaxName.Count(), 2u);
  reader.SetXML("<Fax><FaxPriority>high</FaxPriority></Fax>");
  EXPECT_EQ(reader.ReadItemPropS("FaxPriority"), "high");
  EXPECT_THROW(reader.ReadItemPropS("Note"), VbError);
  EXPECT_THROW(reader.SetXML("<Fax><Note>open"), VbError);
}

TEST(FaxJobXml, TextThatXmlCannotHoldIsMadeSafe) {
  ClearFaxJob();
  FaxJob().FaxSubject = std::string("bell\x07 tab\t latin1 \xE9t\xE9", 22);
  FaxJob().Note = "a\r\nb";
  std::string xml = GetFaxJobXml();
  EXPECT_NE(xml.find("<FaxSubject>bell tab\t latin1 \xEF\xBF\xBDt\xEF\xBF\xBD</FaxSubject>"), std::string::npos) << xml;
  CXmlFax reader;
  reader.SetXML(xml);
  EXPECT_EQ(reader.ReadItemPropS("Note"), "a\nb");  // line breaks read back as LF

  // A cover page index past the list: no text, one error record.
  test::TestWorld w;
  FaxJob().UseCover = true;
  FaxJob().CoverIndex = 3;
  EXPECT_EQ(GetFaxJobXml(), "");
  std::string log = test::TestWorld::ReadFile(w.ProgramDir() + "/Errors.log");
  EXPECT_NE(log.find("9,\"Subscript out of range"), std::string::npos) << log;
  EXPECT_NE(log.find(":mCommon.GetFaxJobXml\""), std::string::npos) << log;
  FaxJob().UseCover = false;
}

TEST(FaxJobXml, DatesUseTheFixedPatternAndCarryOver) {
  LocalZone tz("America/New_York");
  auto text = [](const char* s) { return CXmlFax::ConvertDateToStr(CXmlFax::ConvertStrToDate(s)); };
  EXPECT_EQ(text("20261231 23:59:60"), "20270101 00:00:00");
  EXPECT_EQ(text("20260230 25:61:00"), "20260303 02:01:00");
  EXPECT_EQ(text("20260704T09x08y07"), "20260704 09:08:07");  // separators are not looked at
  // Across the change to summer time the text stays the wall-clock time.
  EXPECT_EQ(CXmlFax::ConvertStrToDate("20260308 12:00:00") - CXmlFax::ConvertStrToDate("20260307 12:00:00"),
            std::chrono::hours(23));
  EXPECT_EQ(text("20261231 23:59:6"), "18991230 00:00:00");  // the zero date
  EXPECT_THROW(CXmlFax::ConvertStrToDate("2026ab31 23:59:59"), VbError);
  EXPECT_THROW(CXmlFax::ConvertStrToDate("99991231 23:59:59"), VbError);
}
