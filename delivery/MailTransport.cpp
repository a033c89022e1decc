#include "delivery/MailTransport.h"

#include <strings.h>
#include <sys/stat.h>

#include <ctime>
#include <filesystem>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "common/MailSessions.h"
#include "delivery/CFax.h"
#include "delivery/Delivery.h"
#include "delivery/OutlookFax.h"
#include "faxjob/CXmlFax.h"
#include "platform/fs/TempFiles.h"
#include "platform/mail/MailStore.h"
#include "platform/ui/Ui.h"

namespace fs = std::filesystem;

namespace brevant {

namespace {

bool CoverWanted() {
  return FaxJob().UseCover && !FaxJob().CoverInImage;
}

// The fax image the pipeline made for this job.
std::string FaxImageFile() {
  const std::string& f = FaxJob().FaxImageFile;
  return f.empty() ? GetSpoolFolder() + "Fax.tif" : f;
}

std::string ChosenCoverPage() {
  const FaxJobRecord& j = FaxJob();
  if (j.CoverIndex < 1 || static_cast<std::size_t>(j.CoverIndex) > j.CoverPages.Count())
    throw VbError(kErrSubscript, "No cover page is chosen");
  return j.CoverPages[static_cast<std::size_t>(j.CoverIndex)];
}

// After a successful hand-over: tell the user, then record the sent fax.
void AfterHandOver(const char* source) {
  Run().FaxesHandedOver += FaxJob().g_arrFaxName.Count();
  ui::MsgBox(kHandedOverText, "Pelorin");
  std::string spool = GetSpoolFolder();
  if (fs::exists(spool + "FaxPreview.tif"))
    GenerateMailSentFax(spool + "FaxPreview.tif");
  else
    WriteErrorLog(567, "File not found: " + spool + "FaxPreview.tif", source);
}

std::string LocalGeneralDate(std::time_t t) {
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

}  // namespace

void SendMailItem(mail::MailItem& item) {
  mail::Send(item, *mCommon::SetCDOSession());
  if (mail::Store* store = mCommon::GetMapiNamespace()) {
    item.UnRead = false;
    store->GetDefaultFolder(mail::olFolderSentMail).Save(item);
  }
}

bool SendDisconnectMail(const std::string& to) {
  try {
    mail::MailItem item = mail::Store::CreateItem(mail::olMailItem);
    item.Subject = "Pelorin Disconnect";
    item.Body = "Disconnect";
    item.To = to;
    SendMailItem(item);
    return true;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "frmConfigure.DisconnectFromServer");
    return false;
  }
}

std::string CleanFaxNumber(const std::string& number) {
  std::string out = number;
  for (char c : std::string(" +-/()pPwWdD.,")) std::erase(out, c);
  return out;
}

std::string EFaxDomain() {
  CWinReg reg;
  std::string d;
  if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kPelorinKey)) {
    d = reg.GetString("EFaxDomain");
    reg.CloseKey();
  }
  return d.empty() ? "efaxsend.com" : d;
}

void SendFaxMail() {
  const char* source = "msendFaxMail.SendFaxMail";
  try {
    const FaxJobRecord& job = FaxJob();
    bool cover = CoverWanted();
    mail::MailItem item = mail::Store::CreateItem(mail::olMailItem);
    item.Subject = kMailFaxSubject;
    item.To = Config().EmailFax;
    item.HTMLBody = GetFaxJobXml();
    if (job.g_arrFiles.Count() >= 1) item.AddAttachmentFile(FaxImageFile(), "FaxImage");
    if (cover) {
      std::string copy = mCommon::GetTempDir() + "Fax.Cov", why;
      if (!platform::CopyToFreshFile(ChosenCoverPage(), copy, 0600, &why))
        throw VbError(kErrPathFileAccess, why);
      item.AddAttachmentFile(copy, "FaxCover");
    }
    SendMailItem(item);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, source);
    return;
  }
  AfterHandOver(source);
}

void SendFaxEFax() {
  const char* source = "msendFaxMail.SendFaxEFax";
  try {
    const FaxJobRecord& job = FaxJob();
    bool cover = CoverWanted();
    std::string to;
    std::string domain = EFaxDomain();
    for (std::size_t k = 1; k <= job.g_arrFaxNumber.Count(); ++k)
      to += CleanFaxNumber(job.g_arrFaxNumber[k]) + "@" + domain + ";";
    mail::MailItem item = mail::Store::CreateItem(mail::olMailItem);
    item.Subject = "";
    item.To = to;
    item.Body = "";
    if (cover) item.AddAttachmentFile(GetSpoolFolder() + "FaxCover.Tif", "FaxCover");
    for (std::size_t k = 1; k <= job.g_arrFiles.Count(); ++k)
      item.AddAttachmentFile(job.g_arrFiles[k], "FaxImage");
    item.AddUserProperty("FaxToEFax", mail::olText);
    SendMailItem(item);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, source);
    return;
  }
  AfterHandOver(source);
}

bool GenerateMailSentFax(const std::string& previewPath) {
  std::string tempCopy;
  try {
    const FaxJobRecord& job = FaxJob();
    mail::Store* store = mCommon::GetMapiNamespace();
    if (!store) throw VbError(kErrObjectNotSet, "The mail store is not available");
    mail::Folder sent = store->GetDefaultFolder(mail::olFolderSentMail);
    std::string subject = job.FaxSubject.empty() ? "Fax" : job.FaxSubject;
    struct stat st {};
    if (::stat(previewPath.c_str(), &st) != 0)
      throw VbError(kErrFileNotFound, "File not found: " + previewPath);
    std::string faxId = LocalGeneralDate(st.st_mtime);

    // The same fax filed before (same subject, same preview time) is reused.
    std::string quoted;
    for (char c : subject) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    mail::MailItem item = mail::Store::CreateItem(mail::olMailItem);
    mail::Items same = sent.Restrict("[Subject]='" + quoted + "'");
    for (std::size_t i = 1; i <= same.Count(); ++i) {
      mail::MailItem candidate = same.Item(i);
      const mail::UserProperty* p = candidate.FindUserProperty("FaxID");
      if (p && p->value == faxId) {
        item = std::move(candidate);
        item.Attachments.clear();
        item.HTMLBody.clear();
        break;
      }
    }
    item.SetProp(mail::tag::IconIndex, kFaxIconIndex);
    item.Subject = subject;
    item.Importance = job.FaxPriority;
    std::string to;
    for (std::size_t k = 1; k <= job.g_arrFaxName.Count(); ++k)
      to += job.g_arrFaxName[k] + "[Fax:" + (k <= job.g_arrFaxNumber.Count() ? job.g_arrFaxNumber[k] : "") +
            "];";
    item.To = to;
    // A new item is created now; a reused one keeps the time it was made.
    if (item.CreationTime == DateTime{}) item.CreationTime = std::chrono::system_clock::now();

    const ClientConfig& cfg = Config();
    if (!cfg.SentPath.empty() && strcasecmp(cfg.SentPath.c_str(), cfg.MSSentPath.c_str()) != 0) {
      fs::create_directories(cfg.SentPath);
      std::string copy = cfg.SentPath + "/" + faxId + ".tiff";
      if (!fs::exists(copy)) fs::copy_file(previewPath, copy);
    }

    tempCopy = mCommon::GetTempDir() + "FaxPreview.tif";
    std::string why;
    if (fs::absolute(previewPath) != fs::absolute(tempCopy) &&
        !platform::CopyToFreshFile(previewPath, tempCopy, 0600, &why))
      throw VbError(kErrPathFileAccess, why);
    GenerateFaxMessage(tempCopy, item);
    item.Body = FaxSummaryText(true, to, FaxPageCount(tempCopy), item.CreationTime, subject);
    item.AddAttachmentFile(tempCopy, "FaxImage");
    item.AddUserProperty("FaxID", mail::olText).value = faxId;

    item.SetProp(mail::tag::ClientSubmitTime, PlusTimeZoneBias(item.CreationTime));
    item.SetProp(mail::tag::MessageDeliveryTime, PlusTimeZoneBias(item.CreationTime));
    item.SetProp(mail::tag::DisplayTo, job.SenderFullName);
    item.SetProp(mail::tag::SentRepresentingName, job.SenderFullName);
    item.SetProp(mail::tag::SentRepresentingEmail, job.SenderfaxNumber);
    item.SetProp(mail::tag::SentRepresentingAddrType, "Fax");
    item.SetProp(mail::tag::SenderName, job.SenderFullName);
    item.SetProp(mail::tag::SenderEmail, job.SenderfaxNumber);
    item.SetProp(mail::tag::SenderAddrType, "Fax");
    item.UnRead = false;
    sent.Save(item);
    std::error_code ec;
    if (fs::absolute(previewPath) != fs::absolute(tempCopy)) fs::remove(tempCopy, ec);
    return true;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "msendFaxMail.GenerateMailSentFax");
    return false;
  }
}

}  // namespace brevant
