#include "delivery/OutlookFax.h"

#include <strings.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "common/MailSessions.h"
#include "delivery/CFax.h"
#include "delivery/MailTransport.h"
#include "faxservice/protocol/FaxTiff.h"
#include "platform/env/Environment.h"
#include "platform/fs/TempFiles.h"
#include "platform/process/Process.h"
#include "platform/ui/Ui.h"
#include "render/picture/FaxPicture.h"

namespace fs = std::filesystem;

namespace brevant {

namespace {

mail::Store& StoreOrThrow() {
  mail::Store* store = mCommon::GetMapiNamespace();
  if (!store) throw VbError(kErrObjectNotSet, "The mail store is not available");
  return *store;
}

std::string TempFolder() {
  std::string t = mCommon::MailTempFolder();
  return t.empty() ? mCommon::GetTempDir() : t;
}

// Copies the fax TIFF into the folder the user keeps copies in, unless that
// is the fax service's own folder.
void CopyToUserFolder(CFax& fax, const std::string& userFolder, const std::string& serviceFolder,
                      const std::string& id) {
  if (userFolder.empty() || strcasecmp(userFolder.c_str(), serviceFolder.c_str()) == 0) return;
  fs::create_directories(userFolder);
  std::string dest = userFolder + "/" + platform::SafeFileName(id, "Fax") + ".tiff";
  if (!fs::exists(dest)) fax.CopyTiff(dest);
}

// Pictures and the "FaxImage" attachment from a temporary copy of the TIFF.
void AddPages(mail::MailItem& item, const std::string& tempCopy) {
  GenerateFaxMessage(tempCopy, item);
  if (fs::exists(tempCopy)) item.AddAttachmentFile(tempCopy, "FaxImage");
}

void SetFaxId(mail::MailItem& item, const std::string& id) {
  item.AddUserProperty("FaxID", mail::olText).value = id;
}

enum class Kind { Inbox, Sent };

bool WriteFaxItem(Kind kind, const std::function<void(CFax&)>& init) {
  const char* source = kind == Kind::Inbox ? "mSend.GenerateOutlookInboxFax" : "msend.GenerateOutlookSentFax";
  std::string tempCopy;
  try {
    CFax fax;
    init(fax);
    mail::Store& store = StoreOrThrow();
    mail::Folder folder =
        store.GetDefaultFolder(kind == Kind::Inbox ? mail::olFolderInbox : mail::olFolderSentMail);
    std::string id = fax.Id();
    if (id.empty()) throw VbError(kErrInvalidCall, "The fax has no fax id");
    if (OutlookFaxExists(folder, id)) return true;

    const FaxJobRecord& job = FaxJob();
    ClientConfig& cfg = Config();
    mail::MailItem item = mail::Store::CreateItem(mail::olMailItem);
    item.UnRead = true;
    DateTime when;
    if (kind == Kind::Inbox) {
      item.Subject = "Fax";
      when = fax.TimeReceived();
      CopyToUserFolder(fax, cfg.InboxPath, cfg.MSInboxPath, id);
    } else {
      item.Subject = fax.Subject();
      item.Importance = static_cast<int>(fax.Importance());
      // A stored file knows no sending time: the zero date, as CFax gives it.
      when = fax.TimeSent();
      CopyToUserFolder(fax, cfg.SentPath, cfg.MSSentPath, id);
    }
    item.CreationTime = when;
    // The station id is whatever the far end sent: only ever a file name
    // in the user's own temporary folder.
    std::string csid = fax.CSID();
    tempCopy = TempFolder() + platform::SafeFileName(csid, platform::SafeFileName(id, "Fax")) + ".tiff";
    fax.CopyTiff(tempCopy);
    AddPages(item, tempCopy);
    item.Body = kind == Kind::Inbox
                    ? FaxSummaryText(false, fax.TSID(), FaxPageCount(tempCopy), when, item.Subject)
                    : FaxSummaryText(true, fax.MailItemTo(), FaxPageCount(tempCopy), when, item.Subject);
    SetFaxId(item, id);

    item.SetProp(mail::tag::ClientSubmitTime, PlusTimeZoneBias(when));
    item.SetProp(mail::tag::MessageDeliveryTime, PlusTimeZoneBias(when));
    if (kind == Kind::Inbox) {
      std::string tsid = fax.TSID();
      item.To = job.SenderFullName;
      item.SetProp(mail::tag::ReceivedByName, job.SenderFullName);
      item.SetProp(mail::tag::ReceivedByEmail, job.SenderfaxNumber);
      item.SetProp(mail::tag::ReceivedByAddrType, "Fax");
      item.SetProp(mail::tag::ReceivedRepresentingName, job.SenderFullName);
      item.SetProp(mail::tag::ReceivedRepresentingEmail, job.SenderfaxNumber);
      item.SetProp(mail::tag::ReceivedRepresentingAddrType, "Fax");
      item.SetProp(mail::tag::SentRepresentingName, tsid);
      item.SetProp(mail::tag::SentRepresentingEmail, tsid);
      item.SetProp(mail::tag::SentRepresentingAddrType, "Fax");
      item.SetProp(mail::tag::SenderName, tsid);
      item.SetProp(mail::tag::SenderEmail, tsid);
      item.SetProp(mail::tag::SenderAddrType, "Fax");
    } else {
      item.To = fax.MailItemTo();
      item.UnRead = false;
      item.SetProp(mail::tag::DisplayTo, fax.XP() ? fax.SenderFaxNumber() : std::string());
      item.SetProp(mail::tag::SentRepresentingName, job.SenderFullName);
      item.SetProp(mail::tag::SentRepresentingEmail, job.SenderfaxNumber);
      item.SetProp(mail::tag::SentRepresentingAddrType, "Fax");
      item.SetProp(mail::tag::SenderName, job.SenderFullName);
      item.SetProp(mail::tag::SenderEmail, job.SenderfaxNumber);
      item.SetProp(mail::tag::SenderAddrType, "Fax");
      item.SetProp(mail::tag::IconIndex, kFaxIconIndex);
    }
    folder.Save(item);  // the item appears complete, with its "FaxID"

    if (kind == Kind::Inbox) {
      // The forward is the item itself (pages, properties, "FaxID") under
      // "FW: ", sent and filed in Sent Items like any sent mail. The fax
      // icon comes last, so a forward that fails leaves the item without it.
      if (!cfg.ForwardEmail.empty()) {
        mail::MailItem fwd = item;
        fwd.Subject = "FW: " + item.Subject;
        fwd.To = cfg.ForwardEmail;
        SendMailItem(fwd);
      }
      item.SetProp(mail::tag::IconIndex, kFaxIconIndex);
      folder.Save(item);
    }
    std::error_code ec;
    fs::remove(tempCopy, ec);
    return true;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, source);
    if (!tempCopy.empty()) {
      std::error_code ec;
      fs::remove(tempCopy, ec);
    }
    return false;
  }
}

}  // namespace

bool GenerateOutlookInboxFax(const std::string& tiffPath) {
  return WriteFaxItem(Kind::Inbox, [&](CFax& f) { f.Init(tiffPath); });
}
bool GenerateOutlookInboxFax(std::shared_ptr<faxsvc::FaxMessage> message) {
  return WriteFaxItem(Kind::Inbox, [&](CFax& f) { f.Init(message); });
}
bool GenerateOutlookSentFax(const std::string& tiffPath) {
  return WriteFaxItem(Kind::Sent, [&](CFax& f) { f.Init(tiffPath); });
}
bool GenerateOutlookSentFax(std::shared_ptr<faxsvc::FaxMessage> message) {
  return WriteFaxItem(Kind::Sent, [&](CFax& f) { f.Init(message); });
}

std::string FaxSummaryText(bool sent, const std::string& parties, long pages, mail::DateTime time,
                           const std::string& subject) {
  // "Name[Fax:number]" reads "Name (number)", or the number alone when the
  // name is the number (a station id).
  std::string who;
  for (const std::string& p : mail::SplitAddresses(parties)) {
    std::string one = p;
    auto fax = p.rfind("[Fax:");
    if (fax != std::string::npos && p.back() == ']') {
      std::string name = p.substr(0, fax), number = p.substr(fax + 5, p.size() - fax - 6);
      one = name.empty() || name == number ? number : number.empty() ? name : name + " (" + number + ")";
    }
    if (one.empty()) continue;
    who += (who.empty() ? "" : ", ") + one;
  }
  if (who.empty()) who = sent ? "an unknown number" : "an unknown station";
  std::string text = std::string(sent ? "Fax to " : "Fax from ") + who + "\n";
  if (pages > 0) text += "Pages: " + std::to_string(pages) + "\n";
  if (time != mail::DateTime{}) {
    std::time_t t = std::chrono::system_clock::to_time_t(time);
    std::tm tm{};
    char buf[32] = "";
    if (localtime_r(&t, &tm)) std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    text += std::string(sent ? "Sent: " : "Received: ") + buf + "\n";
  }
  if (!subject.empty()) text += "Subject: " + subject + "\n";
  return text;
}

long FaxPageCount(const std::string& tiffPath) {
  int pages = 0;
  std::string why;
  return faxsvc::CheckFaxTiff(tiffPath, &pages, &why) ? pages : 0;
}

bool OutlookFaxExists(const mail::Folder& folder, const std::string& faxId) {
  std::optional<mail::Items> items = RestrictOutlookFaxes(folder, faxId);
  return items && items->Count() > 0;
}

std::optional<mail::Items> RestrictOutlookFaxes(const mail::Folder& folder, const std::string& faxId) {
  auto quote = [](const std::string& s) {
    std::string o;
    for (char c : s) o += c == '\'' ? std::string("''") : std::string(1, c);
    return o;
  };
  std::string filter = "[MessageClass] = 'IPM.Note' And ";
  filter += faxId.empty() ? "[FaxID] >= ' ' And [FaxID] <= 'z'" : "[FaxID] = '" + quote(faxId) + "'";
  for (int attempt = 1;; ++attempt) {
    try {
      return folder.Restrict(filter);
    } catch (...) {
      ErrInfo e = CurrentError();
      if (attempt == 2) {
        WriteErrorLog(e.number, e.description, "mSend.RestrictOutlookFaxes");
        return std::nullopt;
      }
    }
    long itemType = mail::olMailItem;
    try {
      mail::Store& store = StoreOrThrow();
      if (folder.EntryID() == store.GetDefaultFolder(mail::olFolderOutbox).EntryID() ||
          folder.EntryID() == store.GetDefaultFolder(mail::olFolderSentMail).EntryID())
        itemType = mail::olPostItem;
    } catch (...) {
    }
    AddUserProp2Folder(folder, itemType, "FaxID", mail::olText, "");
  }
}

void AddUserProp2Folder(const mail::Folder& folder, long itemType, const std::string& propName, long propType,
                        const std::string&) {
  WriteErrorLog(0, "Warning: Adding UserProperty to Folder", "AddUserProp2Folder");
  try {
    mail::MailItem item = mail::Store::CreateItem(static_cast<int>(itemType));
    item.Subject = "------------- " + propName + " Folder Property -------------";
    item.AddUserProperty(propName, static_cast<int>(propType));
    folder.AddUserField(propName, static_cast<int>(propType));
    folder.Save(item);
    folder.Delete(item);
  } catch (...) {
    // Errors are cleared: the caller's next restriction tells.
  }
}

bool SuperShell(const std::vector<std::string>& command, const std::string& workFolder, long timeoutMs) {
  try {
    platform::SpawnResult r = platform::Spawn(command, workFolder, true, timeoutMs);
    if (!r.started) throw VbError(kErrFileNotFound, "Cannot start " + command.at(0) + ": " + r.error);
    if (r.timedOut)
      throw VbError(kErrInvalidCall, command.at(0) + " did not end within " +
                                         std::to_string(timeoutMs / 1000) + " s and was ended");
    return true;
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mMailFuncs.SuperShell");
    return false;
  }
}

bool GenerateFaxMessage(const std::string& tiffPath, mail::MailItem& item) {
  if (!fs::exists(tiffPath)) {
    WriteErrorLog(567, "File not found:" + tiffPath, "mMailFuncs.generateFaxMessage");
    return false;
  }
  auto showPicture = [&item](std::string jpeg) {
    mail::Attachment a;
    a.displayName = "Page";
    a.fileName = "Fax.jpg";
    a.mimeType = "image/jpeg";
    a.contentId = "Page";
    a.data = std::move(jpeg);
    item.Attachments.insert(item.Attachments.begin(), std::move(a));
    item.HTMLBody = kPageHtml;
    item.Body.clear();
  };
  const std::string tool = platform::env::Get(platform::env::Var::ConsoleTool);
  if (tool.empty()) {
    // The picture is made here, as the console tool's "convert;" makes it,
    // without a process per fax (an import makes one per fax).
    std::string jpeg, why;
    if (render::JpegOfFirstPage(tiffPath, &jpeg, &why) && !jpeg.empty())
      showPicture(std::move(jpeg));
    else
      WriteErrorLog(1, why, "quorrender.Convert");
    return true;
  }
  // Another converter named for this run gets the console tool's command
  // line on a copy named "Fax.tiff" in a work folder of its own.
  std::string work = mCommon::GetTempDir() + "Quortmp";
  PendingError err;
  err.Step([&] {
    // Made anew, empty, in the user's own temporary folder.
    std::string why;
    if (!platform::CreateFreshFolder(work, &why) ||
        !platform::CopyToFreshFile(tiffPath, work + "/Fax.tiff", 0600, &why))
      throw VbError(kErrPathFileAccess, why);
    SuperShell({tool, "convert;", work + "/Fax.tiff"}, work);
    std::string jpg = work + "/Fax.jpg";
    if (fs::exists(jpg) && fs::file_size(jpg) > 0) {
      std::ifstream in(jpg, std::ios::binary);
      showPicture(std::string(std::istreambuf_iterator<char>(in), {}));
    }
  });
  if (err.Any() && (err.Get().number == kErrPermission || err.Get().number == kErrFileNotFound)) err.Clear();
  std::error_code ec;
  fs::remove_all(work, ec);
  if (err.Any()) WriteErrorLog(err.Get().number, err.Get().description, "mMailFuncs.GenerateFaxMessage");
  return true;
}

}  // namespace brevant
