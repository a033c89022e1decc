#define BREVANT_LAZY_LOADER
#include "platform/mail/GMimeApi.h"

#include "platform/mail/MailError.h"

namespace brevant::mail {

const GMimeApi& GMime() {
  static const GMimeApi* api = []() -> const GMimeApi* {
    // Global, so that a program that links GMime itself (or loads it
    // again later) shares this one copy and its type registrations.
    void* lib = ::dlopen("libgmime-3.0.so.0", RTLD_NOW | RTLD_GLOBAL);
    if (!lib) return nullptr;
    static GMimeApi table;
    bool ok = true;
    BREVANT_GMIME_FUNCTIONS(BREVANT_LAZY_LOAD)
    return ok ? &table : nullptr;
  }();
  if (!api) throw MailError(kErrFileNotFound, "The mail library (libgmime-3.0.so.0) cannot be loaded");
  return *api;
}

}  // namespace brevant::mail
