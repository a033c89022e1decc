#include "platform/print/Cups.h"

#include <dlfcn.h>

#include <type_traits>

#include "platform/error/Error.h"

namespace brevant::print {

const CupsApi& Cups() {
  static const CupsApi* api = []() -> const CupsApi* {
    void* lib = ::dlopen("libcups.so.2", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return nullptr;
    static CupsApi a;
    bool ok = true;
    auto load = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(lib, name));
      ok = ok && fn != nullptr;
    };
    load(a.ippAddString, "ippAddString");
    load(a.ippFindAttribute, "ippFindAttribute");
    load(a.ippGetString, "ippGetString");
    load(a.ippNextAttribute, "ippNextAttribute");
    load(a.ippNewRequest, "ippNewRequest");
    load(a.httpAssembleURIf, "httpAssembleURIf");
    load(a.cupsUser, "cupsUser");
    load(a.cupsServer, "cupsServer");
    load(a.ippPort, "ippPort");
    load(a.ippGetValueTag, "ippGetValueTag");
    load(a.ippGetInteger, "ippGetInteger");
    load(a.ippGetGroupTag, "ippGetGroupTag");
    load(a.ippGetCount, "ippGetCount");
    load(a.ippFirstAttribute, "ippFirstAttribute");
    load(a.ippAddInteger, "ippAddInteger");
    load(a.cupsFreeDests, "cupsFreeDests");
    load(a.ippNew, "ippNew");
    load(a.ippGetStatusCode, "ippGetStatusCode");
    load(a.ippGetResolution, "ippGetResolution");
    load(a.ippGetName, "ippGetName");
    load(a.ippGetBoolean, "ippGetBoolean");
    load(a.ippDelete, "ippDelete");
    load(a.ippCopyAttribute, "ippCopyAttribute");
    load(a.ippAddStrings, "ippAddStrings");
    load(a.httpSetTimeout, "httpSetTimeout");
    load(a.httpSeparateURI, "httpSeparateURI");
    load(a.httpConnect2, "httpConnect2");
    load(a.httpClose, "httpClose");
    load(a.cupsPrintFile, "cupsPrintFile");
    load(a.cupsLastErrorString, "cupsLastErrorString");
    load(a.cupsLastError, "cupsLastError");
    load(a.cupsGetOption, "cupsGetOption");
    load(a.cupsGetNamedDest, "cupsGetNamedDest");
    load(a.cupsGetDests2, "cupsGetDests2");
    load(a.cupsFreeOptions, "cupsFreeOptions");
    load(a.cupsEncryption, "cupsEncryption");
    load(a.cupsDoRequest, "cupsDoRequest");
    load(a.cupsAddOption, "cupsAddOption");
    a.loaded = ok;
    return ok ? &a : nullptr;
  }();
  if (!api)
    throw platform::Error(platform::kErrInvalidCall,
                          "the print system library (libcups.so.2) cannot be loaded");
  return *api;
}

}  // namespace brevant::print
