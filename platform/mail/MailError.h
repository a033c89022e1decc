#pragma once
// The mail layer reports failures as the layer over Linux does: an error
// number and a description (platform::Error), so callers' handlers record
// the number a mail failure has always had.
#include "platform/error/Error.h"

namespace brevant::mail {
using MailError = brevant::platform::Error;
}  // namespace brevant::mail
