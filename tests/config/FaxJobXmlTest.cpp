// The fax job's XML form: the exact text sent to the mail-fax service (the
// program itself never reads it back).
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "common/Errors.h"
#include "common/FaxJob.h"
#include "faxjob/CXmlFax.h"
#include "tests/support/TestWorld.h"

using namespace brevant;

TEST(FaxJobXml, TextIsExactlyTheWireFormat) {
  ::setenv("TZ", "UTC", 1);  // the date text is local time
  ::tzset();
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
  j.UseCover = false;
  j.g_arrFaxName.Clear();
  j.g_arrFaxNumber.Clear();
  std::string xml = GetFaxJobXml();
  EXPECT_EQ(xml.rfind("<Fax><FaxCover/><FaxSubject>", 0), 0u) << xml;
  EXPECT_NE(xml.find("<RecipientsNumber>0</RecipientsNumber></Fax>"), std::string::npos) << xml;
  EXPECT_EQ(xml.find("Recipient", xml.find("RecipientsNumber") + 40), std::string::npos);
}

TEST(FaxJobXml, TextThatXmlCannotHoldIsMadeSafe) {
  ClearFaxJob();
  FaxJob().FaxSubject = std::string("bell\x07 tab\t latin1 \xE9t\xE9", 22);
  std::string xml = GetFaxJobXml();
  EXPECT_NE(xml.find("<FaxSubject>bell tab\t latin1 \xEF\xBF\xBDt\xEF\xBF\xBD</FaxSubject>"),
            std::string::npos)
      << xml;

  // A cover page index past the list: no text, one error record.
  test::TestWorld w;
  FaxJob().UseCover = true;
  FaxJob().CoverIndex = 3;
  EXPECT_EQ(GetFaxJobXml(), "");
  std::string log = w.Errors();
  EXPECT_NE(log.find("9,\"Subscript out of range"), std::string::npos) << log;
  EXPECT_NE(log.find(":mCommon.GetFaxJobXml\""), std::string::npos) << log;
  FaxJob().UseCover = false;
}

// The send time is wall-clock time: a day is 24 hours whatever the clock
// does, and a time the change to summer time skips stays as written.
TEST(FaxJobXml, DatesAreCalendarArithmetic) {
  ::setenv("TZ", "America/New_York", 1);
  ::tzset();
  EXPECT_EQ(CXmlFax::ConvertDateToStr(CXmlFax::ConvertStrToDate("20261231 23:59:60")), "20270101 00:00:00");
  EXPECT_EQ(CXmlFax::ConvertStrToDate("20260308 12:00:00") - CXmlFax::ConvertStrToDate("20260307 12:00:00"),
            std::chrono::hours(24));
  EXPECT_EQ(CXmlFax::ConvertDateToStr(CXmlFax::ConvertStrToDate("20260308 02:30:00")), "20260308 02:30:00");
  EXPECT_EQ(CXmlFax::ConvertDateToStr(CXmlFax::ConvertStrToDate("20260307 26:30:00")), "20260308 02:30:00");
  EXPECT_EQ(CXmlFax::ConvertStrToDate("20261231 23:59:6"), ZeroDate());
  EXPECT_THROW(CXmlFax::ConvertStrToDate("2026ab31 23:59:59"), VbError);
}
