#pragma once
// CXmlFax: the fax job as an XML document, the fax job XML. It is the body
// of the mail that carries a fax to the mail-fax service, so its form is
// fixed: root "Fax"; under it, in this order, FaxCover, FaxSubject,
// FaxPriority, FaxSchedule, DTFaxSend, Note, FaxName, FaxBody, the eleven
// sender fields (SenderAddress ... SenderWorkPhone, "SenderfaxNumber" with a
// small "f"), RecipientsNumber, then RecipientName1, RecipientNumber1,
// RecipientName2, ... Each element holds its value as text; no attributes,
// no XML declaration, no indentation. Dates read "yyyyMMdd HH:mm:ss" in
// local time.
//
// The class traps nothing: errors of the parser or of a missing element (91)
// reach the caller. Reading accepts the layout written here (values under the
// root) as well as values wrapped in one element under the root.
#include <string>

#include "common/FaxJob.h"
#include "faxjob/CXmlStore.h"

namespace brevant {

class CXmlFax : private CXmlStore {
 public:
  CXmlFax();  // no file name

  using CXmlStore::CreateItem;
  using CXmlStore::GetItemsCount;
  using CXmlStore::ReadItemProp;
  using CXmlStore::ReadItemPropS;
  using CXmlStore::SetCurItem;
  using CXmlStore::WriteItemProp;
  // Create, then the whole fax job. Error 9 when the use-cover flag points
  // past the cover page list or a recipient has no number entry.
  void WriteSendFaxProps();
  // The 17-character date text, e.g. "20261204 14:05:09".
  static std::string ConvertDateToStr(LocalDateTime dtDate);
  // Reads a date text back. A text that is not 17 characters long gives the
  // zero date-time (ZeroDate). Out-of-range parts carry over by calendar
  // arithmetic ("20261231 23:59:60" is 1 January 2027, midnight), with no
  // daylight-saving change in between: the text's wall-clock time is the
  // date-time's, even one the clock skips. Error 13
  // when a part is not a number, 6 when the date is out of range.
  static LocalDateTime ConvertStrToDate(const std::string& strDate);
  // Reads a fax job XML (after Load or SetXML) into the fax job: the cover
  // page list becomes one entry (FaxCover), the text and number fields, the
  // date, the sender fields and the recipient lists. The use-cover flag and
  // cover page index stay. On an error the recipient lists stay unchanged.
  void ReadSendFaxProps();
  using CXmlStore::Create;
  using CXmlStore::Delete;
  using CXmlStore::GetFilename;
  using CXmlStore::IsEmpty;
  using CXmlStore::Load;
  using CXmlStore::Save;
  using CXmlStore::SetFilename;
  using CXmlStore::SetXML;
  using CXmlStore::XML;
};

// The fax job XML of the process-wide fax job; "" after writing an error
// record ("mCommon.GetFaxJobXml") when it cannot be built.
std::string GetFaxJobXml();

// The zero date-time: midnight of 30 December 1899, the day from which
// dates of the program's time are counted.
LocalDateTime ZeroDate();

}  // namespace brevant
