#pragma once
// libcups, loaded on first use: only the runs that print or ask the print
// system pay for loading it and its network and TLS libraries. Call through
// Cups() with the library's own names: Cups().cupsGetDests2(...).
#include <cups/cups.h>

namespace brevant::print {

struct CupsApi {
  decltype(&::ippAddString) ippAddString = nullptr;
  decltype(&::ippFindAttribute) ippFindAttribute = nullptr;
  decltype(&::ippGetString) ippGetString = nullptr;
  decltype(&::ippNextAttribute) ippNextAttribute = nullptr;
  decltype(&::ippNewRequest) ippNewRequest = nullptr;
  decltype(&::httpAssembleURIf) httpAssembleURIf = nullptr;
  decltype(&::cupsUser) cupsUser = nullptr;
  decltype(&::cupsServer) cupsServer = nullptr;
  decltype(&::ippPort) ippPort = nullptr;
  decltype(&::ippGetValueTag) ippGetValueTag = nullptr;
  decltype(&::ippGetInteger) ippGetInteger = nullptr;
  decltype(&::ippGetGroupTag) ippGetGroupTag = nullptr;
  decltype(&::ippGetCount) ippGetCount = nullptr;
  decltype(&::ippFirstAttribute) ippFirstAttribute = nullptr;
  decltype(&::ippAddInteger) ippAddInteger = nullptr;
  decltype(&::cupsFreeDests) cupsFreeDests = nullptr;
  decltype(&::ippNew) ippNew = nullptr;
  decltype(&::ippGetStatusCode) ippGetStatusCode = nullptr;
  decltype(&::ippGetResolution) ippGetResolution = nullptr;
  decltype(&::ippGetName) ippGetName = nullptr;
  decltype(&::ippGetBoolean) ippGetBoolean = nullptr;
  decltype(&::ippDelete) ippDelete = nullptr;
  decltype(&::ippCopyAttribute) ippCopyAttribute = nullptr;
  decltype(&::ippAddStrings) ippAddStrings = nullptr;
  decltype(&::httpSetTimeout) httpSetTimeout = nullptr;
  decltype(&::httpSeparateURI) httpSeparateURI = nullptr;
  decltype(&::httpConnect2) httpConnect2 = nullptr;
  decltype(&::httpClose) httpClose = nullptr;
  decltype(&::cupsPrintFile) cupsPrintFile = nullptr;
  decltype(&::cupsLastErrorString) cupsLastErrorString = nullptr;
  decltype(&::cupsLastError) cupsLastError = nullptr;
  decltype(&::cupsGetOption) cupsGetOption = nullptr;
  decltype(&::cupsGetNamedDest) cupsGetNamedDest = nullptr;
  decltype(&::cupsGetDests2) cupsGetDests2 = nullptr;
  decltype(&::cupsFreeOptions) cupsFreeOptions = nullptr;
  decltype(&::cupsEncryption) cupsEncryption = nullptr;
  decltype(&::cupsDoRequest) cupsDoRequest = nullptr;
  decltype(&::cupsAddOption) cupsAddOption = nullptr;
  bool loaded = false;
};

// The loaded library. Throws std::runtime_error when libcups cannot be
// loaded; callers trap it as any other failure of the print system.
const CupsApi& Cups();

}  // namespace brevant::print
