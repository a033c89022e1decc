// Sending over SMTP with libcurl, and the mail account in the registry store.
#include "platform/net/Curl.h"
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform/mail/MailError.h"
#include "platform/mail/MailStore.h"
#include "platform/registry/Registry.h"
#include "platform/secret/Secrets.h"

namespace brevant::mail {

namespace {

// Error numbers of the sending layer, as the mail client's own sending
// library reports them.
constexpr long kErrCannotConnect = -2147220973;  // "The transport failed to connect to the server."
constexpr long kErrNotAccepted = -2147220975;    // "The message could not be sent to the SMTP server."

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

struct Upload {
  const std::string* data;
  std::size_t pos = 0;
};

std::size_t ReadChunk(char* out, std::size_t size, std::size_t n, void* user) {
  auto* u = static_cast<Upload*>(user);
  std::size_t room = size * n;
  std::size_t left = u->data->size() - u->pos;
  std::size_t take = left < room ? left : room;
  std::memcpy(out, u->data->data() + u->pos, take);
  u->pos += take;
  return take;
}

// "Name <a@b>" -> "<a@b>"; "a@b" -> "<a@b>".
std::string Envelope(const std::string& address) {
  auto lt = address.find('<');
  auto gt = address.find('>', lt == std::string::npos ? 0 : lt);
  if (lt != std::string::npos && gt != std::string::npos)
    return address.substr(lt, gt - lt + 1);
  return "<" + address + ">";
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { brevant::net::Curl().global_init(CURL_GLOBAL_DEFAULT); });
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
  if (!platform::secrets::WriteRegistrySecret(reg::kCurrentUser, kAccountKey, "SmtpPassword", a.password, &why))
    throw MailError(75, "Cannot store the SMTP password: " + why);
}

void Logon(const Account& account, long timeoutSeconds) {
  InitCurlOnce();
  CURL* curl = brevant::net::Curl().easy_init();
  if (!curl) throw MailError(7, "Cannot start a mail transfer");
  std::string url = std::string(account.security == "ssl" ? "smtps://" : "smtp://") + account.server + ":" +
                    std::to_string(account.port);
  char errbuf[CURL_ERROR_SIZE] = {};
  // Only the connection: the greeting, STARTTLS when asked for, and the
  // login; nothing is sent.
  brevant::net::Curl().easy_setopt(curl, CURLOPT_URL, url.c_str());
  brevant::net::Curl().easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, timeoutSeconds);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_TIMEOUT, timeoutSeconds);
  if (account.security == "starttls") brevant::net::Curl().easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  if (!account.user.empty()) {
    brevant::net::Curl().easy_setopt(curl, CURLOPT_USERNAME, account.user.c_str());
    brevant::net::Curl().easy_setopt(curl, CURLOPT_PASSWORD, account.password.c_str());
  }
  CURLcode rc = brevant::net::Curl().easy_perform(curl);
  brevant::net::Curl().easy_cleanup(curl);
  if (rc == CURLE_OK) return;
  std::string why = errbuf[0] ? errbuf : brevant::net::Curl().easy_strerror(rc);
  std::string where = account.server + ":" + std::to_string(account.port);
  if (rc == CURLE_LOGIN_DENIED) throw MailError(kErrNotAccepted, "The server " + where + " rejected the login: " + why);
  throw MailError(kErrCannotConnect, "The transport failed to connect to the server " + where + ": " + why);
}

void Send(const MailItem& item, const Account& account) {
  InitCurlOnce();

  std::vector<std::string> to = SplitAddresses(item.To);
  if (to.empty()) throw MailError(kErrNotAccepted, "The message has no recipient");
  std::string data = ToMime(item, account.sender, MimeForm::Outgoing);

  CURL* curl = brevant::net::Curl().easy_init();
  if (!curl) throw MailError(7, "Cannot start a mail transfer");
  bool ssl = account.security == "ssl";
  std::string url = std::string(ssl ? "smtps://" : "smtp://") + account.server + ":" +
                    std::to_string(account.port);
  curl_slist* rcpt = nullptr;
  for (const auto& a : to) rcpt = brevant::net::Curl().slist_append(rcpt, Envelope(a).c_str());
  Upload up{&data};
  char errbuf[CURL_ERROR_SIZE] = {};
  brevant::net::Curl().easy_setopt(curl, CURLOPT_URL, url.c_str());
  brevant::net::Curl().easy_setopt(curl, CURLOPT_MAIL_FROM, Envelope(account.sender).c_str());
  brevant::net::Curl().easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_READFUNCTION, ReadChunk);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_READDATA, &up);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(data.size()));
  brevant::net::Curl().easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, account.timeoutSeconds);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_TIMEOUT, account.timeoutSeconds * 4);
  if (account.security == "starttls") brevant::net::Curl().easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  if (!account.user.empty()) {
    brevant::net::Curl().easy_setopt(curl, CURLOPT_USERNAME, account.user.c_str());
    brevant::net::Curl().easy_setopt(curl, CURLOPT_PASSWORD, account.password.c_str());
  }
  CURLcode rc = brevant::net::Curl().easy_perform(curl);
  long response = 0;
  brevant::net::Curl().easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response);
  brevant::net::Curl().slist_free_all(rcpt);
  brevant::net::Curl().easy_cleanup(curl);
  if (rc == CURLE_OK) return;
  std::string why = errbuf[0] ? errbuf : brevant::net::Curl().easy_strerror(rc);
  std::string where = account.server + ":" + std::to_string(account.port);
  if (rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST ||
      rc == CURLE_OPERATION_TIMEDOUT || rc == CURLE_SSL_CONNECT_ERROR)
    throw MailError(kErrCannotConnect, "The transport failed to connect to the server " + where + ": " + why);
  if (rc == CURLE_LOGIN_DENIED)
    throw MailError(kErrNotAccepted, "The server " + where + " rejected the login: " + why);
  throw MailError(kErrNotAccepted, "The message could not be sent to the SMTP server " + where +
                                       (response ? " (reply " + std::to_string(response) + ")" : "") +
                                       ": " + why);
}

}  // namespace brevant::mail
