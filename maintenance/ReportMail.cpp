#include "maintenance/ReportMail.h"

#include "platform/net/Curl.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"

namespace brevant {
namespace {

std::string ReadServer(std::uint32_t root) {
  CWinReg reg;
  if (!reg.InitForRead(root, kPelorinKey)) return "";
  return reg.GetString("SmtpServer");
}

std::string Base64Lines(const std::string& data) {
  static const char* kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out, line;
  size_t i = 0;
  auto flush = [&] {
    out += line + "\r\n";
    line.clear();
  };
  while (i < data.size()) {
    unsigned v = static_cast<unsigned char>(data[i]) << 16;
    size_t n = 1;
    if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8, ++n;
    if (i + 2 < data.size()) v |= static_cast<unsigned char>(data[i + 2]), ++n;
    line += kAlphabet[(v >> 18) & 63];
    line += kAlphabet[(v >> 12) & 63];
    line += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
    line += n > 2 ? kAlphabet[v & 63] : '=';
    i += 3;
    if (line.size() >= 76) flush();
  }
  if (!line.empty()) flush();
  return out;
}

// Every line break becomes CR LF, and a line holding only "." is doubled so
// the server does not take it for the end of the message.
std::string CrLf(const std::string& text) {
  std::string out, line;
  auto endLine = [&] {
    if (!line.empty() && line[0] == '.') line.insert(0, ".");
    out += line + "\r\n";
    line.clear();
  };
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\r') {
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
      endLine();
    } else if (c == '\n') {
      endLine();
    } else {
      line += c;
    }
  }
  if (!line.empty()) endLine();
  return out;
}

std::string FileName(const std::string& path) {
  auto cut = path.find_last_of('/');
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

std::string MailDate() {
  std::time_t now = std::time(nullptr);
  std::tm tm {};
  ::localtime_r(&now, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S %z", &tm);
  return buf;
}

struct Upload {
  const std::string* data;
  size_t pos = 0;
};

size_t ReadUpload(char* buf, size_t size, size_t count, void* user) {
  auto* u = static_cast<Upload*>(user);
  size_t n = std::min(size * count, u->data->size() - u->pos);
  std::memcpy(buf, u->data->data() + u->pos, n);
  u->pos += n;
  return n;
}

// The envelope address: the part in angle brackets of "Name <a@b>", or the
// whole text.
std::string Bracketed(const std::string& address) {
  auto open = address.find('<');
  auto close = address.find('>', open == std::string::npos ? 0 : open);
  if (open == std::string::npos || close == std::string::npos) return "<" + address + ">";
  return address.substr(open, close - open + 1);
}

}  // namespace

std::string ReportMailServer() {
  std::string s;
  try {
    s = ReadServer(CWinReg::HKEY_CURRENT_USER);
    if (s.empty()) s = ReadServer(CWinReg::HKEY_LOCAL_MACHINE);
  } catch (...) {
    s.clear();
  }
  if (s.empty()) s = "localhost:25";
  if (s.find(':') == std::string::npos) s += ":25";
  return s;
}

bool ReportMailReachable(long timeoutMs) {
  CURL* curl = brevant::net::Curl().easy_init();
  if (!curl) return false;
  std::string url = "smtp://" + ReportMailServer();
  brevant::net::Curl().easy_setopt(curl, CURLOPT_URL, url.c_str());
  brevant::net::Curl().easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  CURLcode rc = brevant::net::Curl().easy_perform(curl);
  brevant::net::Curl().easy_cleanup(curl);
  return rc == CURLE_OK;
}

std::string ComposeReportMessage(const ReportMessage& m) {
  std::mt19937_64 rng(static_cast<unsigned long long>(
      std::chrono::steady_clock::now().time_since_epoch().count()));
  std::ostringstream b;
  b << "=_Brevant_" << std::hex << rng();
  std::string boundary = b.str();

  std::string out;
  out += "From: " + m.from + "\r\n";
  out += "To: " + m.to + "\r\n";
  out += "Subject: " + m.subject + "\r\n";
  out += "Date: " + MailDate() + "\r\n";
  out += "Importance: high\r\nX-Priority: 1\r\n";
  out += "MIME-Version: 1.0\r\n";
  out += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n\r\n";
  out += "--" + boundary + "\r\n";
  out += "Content-Type: text/plain; charset=\"iso-8859-1\"\r\n";
  out += "Content-Transfer-Encoding: 8bit\r\n\r\n";
  out += CrLf(m.body);
  for (const auto& path : m.attachments) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw VbError(kErrFileNotFound, "Cannot read the attachment " + path);
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string name = FileName(path);
    out += "--" + boundary + "\r\n";
    out += "Content-Type: text/plain; name=\"" + name + "\"\r\n";
    out += "Content-Transfer-Encoding: base64\r\n";
    out += "Content-Disposition: attachment; filename=\"" + name + "\"\r\n\r\n";
    out += Base64Lines(ss.str());
  }
  out += "--" + boundary + "--\r\n";
  return out;
}

bool SendReportMail(const ReportMessage& m, std::string* error) {
  std::string message;
  try {
    message = ComposeReportMessage(m);
  } catch (...) {
    if (error) *error = CurrentError().description;
    return false;
  }
  CURL* curl = brevant::net::Curl().easy_init();
  if (!curl) {
    if (error) *error = "The network library could not be started.";
    return false;
  }
  std::string url = "smtp://" + ReportMailServer();
  std::string from = Bracketed(m.from), to = Bracketed(m.to);
  curl_slist* rcpt = brevant::net::Curl().slist_append(nullptr, to.c_str());
  Upload up{&message};
  char errbuf[CURL_ERROR_SIZE] = {0};
  brevant::net::Curl().easy_setopt(curl, CURLOPT_URL, url.c_str());
  brevant::net::Curl().easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
  brevant::net::Curl().easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_READDATA, &up);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_UPLOAD, 1L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 3000L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_TIMEOUT_MS, 10000L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  CURLcode rc = brevant::net::Curl().easy_perform(curl);
  brevant::net::Curl().slist_free_all(rcpt);
  brevant::net::Curl().easy_cleanup(curl);
  if (rc != CURLE_OK) {
    if (error) *error = errbuf[0] ? errbuf : brevant::net::Curl().easy_strerror(rc);
    return false;
  }
  return true;
}

}  // namespace brevant
