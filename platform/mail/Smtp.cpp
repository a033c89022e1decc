// Sending over SMTP with libcurl.
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "platform/mail/MailError.h"
#include "platform/mail/MailStore.h"
#include "platform/net/Curl.h"

namespace brevant::mail {

namespace {

// Error numbers of the sending layer, as the mail client's own sending
// library reports them.
constexpr long kErrCannotConnect = -2147220973;  // "The transport failed to connect to the server."
constexpr long kErrNotAccepted = -2147220975;    // "The message could not be sent to the SMTP server."

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
  if (lt != std::string::npos && gt != std::string::npos) return address.substr(lt, gt - lt + 1);
  return "<" + address + ">";
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { brevant::net::Curl().global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace

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
  if (account.security == "starttls")
    brevant::net::Curl().easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
  if (!account.user.empty()) {
    brevant::net::Curl().easy_setopt(curl, CURLOPT_USERNAME, account.user.c_str());
    brevant::net::Curl().easy_setopt(curl, CURLOPT_PASSWORD, account.password.c_str());
  }
  CURLcode rc = brevant::net::Curl().easy_perform(curl);
  brevant::net::Curl().easy_cleanup(curl);
  if (rc == CURLE_OK) return;
  std::string why = errbuf[0] ? errbuf : brevant::net::Curl().easy_strerror(rc);
  std::string where = account.server + ":" + std::to_string(account.port);
  if (rc == CURLE_LOGIN_DENIED)
    throw MailError(kErrNotAccepted, "The server " + where + " rejected the login: " + why);
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
  std::string url =
      std::string(ssl ? "smtps://" : "smtp://") + account.server + ":" + std::to_string(account.port);
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
  if (account.security == "starttls")
    brevant::net::Curl().easy_setopt(curl, CURLOPT_USE_SSL, static_cast<long>(CURLUSESSL_ALL));
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
  if (rc == CURLE_COULDNT_CONNECT || rc == CURLE_COULDNT_RESOLVE_HOST || rc == CURLE_OPERATION_TIMEDOUT ||
      rc == CURLE_SSL_CONNECT_ERROR)
    throw MailError(kErrCannotConnect, "The transport failed to connect to the server " + where + ": " + why);
  if (rc == CURLE_LOGIN_DENIED)
    throw MailError(kErrNotAccepted, "The server " + where + " rejected the login: " + why);
  throw MailError(kErrNotAccepted, "The message could not be sent to the SMTP server " + where +
                                       (response ? " (reply " + std::to_string(response) + ")" : "") + ": " +
                                       why);
}

}  // namespace brevant::mail
