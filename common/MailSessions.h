#pragma once
// The process-wide mail sessions: the mail store (the user's Maildir, in the
// place of the mail client's "MAPI" namespace) and the sending session (the
// SMTP account), opened on first use and released at the end of the run.
// Only declarations of the mail layer's types appear here, so including this
// header pulls in no mail library.
#include <string>

namespace brevant::mail {
class Store;
struct Account;
}  // namespace brevant::mail

namespace brevant::mCommon {

// Prepares the sessions for an operation that receives or imports faxes:
// the mail store, the mail temporary folder and the fax server connection;
// with resetJob, empties the recipient names and attachments of the fax job
// and reads the sender details again.
void Start(bool resetJob);
// The fax server lives in a library above this one; start-up tells Start
// how to get the process's fax server (it is kept, so a second call costs
// nothing).
using FaxServerStarter = void (*)();
void SetFaxServerStarter(FaxServerStarter start);
// Releases every mail session; safe to call more than once.
void Dispose();

// Opens the mail store; null (with an error record "Cannot Init Outlook:")
// when its folder cannot be made.
mail::Store* InitOutlApp();
// The process's mail store, opened on first use (null when it cannot be).
mail::Store* GetMapiNamespace();
// The sending session: the mail account of the registry store, logged on to
// its server once per process (a failed logon is recorded as "Logon CDO
// error:" and the session is kept). Creating it makes this program the
// default mail client until Dispose. Never null.
const mail::Account* SetCDOSession();
// True once SetCDOSession has run in this process.
bool HasCDOSession();
// Makes this program the default mail client (true) or restores the
// previous default (false). Errors ignored.
void OutlookDefaultMail(bool set);
// The mail temporary folder Start noted ("" before Start).
const std::string& MailTempFolder();

// The mail client's registration and the machine's default mail client.
inline constexpr const char* kMailClientsKey = "SOFTWARE\\Clients\\Mail";
inline constexpr const char* kMailClientName = "Microsoft Outlook";

}  // namespace brevant::mCommon
