#include "common/MailSessions.h"

#include <memory>

#include "common/CWinReg.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "common/SenderInfo.h"
#include "platform/mail/MailStore.h"

namespace brevant::mCommon {

namespace {

struct Sessions {
  std::unique_ptr<mail::Store> store;
  std::unique_ptr<mail::Account> account;
  std::string previousDefaultMail;
  std::string tempFolder;
};

Sessions& S() {
  static Sessions s;
  return s;
}

}  // namespace

mail::Store* InitOutlApp() {
  try {
    auto store = std::make_unique<mail::Store>();
    // Opening the Inbox makes the store's folders when they are missing and
    // fails when the place cannot hold them.
    store->GetDefaultFolder(mail::olFolderInbox);
    S().store = std::move(store);
    return S().store.get();
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, "Cannot Init Outlook:" + e.description, "mCommon.InitOutlApp");
    return nullptr;
  }
}

mail::Store* GetMapiNamespace() {
  if (!S().store) InitOutlApp();
  return S().store.get();
}

const mail::Account* SetCDOSession() {
  PendingError err;
  if (!S().account) {
    err.Step([] { OutlookDefaultMail(true); });
    err.Step([] { S().account = std::make_unique<mail::Account>(mail::LoadAccount()); });
    if (!S().account) S().account = std::make_unique<mail::Account>();
  }
  if (err.Any()) WriteErrorLog(err.Get().number, err.Get().description, "mCommon.SetCDOSession");
  return S().account.get();
}

bool HasCDOSession() { return S().account != nullptr; }

void OutlookDefaultMail(bool set) {
  try {
    {
      CWinReg client;
      if (!client.InitForRead(CWinReg::HKEY_LOCAL_MACHINE,
                              std::string(kMailClientsKey) + "\\" + kMailClientName))
        return;
      bool registered = !client.GetString("").empty();
      client.CloseKey();
      if (!registered) return;
    }
    CWinReg mailKey;
    if (!mailKey.InitForWrite(CWinReg::HKEY_LOCAL_MACHINE, kMailClientsKey, false)) return;
    if (set) {
      S().previousDefaultMail = mailKey.GetString("");
      if (S().previousDefaultMail != kMailClientName) {
        mailKey.SetString("", kMailClientName);
        mailKey.FlushKey();
      }
    } else if (!S().previousDefaultMail.empty()) {
      mailKey.SetString("", S().previousDefaultMail);
    }
    mailKey.CloseKey();
  } catch (...) {
    // A registry store that cannot be reached leaves the default as it is.
  }
}

const std::string& MailTempFolder() { return S().tempFolder; }

void Start(bool resetJob) {
  PendingError err;
  err.Step([] {
    if (!S().store) InitOutlApp();
  });
  err.Step([] { S().tempFolder = GetTempDir(); });
  // The fax service connection is opened by the fax service client on its
  // first use; nothing to prepare for it here.
  if (resetJob) {
    err.Step([] {
      FaxJob().g_arrFaxName.Clear();
      FaxJob().g_arrFiles.Clear();
    });
    err.Step([] { GetSenderInfo(); });
  }
  if (err.Any()) WriteErrorLog(err.Get().number, err.Get().description, "mCommon.Start");
}

void Dispose() {
  PendingError err;
  err.Step([] { WriteTraceLog("Dispose", ""); });
  err.Step([] { S().store.reset(); });
  if (S().account) {
    err.Step([] { OutlookDefaultMail(false); });
    S().account.reset();
  }
  err.Step([] { WriteTraceLog("Dispose - END", ""); });
  if (err.Any()) WriteErrorLog(err.Get().number, err.Get().description, "mCommon.Dispose");
}

}  // namespace brevant::mCommon
