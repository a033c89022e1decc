#include "delivery/CFax.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "common/Errors.h"
#include "common/Logging.h"
#include "faxservice/client/FaxService.h"
#include "platform/fs/TempFiles.h"

namespace brevant {

namespace {

std::string FileName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// Runs one member's body; a failure is recorded under the member's label and
// the member's empty value is returned.
template <class T, class F>
T Guarded(CFax* self, void (CFax::*trace)(const std::string&, long, const std::string&), const char* label,
          T empty, F&& body) {
  try {
    return body();
  } catch (...) {
    ErrInfo e = CurrentError();
    (self->*trace)(label, e.number, e.description);
    return empty;
  }
}

[[noreturn]] void TypeMismatch() {
  throw VbError(kErrTypeMismatch, "Type mismatch");
}

}  // namespace

long TimeZoneBias() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  if (!localtime_r(&now, &local)) return 0;
  return -local.tm_gmtoff / 60;
}

CFax::CFax() = default;
CFax::~CFax() {
  Done();
}

void CFax::ErrorTrace(const std::string& label, long number, const std::string& description) {
  std::string text =
      description + "\r\n" + "m_XP = " + (m_XP ? "true" : "false") + "\r\n" + "m_FaxEx is " +
      (m_FaxEx ? (m_FaxEx->Incoming() ? "IFaxIncomingMessage" : "IFaxOutgoingMessage") : "Nothing") + "\r\n" +
      "m_Tiff2k_private is " + (m_Tiff2k ? "IFaxTiff" : "Nothing") + "\r\n" + "m_File2k.Path =" + m_File2k;
  WriteErrorLog(number, text, "CFax." + label);
}

faxsvc::FaxTiff* CFax::Tiff2k() {
  if (!m_Tiff2k) {
    try {
      auto t = std::make_unique<faxsvc::FaxTiff>();
      t->SetImage(m_File2k);
      m_Tiff2k = std::move(t);
    } catch (...) {
      ErrInfo e = CurrentError();
      ErrorTrace("m_Tiff2k", e.number, e.description);
      throw;
    }
  }
  return m_Tiff2k.get();
}

std::string CFax::RecipientNameXP() {
  return Guarded<std::string>(this, &CFax::ErrorTrace, "RecipientNameXP", "", [&] {
    if (!m_XP) TypeMismatch();
    return m_FaxEx->RecipientName();
  });
}

std::string CFax::RecipientFaxNumberXP() {
  return Guarded<std::string>(this, &CFax::ErrorTrace, "RecipientFaxNumberXP", "", [&] {
    if (!m_XP) TypeMismatch();
    return m_FaxEx->RecipientFaxNumber();
  });
}

std::string CFax::MailItemTo() {
  return Guarded<std::string>(this, &CFax::ErrorTrace, "MailItemTo", "", [&] {
    if (m_XP) return RecipientNameXP() + "[Fax:" + RecipientFaxNumberXP() + "]";
    std::string csid = Tiff2k()->CSID();
    return csid + "[Fax:" + csid + "]";
  });
}

bool CFax::IsCanceled() {
  return Guarded<bool>(this, &CFax::ErrorTrace, "IsCanceled", false, [&] {
    if (!m_XP) TypeMismatch();
    long s = m_FaxEx->Status();
    return s == faxsvc::kJobCanceled || s == faxsvc::kJobCanceling;
  });
}

bool CFax::CopyTiff(const std::string& destination) {
  return Guarded<bool>(this, &CFax::ErrorTrace, "CopyTiff", false, [&] {
    if (m_XP) {
      m_FaxEx->CopyTiff(destination);
    } else {
      if (m_File2k.empty()) throw VbError(kErrObjectNotSet, "Object variable not set");
      // A new file at the name: a link left there is replaced, never
      // written through.
      std::string why;
      if (!platform::CopyToFreshFile(m_File2k, destination, 0666, &why))
        throw VbError(kErrPathFileAccess, why);
    }
    return true;
  });
}

std::string CFax::Id() {
  return Guarded<std::string>(this, &CFax::ErrorTrace, "FaxId", "", [&] {
    if (m_XP) return m_FaxEx->Id();
    if (m_File2k.empty()) throw VbError(kErrObjectNotSet, "Object variable not set");
    return FileName(m_File2k);
  });
}

DateTime CFax::TimeReceived() {
  return Guarded<DateTime>(this, &CFax::ErrorTrace, "TimeReceived", DateTime{}, [&] {
    // A message's end of transmission carries the time-zone bias, as the
    // mail items' times do; a stored file's creation time does not (the
    // item writers add the bias to it).
    if (m_XP) return PlusTimeZoneBias(DateTime(m_FaxEx->TransmissionEnd()));
    struct statx sx {};
    if (::statx(AT_FDCWD, m_File2k.c_str(), 0, STATX_BTIME | STATX_MTIME, &sx) != 0)
      throw VbError(kErrFileNotFound, "File not found: " + m_File2k);
    // A file's creation time is its birth time, unless it was modified
    // before that: a copy that kept its original's times (the user's view
    // of the service's store is made of such copies) was created when the
    // original was, which Linux cannot write as a birth time. File systems
    // without a birth time give the last change.
    auto at = [](const statx_timestamp& ts) {
      return DateTime(std::chrono::duration_cast<DateTime::duration>(std::chrono::seconds(ts.tv_sec) +
                                                                     std::chrono::nanoseconds(ts.tv_nsec)));
    };
    DateTime modified = at(sx.stx_mtime);
    return (sx.stx_mask & STATX_BTIME) ? std::min(at(sx.stx_btime), modified) : modified;
  });
}

std::string CFax::CSID() {
  return Guarded<std::string>(this, &CFax::ErrorTrace, "CSID", "",
                              [&] { return m_XP ? m_FaxEx->CSID() : Tiff2k()->CSID(); });
}

std::string CFax::TSID() {
  return Guarded<std::string>(this, &CFax::ErrorTrace, "TSID", "",
                              [&] { return m_XP ? m_FaxEx->TSID() : Tiff2k()->TSID(); });
}

std::string CFax::Subject() {
  return Guarded<std::string>(this, &CFax::ErrorTrace, "FaxSubject", "", [&] {
    if (m_XP) return m_FaxEx->Subject();
    if (m_File2k.empty()) throw VbError(kErrObjectNotSet, "Object variable not set");
    return FileName(m_File2k);
  });
}

long CFax::Importance() {
  long result = 1;
  try {
    if (m_XP) result = m_FaxEx->Priority();
  } catch (...) {
  }
  return result;
}

DateTime CFax::TimeSent() {
  return Guarded<DateTime>(this, &CFax::ErrorTrace, "TimeSent", DateTime{}, [&] {
    if (!m_XP) TypeMismatch();
    for (faxsvc::TimePoint t :
         {m_FaxEx->OriginalScheduledTime(), m_FaxEx->ScheduledTime(), m_FaxEx->SubmissionTime()})
      if (t != faxsvc::TimePoint{}) return DateTime(t);
    return std::chrono::system_clock::now();
  });
}

std::string CFax::SenderName() {
  return Guarded<std::string>(this, &CFax::ErrorTrace, "SenderName", "", [&] {
    if (!m_XP) TypeMismatch();
    return m_FaxEx->SenderName();
  });
}

std::string CFax::SenderFaxNumber() {
  return Guarded<std::string>(this, &CFax::ErrorTrace, "SenderFaxNumber", "", [&] {
    if (!m_XP) TypeMismatch();
    return m_FaxEx->SenderFaxNumber();
  });
}

void CFax::Init(std::shared_ptr<faxsvc::FaxMessage> message) {
  Done();
  if (!message) {
    ErrorTrace("Init", kErrObjectNotSet, "Object variable not set");
    return;
  }
  m_FaxEx = std::move(message);
  m_XP = true;
}

void CFax::Init(const std::string& tiffPath) {
  Done();
  m_File2k = tiffPath;
  m_XP = false;
}

void CFax::Done() {
  m_FaxEx.reset();
  m_File2k.clear();
  m_Tiff2k.reset();
}

}  // namespace brevant
