#pragma once
// The two delivery paths that carry a fax as mail: the mail-fax service
// (one mail, subject "Talvane", the fax job XML as HTML body, the fax image
// and the cover page attached) and the e-mail-to-fax gateway (one address
// per recipient number). SendFaxMail and SendFaxEFax are declared in
// Delivery.h; after a successful hand-over both record the sent fax in Sent
// Items with GenerateMailSentFax.
#include <string>

#include "platform/mail/MailStore.h"

namespace brevant {

// The number without any of " +-/()pPwWdD.,": "+1 (2) 3-4" -> "1234".
std::string CleanFaxNumber(const std::string& number);

// The gateway's mail domain: "EFaxDomain" of "Software\Norvane\Pelorin"
// (current user), else "efaxsend.com".
std::string EFaxDomain();

// Sends the item through the mail account ("Software\Norvane\Pelorin\Mail")
// and files the sent copy, read, in Sent Items. Throws VbError when the mail
// is not accepted; nothing is filed then.
void SendMailItem(mail::MailItem& item);

// The configuration dialog's "Disconnect": the mail "Pelorin Disconnect" to
// the mail-fax address, sent and filed in Sent Items. False when it could not
// be sent (one error record "frmConfigure.DisconnectFromServer").
bool SendDisconnectMail(const std::string& to);

// Records the fax job just handed over as a fax item in Sent Items, with the
// pages of previewPath ("FaxPreview.tif" of the spool folder). Filing the
// same fax again (same subject and preview time) replaces its item. A copy of
// the preview goes to SentPath unless that is the fax service's own folder.
bool GenerateMailSentFax(const std::string& previewPath);

inline constexpr const char* kMailFaxSubject = "Talvane";
inline constexpr const char* kHandedOverText =
    "Fax is created and will be sent immediately after you click Send/Receive in Outlook.";

}  // namespace brevant
