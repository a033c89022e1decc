#pragma once
// CFax: one fax of the fax service as the mail-item writers and the import
// see it, either a message of the fax service's archive folders (XP mode) or
// a TIFF file of its store folders (file mode).
//
//   CFax fax;
//   fax.Init(message);          // a faxsvc::FaxMessage from
//                               // GetFaxServer()->Folders().IncomingArchive
//                               // .GetMessages() (or OutgoingArchive)
//   fax.Init("/path/x.tif");    // or a file of FaxStoreFolder() /
//                               // FaxArchiveFolder()
//   fax.Id(); fax.MailItemTo(); fax.CopyTiff(dest); ...
//
// Every member continues after errors: a failure writes one error record
// (source "CFax." + member label) and the member returns its empty value.
// Members that exist only for fax-service messages give error 13 and the
// empty value in file mode.
#include <memory>
#include <string>

#include "common/FaxJob.h"  // DateTime

namespace brevant {

namespace faxsvc {
class FaxMessage;
class FaxTiff;
}  // namespace faxsvc

// The time-zone bias in minutes as the mail client's times expect it: UTC
// minus local time, daylight saving included when it is in force now (UTC+2
// gives -120). The fax items' MAPI times are a fax time plus this bias.
long TimeZoneBias();
inline DateTime PlusTimeZoneBias(DateTime t) {
  return t + std::chrono::minutes(TimeZoneBias());
}

class CFax {
 public:
  CFax();
  ~CFax();  // runs Done
  CFax(const CFax&) = delete;
  CFax& operator=(const CFax&) = delete;

  // "Name[Fax:number]" of the recipient (XP mode), "CSID[Fax:CSID]" of the
  // file (file mode).
  std::string MailItemTo();
  // Message cancelled or being cancelled (XP mode only).
  bool IsCanceled();
  // Copies the fax's TIFF to destination, overwriting; false on failure.
  bool CopyTiff(const std::string& destination);
  // The message id, or the file name.
  std::string Id();
  // End of the transmission plus the time-zone bias (XP mode), or the
  // file's creation time (file mode).
  DateTime TimeReceived();
  std::string CSID();
  std::string TSID();
  // The message subject, or the file name.
  std::string Subject();
  // The message priority; 1 for a file.
  long Importance();
  // First set of the original schedule, schedule and submission times, else
  // now (XP mode only).
  DateTime TimeSent();
  std::string SenderName();       // XP mode only
  std::string SenderFaxNumber();  // XP mode only
  // Takes a message of the fax service (XP mode).
  void Init(std::shared_ptr<faxsvc::FaxMessage> message);
  // Takes a TIFF file of the fax service's folders (file mode).
  void Init(const std::string& tiffPath);
  void Done();

  bool XP() const { return m_XP; }

 private:
  std::string RecipientNameXP();
  std::string RecipientFaxNumberXP();
  faxsvc::FaxTiff* Tiff2k();
  void ErrorTrace(const std::string& label, long number, const std::string& description);

  bool m_XP = false;
  std::shared_ptr<faxsvc::FaxMessage> m_FaxEx;
  std::string m_File2k;  // full path of the TIFF file; "" when none
  std::unique_ptr<faxsvc::FaxTiff> m_Tiff2k;
};

}  // namespace brevant
