#include "common/MailAccount.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/mail/MailError.h"
#include "platform/registry/Registry.h"
#include "platform/secret/Secrets.h"

namespace brevant::mail {

namespace {

std::string ReadString(reg::HKEY key, const char* name, const std::string& dflt) {
  std::uint32_t type = 0, size = 0;
  if (reg::QueryValue(key, name, &type, nullptr, &size) != reg::kOk || size == 0) return dflt;
  std::string buf(size, '\0');
  if (reg::QueryValue(key, name, &type, buf.data(), &size) != reg::kOk) return dflt;
  if (type == reg::REG_DWORD && size >= 4) {
    std::uint32_t v;
    std::memcpy(&v, buf.data(), 4);
    return std::to_string(v);
  }
  buf.resize(size);
  while (!buf.empty() && buf.back() == '\0') buf.pop_back();
  return buf.empty() ? dflt : buf;
}

}  // namespace

Account LoadAccount() {
  Account a;
  char host[256] = {};
  ::gethostname(host, sizeof host - 1);
  const char* user = std::getenv("USER");
  a.sender = std::string(user && *user ? user : "brevant") + "@" + (host[0] ? host : "localhost");
  reg::HKEY key = 0;
  if (reg::OpenKey(reg::kCurrentUser, kAccountKey, reg::kKeyRead, &key) != reg::kOk) return a;
  a.server = ReadString(key, "SmtpServer", a.server);
  a.port = std::atoi(ReadString(key, "SmtpPort", std::to_string(a.port)).c_str());
  a.security = ReadString(key, "SmtpSecurity", a.security);
  a.sender = ReadString(key, "SenderAddress", a.sender);
  a.user = ReadString(key, "SmtpUser", "");
  a.timeoutSeconds = std::atol(ReadString(key, "SmtpTimeout", std::to_string(a.timeoutSeconds)).c_str());
  if (a.timeoutSeconds <= 0) a.timeoutSeconds = 30;
  reg::CloseKey(key);
  // The password lives in the secret store (looked up only for a login); a
  // clear one left in the registry moves there now.
  // (When neither store can take it, it stays where it is and still works.)
  if (!a.user.empty())
    a.password = platform::secrets::ReadRegistrySecret(reg::kCurrentUser, kAccountKey, "SmtpPassword");
  return a;
}

void SaveAccount(const Account& a) {
  reg::HKEY key = 0;
  if (reg::CreateKey(reg::kCurrentUser, kAccountKey, reg::kKeyAllAccess, &key) != reg::kOk)
    throw MailError(75, "Cannot write the mail account: " + reg::LastErrorText());
  auto put = [&](const char* name, const std::string& v) {
    reg::SetValue(key, name, reg::REG_SZ, v.c_str(), static_cast<std::uint32_t>(v.size() + 1));
  };
  put("SmtpServer", a.server);
  put("SmtpPort", std::to_string(a.port));
  put("SmtpSecurity", a.security);
  put("SenderAddress", a.sender);
  put("SmtpUser", a.user);
  put("SmtpTimeout", std::to_string(a.timeoutSeconds));
  reg::CloseKey(key);
  std::string why;
  if (!platform::secrets::WriteRegistrySecret(reg::kCurrentUser, kAccountKey, "SmtpPassword", a.password,
                                              &why))
    throw MailError(75, "Cannot store the SMTP password: " + why);
}

}  // namespace brevant::mail
