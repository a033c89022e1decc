#pragma once
// Helpers shared by the mail layer's sources (not for other libraries).
#include <string>

#include "platform/mail/MailStore.h"

namespace brevant::mail {
std::string FormatPropTime(DateTime t);
std::string MimeTypeForName(const std::string& name);
}  // namespace brevant::mail
