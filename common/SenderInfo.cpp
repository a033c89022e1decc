#include "common/SenderInfo.h"

#include <string>
#include <utility>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Logging.h"

namespace brevant::mCommon {
namespace {

// Fax job field and registry value, in the order they are read and written.
template <class F>
void ForEachSenderField(FaxJobRecord& j, F&& f) {
  f("Address", j.SenderAddress);
  f("BillingCode", j.SenderBillingCode);
  f("Company", j.SenderCompany);
  f("Department", j.SenderDepartment);
  f("MailBox", j.SenderEmail);
  f("FaxNumber", j.SenderfaxNumber);
  f("FullName", j.SenderFullName);
  f("HomePhone", j.SenderHomePhone);
  f("Title", j.SenderTitle);
  f("Office", j.SenderOffice);
  f("OfficePhone", j.SenderWorkPhone);
}

}  // namespace

void GetSenderInfo() {
  try {
    CWinReg reg;
    if (reg.InitForRead(CWinReg::HKEY_CURRENT_USER, kUserInfoKey)) {
      ForEachSenderField(FaxJob(),
                         [&](const char* value, std::string& field) { field = reg.GetString(value); });
      reg.CloseKey();
    }
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mCommon.GetSenderInfo");
  }
}

void SetSenderInfo() {
  try {
    CWinReg reg;
    if (reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, kUserInfoKey, true)) {
      ForEachSenderField(FaxJob(),
                         [&](const char* value, std::string& field) { reg.SetString(value, field); });
      reg.CloseKey();
    }
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "mCommon.SetSenderInfo");
  }
}

}  // namespace brevant::mCommon
