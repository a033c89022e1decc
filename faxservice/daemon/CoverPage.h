#pragma once
// The fax service's own cover page: a page with the sender's and the
// recipient's details, the subject, the note and the page count, put in
// front of the document when a fax asks for a cover page.
#include <string>

#include "faxservice/protocol/Protocol.h"

namespace brevant::faxd {

// Renders the cover page for the submitted fields (recipient, sender,
// subject, note) into a one-page fax TIFF through Ghostscript. False with
// *why when Ghostscript is missing or fails.
bool MakeCoverPage(const faxsvc::Message& fields, int documentPages, const std::string& tiffPath,
                   std::string* why);

}  // namespace brevant::faxd
