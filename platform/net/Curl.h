#pragma once
// libcurl, loaded on first use: only the runs that send mail or check for
// updates pay for loading it and its TLS and authentication libraries.
// Call through Curl() with curl's own names: Curl().easy_init().
#include <curl/curl.h>

namespace brevant::net {

struct CurlApi {
  decltype(&::curl_global_init) global_init = nullptr;
  decltype(&::curl_easy_init) easy_init = nullptr;
  decltype(&::curl_easy_setopt) easy_setopt = nullptr;
  decltype(&::curl_easy_perform) easy_perform = nullptr;
  decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
  decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
  decltype(&::curl_easy_strerror) easy_strerror = nullptr;
  decltype(&::curl_slist_append) slist_append = nullptr;
  decltype(&::curl_slist_free_all) slist_free_all = nullptr;
  decltype(&::curl_version_info) version_info = nullptr;
  bool loaded = false;
};

// The loaded library. When libcurl cannot be loaded, easy_init returns
// null (callers already treat that as "cannot send") and the other entries
// are harmless.
const CurlApi& Curl();

}  // namespace brevant::net
