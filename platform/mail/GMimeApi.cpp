#define BREVANT_LAZY_LOADER
#include "platform/mail/GMimeApi.h"

#include "platform/mail/MailError.h"

namespace brevant::mail {

// Global, so that a program that links GMime itself (or loads it again
// later) shares this one copy and its type registrations.
BREVANT_LAZY_LIBRARY(GMime, "libgmime-3.0.so.0", RTLD_NOW | RTLD_GLOBAL, BREVANT_GMIME_FUNCTIONS)

const GMimeApi& GMime() {
  if (const GMimeApi* api = GMimeLibrary()) return *api;
  throw MailError(platform::kErrFileNotFound, "The mail library (libgmime-3.0.so.0) cannot be loaded");
}

}  // namespace brevant::mail
