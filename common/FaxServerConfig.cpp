#include "common/FaxServerConfig.h"

#include <algorithm>

#include "common/CWinReg.h"
#include "common/Logging.h"
#include "platform/registry/Registry.h"
#include "platform/secret/Secrets.h"

namespace brevant::faxsvc {

namespace {

int DwordOr(const char* name, int fallback) {
  for (auto root : {CWinReg::HKEY_CURRENT_USER, CWinReg::HKEY_LOCAL_MACHINE}) {
    CWinReg reg;
    if (reg.InitForReadIfPresent(root, kFaxServerKey) && reg.ValueType(name) == 4) return reg.GetDword(name);
  }
  return fallback;
}

std::string StringOr(const char* name, const std::string& fallback) {
  for (auto root : {CWinReg::HKEY_CURRENT_USER, CWinReg::HKEY_LOCAL_MACHINE}) {
    CWinReg reg;
    if (reg.InitForReadIfPresent(root, kFaxServerKey) && reg.ValueType(name) == 1) return reg.GetString(name);
  }
  return fallback;
}

}  // namespace

bool FaxServerConfigured() {
  std::string service = StringOr("Service", "");
  return service == "HylaFAX" || service == "hylafax";
}

FaxServerSettings ReadFaxServerSettings() {
  FaxServerSettings s;
  s.hylafax = FaxServerConfigured();
  s.host = StringOr("Server", s.host);
  if (s.host.empty()) s.host = "localhost";
  // Values out of range fall back to the defaults or the nearest sensible one.
  s.port = DwordOr("Port", s.port);
  if (s.port < 1 || s.port > 65535) s.port = 4559;
  s.user = StringOr("User", "");
  s.passive = DwordOr("PassiveMode", 1) != 0;
  s.timeoutMs = std::clamp(DwordOr("Timeout", 30), 1, 3600) * 1000;
  auto hour = [](int h, int fallback) { return h >= 0 && h < 24 ? h : fallback; };
  s.discountStart = hour(DwordOr("DiscountStart", s.discountStart), 20);
  s.discountEnd = hour(DwordOr("DiscountEnd", s.discountEnd), 7);
  s.retries = DwordOr("Retries", s.retries);
  // A password left in clear in the registry moves to the secret store.
  s.password = platform::secrets::ReadRegistrySecret(reg::kCurrentUser, kFaxServerKey, "Password");
  return s;
}

bool StoreFaxServerPassword(const std::string& password, std::string* why) {
  return platform::secrets::WriteRegistrySecret(reg::kCurrentUser, kFaxServerKey, "Password",
                                                OneLine(password), why);
}

ClientSettings ProgramFaxClient() {
  ClientSettings c;
  c.server = ReadFaxServerSettings();
  c.errors = [](const FaxError& e, const std::string& source) { WriteErrorLog(e.Code(), e.what(), source); };
  return c;
}

}  // namespace brevant::faxsvc
