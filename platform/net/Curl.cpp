#include "platform/net/Curl.h"

#include <dlfcn.h>

#include <type_traits>

namespace brevant::net {
namespace {

CURL* NoEasyInit() {
  return nullptr;
}
const char* NoStrError(CURLcode) {
  return "libcurl is not installed";
}
curl_slist* NoSlistAppend(curl_slist* list, const char*) {
  return list;
}
void NoSlistFree(curl_slist*) {}
void NoCleanup(CURL*) {}
CURLcode NoGlobalInit(long) {
  return CURLE_FAILED_INIT;
}

}  // namespace

const CurlApi& Curl() {
  static const CurlApi api = [] {
    CurlApi a;
    if (void* lib = ::dlopen("libcurl.so.4", RTLD_NOW | RTLD_LOCAL)) {
      auto load = [&](auto& fn, const char* name) {
        fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(lib, name));
        return fn != nullptr;
      };
      a.loaded = load(a.global_init, "curl_global_init") & load(a.easy_init, "curl_easy_init") &
                 load(a.easy_setopt, "curl_easy_setopt") & load(a.easy_perform, "curl_easy_perform") &
                 load(a.easy_getinfo, "curl_easy_getinfo") & load(a.easy_cleanup, "curl_easy_cleanup") &
                 load(a.easy_strerror, "curl_easy_strerror") & load(a.slist_append, "curl_slist_append") &
                 load(a.slist_free_all, "curl_slist_free_all") & load(a.version_info, "curl_version_info");
    }
    if (!a.loaded) {
      CurlApi none;
      none.global_init = &NoGlobalInit;
      none.easy_init = &NoEasyInit;
      none.easy_cleanup = &NoCleanup;
      none.easy_strerror = &NoStrError;
      none.slist_append = &NoSlistAppend;
      none.slist_free_all = &NoSlistFree;
      return none;
    }
    return a;
  }();
  return api;
}

}  // namespace brevant::net
