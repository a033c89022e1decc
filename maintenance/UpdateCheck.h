#pragma once
// The update check behind the about box's "Update" button: asks the maker's
// update service whether a newer version exists and offers its download
// address in the browser.
#include <string>

namespace brevant {

// What the update service answered.
enum class UpdateAnswer {
  NoUpdate,  // body "0"
  Nothing,   // body "1": nothing is to be done
  Download,  // any other text: the download address
  Failed,    // no answer, an error status, or an answer that is no address
};

struct UpdateResult {
  UpdateAnswer answer = UpdateAnswer::Failed;
  std::string text;   // the body's text (the download address for Download)
  std::string error;  // why the check failed
};

// The update service address: the maker's site (the "UpdateSite" value of
// "Software\Norvane\Pelorin", current user first, then local machine;
// https://www.norvane.com when neither is set) + "/_check_update.asp".
std::string UpdateServiceAddress();

// "major.minor" of this program without leading zeros ("1.20").
std::string UpdateVersionText();

// Asks address + "?ver=" + version and interprets the answer. Bounded: the
// connection must open within 3 s and the whole exchange end within
// timeoutMs; answers longer than 64 KB are refused. HTML answers are reduced
// to their body's text.
UpdateResult QueryUpdateService(const std::string& address, const std::string& version,
                                long timeoutMs = 8000);

// The text a browser would show for a page body: tags removed, entities
// for &amp; &lt; &gt; &quot; &nbsp; decoded, surrounding white space trimmed.
std::string BodyInnerText(const std::string& page);

// The whole check as the about box runs it: busy pointer, the query,
// "Update is not available.", "Download Update?" (Yes opens the address in
// the browser), or "Connect error. Check your connection settings.".
void CheckForUpdate();

}  // namespace brevant
