#pragma once
// The update check behind the about box's "Update" button: asks the maker's
// update service whether a newer version exists and offers its download
// address in the browser.
#include <functional>
#include <string>

namespace brevant {

// What the update service answered.
enum class UpdateAnswer {
  NoUpdate,  // body "0"
  Nothing,   // body "1": nothing is to be done
  Download,  // any other text, whatever the page: the download address
  Failed,    // no answer at all: no connection, a transfer that broke or ran out of time
};

struct UpdateResult {
  UpdateAnswer answer = UpdateAnswer::Failed;
  std::string text;        // the body's text (the download address for Download)
  std::string error;       // why the check failed
  bool abandoned = false;  // the user gave the check up while it waited
};

// The update service address: the maker's site (the "UpdateSite" value of
// "Software\Norvane\Pelorin", current user first, then local machine;
// https://www.norvane.com when neither is set) + "/_check_update.asp".
std::string UpdateServiceAddress();

// "major.minor" of this program without leading zeros ("1.20").
std::string UpdateVersionText();

// Asks address + "?ver=" + version and interprets the answer as the
// browser's view of the page: the body's text, whatever the HTTP status.
// There is no time limit: window messages run while it waits, and it waits
// until the page is complete or abandoned (asked between polls) says true.
// The body is read up to 64 KB (a longer one fails).
UpdateResult QueryUpdateService(const std::string& address, const std::string& version,
                                const std::function<bool()>& abandoned = {});

// The text a browser would show for a page body: tags removed, entities
// for &amp; &lt; &gt; &quot; &nbsp; decoded, surrounding white space trimmed.
std::string BodyInnerText(const std::string& page);

// The whole check as the about box runs it: busy pointer, the query,
// "Update is not available.", "Download Update?" (Yes opens the address in
// the browser), or "Connect error. Check your connection settings.". A
// check abandoned by its window ends without a word.
void CheckForUpdate(const std::function<bool()>& abandoned = {});

}  // namespace brevant
