#include "common/MailSessions.h"

#include <algorithm>
#include <memory>

#include "common/CWinReg.h"
#include "common/Errors.h"
#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "common/MailAccount.h"
#include "common/SenderInfo.h"
#include "platform/mail/MailStore.h"

namespace brevant::mCommon {

namespace {

// How long the logon of the sending session may take: it runs before the
// first mail of a run, and a server that does not answer must not hold the
// user up for the whole sending time-out.
constexpr long kLogonSeconds = 5;

struct Sessions {
  std::unique_ptr<mail::Store> store;
  std::unique_ptr<mail::Account> account;
  std::string previousDefaultMail;
  std::string tempFolder;
  FaxServerStarter startFaxServer = nullptr;
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
    if (S().account && !err.Any()) {
      // Log on now, so a server that is not there or refuses the login is
      // told once here. The session is kept all the same.
      try {
        mail::Logon(*S().account, std::min(kLogonSeconds, S().account->timeoutSeconds));
      } catch (...) {
        ErrInfo e = CurrentError();
        WriteErrorLog(e.number, "Logon CDO error:" + e.description, "mCommon.SetCDOSession");
      }
    }
    if (!S().account) S().account = std::make_unique<mail::Account>();
  }
  if (err.Any()) WriteErrorLog(err.Get().number, err.Get().description, "mCommon.SetCDOSession");
  return S().account.get();
}

bool HasCDOSession() {
  return S().account != nullptr;
}

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

const std::string& MailTempFolder() {
  return S().tempFolder;
}

void SetFaxServerStarter(FaxServerStarter start) {
  S().startFaxServer = start;
}

void Start(bool resetJob) {
  PendingError err;
  err.Step([] {
    if (!S().store) InitOutlApp();
  });
  err.Step([] { S().tempFolder = GetTempDir(); });
  err.Step([] {
    if (S().startFaxServer) S().startFaxServer();
  });
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
