// The fields a cover page shows: the sample data of previews and the
// current fax's values.
#include <chrono>
#include <ctime>
#include <filesystem>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "render/cover/CoverPage.h"

namespace brevant::cover {
namespace {

std::string FormatTime(std::chrono::system_clock::time_point t, bool utc) {
  std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  if (utc)
    gmtime_r(&tt, &tm);
  else
    localtime_r(&tt, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, utc ? "%Y-%m-%d %H:%M UTC" : "%Y-%m-%d %H:%M", &tm);
  return buf;
}

// Page files "00000001.emf" upward in folder.
int CountPageFiles(const std::string& folder) {
  int n = 0;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (emf::PageFileNumber(it->path().filename().string()) >= 1) ++n;
  return n;
}

}  // namespace

CoverFields SampleFields() {
  return {{"RecName", "RecName"},
          {"RecFaxNumber", "12354"},
          {"RecCompany", "RecCompany"},
          {"RecStreetAddress", "Address"},
          {"RecCity", "RecCity"},
          {"RecState", "RecState"},
          {"RecZip", "RecZip"},
          {"RecCountry", "RecCountry"},
          {"RecTitle", "RecTitle"},
          {"RecDepartment", "RecDepartment"},
          {"RecOfficeLocation", "Office"},
          {"RecHomePhone", "1234"},
          {"RecOfficePhone", "234"},
          {"SdrName", "Sender"},
          {"SdrFaxNumber", "9876"},
          {"SdrCompany", "Company"},
          {"SdrAddress", "Address"},
          {"SdrTitle", "Title"},
          {"SdrDepartment", "Dep"},
          {"SdrOfficeLocation", "3"},
          {"SdrHomePhone", "234"},
          {"SdrOfficePhone", "567"},
          {"SdrEmail", "sender@example.com"},
          {"SdrBillingCode", "1234"},
          {"Note", "Note"},
          {"Subject", "Subject"},
          {"TimeSent", FormatTime(std::chrono::system_clock::now(), true)},
          {"PageCount", "2"}};
}

CoverFields JobFields(const std::string& spoolFolder) {
  CoverFields f;
  try {
    CWinReg reg;
    bool open = reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kUserInfoKey);
    auto stored = [&](const char* value) { return open ? reg.GetString(value) : std::string(); };
    f["RecName"] = stored("LastRecipientName");
    f["RecFaxNumber"] = stored("LastRecipientNumber");
    f["Subject"] = stored("Subject");
    f["Note"] = stored("Note");
    std::string sent = stored("Sent");
    f["TimeSent"] = sent.empty() ? FormatTime(std::chrono::system_clock::now(), false) : sent;
    f["SdrName"] = stored("FullName");
    f["SdrFaxNumber"] = stored("FaxNumber");
    f["SdrCompany"] = stored("Company");
    f["SdrAddress"] = stored("Address");
    f["SdrTitle"] = stored("Title");
    f["SdrDepartment"] = stored("Department");
    f["SdrOfficeLocation"] = stored("Office");
    f["SdrHomePhone"] = stored("HomePhone");
    f["SdrOfficePhone"] = stored("OfficePhone");
    f["SdrEmail"] = stored("MailBox");
    f["SdrBillingCode"] = stored("BillingCode");
    std::string spool = spoolFolder.empty() ? GetSpoolFolder() : spoolFolder;
    f["PageCount"] = std::to_string(CountPageFiles(spool) + 1);
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mRender.JobFields");
  }
  return f;
}

std::string CurrentCoverTemplate() {
  CWinReg reg;
  if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kUserInfoKey)) return reg.GetString("CoverPageFile");
  return "";
}

}  // namespace brevant::cover
