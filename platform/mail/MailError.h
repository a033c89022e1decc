#pragma once
// The mail layer reports failures the way the rest of Brevant does: a
// VbError carrying an error number and a description, so callers' handlers
// record the right number. VbError is header-only; nothing else of the
// common library is used here.
#include "common/Errors.h"

namespace brevant::mail {
using MailError = brevant::VbError;
}  // namespace brevant::mail
