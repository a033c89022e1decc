#pragma once
// The mail account Brevant sends through, kept in the registry store:
// "Software\Norvane\Pelorin\Mail" of the current user (SmtpServer,
// SmtpPort, SmtpSecurity "none" | "starttls" | "ssl", SenderAddress,
// SmtpUser, SmtpTimeout in seconds), its password in the user's secret
// store. The mail layer is handed the account it sends through.
#include "platform/mail/MailStore.h"

namespace brevant::mail {

inline constexpr const char* kAccountKey = "Software\\Norvane\\Pelorin\\Mail";

// The user's account; missing values keep Account's defaults, the sender
// defaults to user@hostname.
Account LoadAccount();
// Throws MailError 75 when the account or its password cannot be stored.
void SaveAccount(const Account& account);

}  // namespace brevant::mail
