#include "maintenance/UpdateCheck.h"

#include <algorithm>
#include <cctype>
#include <functional>

#include "Version.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "common/Logging.h"
#include "platform/net/Curl.h"
#include "platform/process/Process.h"
#include "platform/ui/Ui.h"

namespace brevant {
namespace {

constexpr const char* kDefaultUpdateSite = "https://www.norvane.com";
constexpr std::size_t kMaxAnswer = 64 * 1024;

struct Download {
  std::string body;
  bool tooLarge = false;
};

size_t CollectBody(char* data, size_t size, size_t count, void* user) {
  auto* d = static_cast<Download*>(user);
  size_t n = size * count;
  if (d->body.size() + n > kMaxAnswer) {
    d->tooLarge = true;
    return 0;  // stops the transfer
  }
  d->body.append(data, n);
  return n;
}

// Lets window messages run while the transfer waits, so the about box stays
// responsive; the wait ends only when the user has given the check up.
int KeepWindowsAlive(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  ui::DoEvents();
  const auto* abandoned = static_cast<const std::function<bool()>*>(user);
  return *abandoned && (*abandoned)() ? 1 : 0;
}

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// "UpdateSite" is a setting of our own that few installations make.
std::string ReadSite(std::uint32_t root) {
  CWinReg reg;
  if (!reg.InitForReadIfPresent(root, kPelorinKey)) return "";
  return reg.GetString("UpdateSite");
}

}  // namespace

std::string UpdateServiceAddress() {
  std::string site;
  try {
    site = ReadSite(CWinReg::HKEY_CURRENT_USER);
    if (site.empty()) site = ReadSite(CWinReg::HKEY_LOCAL_MACHINE);
  } catch (...) {
    WriteErrorLog(CurrentError().number, CurrentError().description, "frmUpdate.UpdateServiceAddress");
    site.clear();
  }
  if (site.empty()) site = kDefaultUpdateSite;
  while (!site.empty() && site.back() == '/') site.pop_back();
  return site + "/_check_update.asp";
}

std::string UpdateVersionText() {
  return std::to_string(BREVANT_VERSION_MAJOR) + "." + std::to_string(BREVANT_VERSION_MINOR);
}

std::string BodyInnerText(const std::string& page) {
  std::string lower = Lower(page);
  std::string part = page;
  // Only the body counts when the page has one.
  if (auto b = lower.find("<body"); b != std::string::npos) {
    auto open = lower.find('>', b);
    auto close = lower.find("</body", b);
    if (open != std::string::npos) {
      part = page.substr(open + 1, (close == std::string::npos ? page.size() : close) - open - 1);
    }
  } else if (lower.find("<html") != std::string::npos || lower.find("<head") != std::string::npos) {
    // A page without a body shows nothing but its head would be kept: drop it.
    auto h = lower.find("</head>");
    part = h == std::string::npos ? std::string() : page.substr(h + 7);
  }
  std::string text;
  bool inTag = false;
  for (size_t i = 0; i < part.size(); ++i) {
    char c = part[i];
    if (inTag) {
      if (c == '>') inTag = false;
      continue;
    }
    if (c == '<') {
      // Scripts and style sheets are not part of the text a page shows.
      bool skipped = false;
      for (const char* block : {"script", "style"}) {
        std::string open = std::string("<") + block;
        if (Lower(part.substr(i, open.size())) == open) {
          auto end = Lower(part).find(std::string("</") + block, i);
          i = end == std::string::npos ? part.size() : part.find('>', end);
          if (i == std::string::npos) i = part.size();
          skipped = true;
          break;
        }
      }
      if (!skipped) inTag = true;
      continue;
    }
    if (c == '&') {
      static const std::pair<const char*, char> kEntities[] = {
          {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&nbsp;", ' '}};
      bool done = false;
      for (const auto& [name, ch] : kEntities) {
        size_t len = std::char_traits<char>::length(name);
        if (part.compare(i, len, name) == 0) {
          text += ch;
          i += len - 1;
          done = true;
          break;
        }
      }
      if (done) continue;
    }
    text += c;
  }
  return Trim(text);
}

UpdateResult QueryUpdateService(const std::string& address, const std::string& version,
                                const std::function<bool()>& abandoned) {
  UpdateResult r;
  CURL* curl = brevant::net::Curl().easy_init();
  if (!curl) {
    r.error = "The network library could not be started.";
    return r;
  }
  Download d;
  std::string url = address + "?ver=" + version;
  char errbuf[CURL_ERROR_SIZE] = {0};
  brevant::net::Curl().easy_setopt(curl, CURLOPT_URL, url.c_str());
  brevant::net::Curl().easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectBody);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_WRITEDATA, &d);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_ERRORBUFFER, errbuf);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_MAXREDIRS, 5L);
  // Only the web: a site value naming a local file or another protocol fails.
  brevant::net::Curl().easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  brevant::net::Curl().easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  // No time limit: a page that never completes keeps the check waiting, as
  // a browser keeps loading it, until the user gives it up.
  brevant::net::Curl().easy_setopt(curl, CURLOPT_TIMEOUT_MS, 0L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, KeepWindowsAlive);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_XFERINFODATA, &abandoned);
  brevant::net::Curl().easy_setopt(curl, CURLOPT_USERAGENT,
                                   ("Brevant/" + std::string(BREVANT_VERSION_TEXT)).c_str());
  CURLcode rc = brevant::net::Curl().easy_perform(curl);
  brevant::net::Curl().easy_cleanup(curl);

  if (d.tooLarge) {
    r.error = "The update service answered with more than 64 KB.";
    return r;
  }
  if (rc != CURLE_OK) {
    r.abandoned = rc == CURLE_ABORTED_BY_CALLBACK;
    r.error = errbuf[0] ? errbuf : brevant::net::Curl().easy_strerror(rc);
    return r;
  }
  // The page's text decides, as a browser shows it: an error page of the
  // site is text like any other, and anything but "0" and "1" is the address
  // to download from.
  r.text = BodyInnerText(d.body);
  if (r.text == "0")
    r.answer = UpdateAnswer::NoUpdate;
  else if (r.text == "1")
    r.answer = UpdateAnswer::Nothing;
  else
    r.answer = UpdateAnswer::Download;
  return r;
}

void CheckForUpdate(const std::function<bool()>& abandoned) {
  ui::SetCursor(ui::Cursor::Wait);
  UpdateResult r;
  try {
    r = QueryUpdateService(UpdateServiceAddress(), UpdateVersionText(), abandoned);
    switch (r.answer) {
      case UpdateAnswer::NoUpdate:
        ui::SetCursor(ui::Cursor::Default);
        ui::MsgBox("Update is not available.");
        break;
      case UpdateAnswer::Nothing:
        break;
      case UpdateAnswer::Download:
        ui::SetCursor(ui::Cursor::Default);
        if (ui::MsgBox("Download Update?", "Pelorin", ui::Buttons::YesNo, ui::Icon::Question,
                       ui::Answer::No) == ui::Answer::Yes) {
          ui::SetCursor(ui::Cursor::Wait);
          if (!platform::ShellExecute("open", r.text)) r.answer = UpdateAnswer::Failed;
        }
        break;
      case UpdateAnswer::Failed:
        break;
    }
  } catch (...) {
    r.answer = UpdateAnswer::Failed;
  }
  // A check the user gave up (the about box closed) has nobody to tell.
  if (r.answer == UpdateAnswer::Failed && !r.abandoned) {
    ui::SetCursor(ui::Cursor::Default);
    ui::MsgBox("Connect error. Check your connection settings.");
  }
  ui::SetCursor(ui::Cursor::Default);
}

}  // namespace brevant
