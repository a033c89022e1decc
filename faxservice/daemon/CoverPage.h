#pragma once
// The fax service's own cover page: a page with the sender's and the
// recipient's details, the subject, the note and the page count, put in
// front of the document when a fax asks for a cover page. It is the
// program's built-in cover page, drawn by brevant-coversheet (installed
// beside the service) in a process of its own, as the user nobody when
// the service runs as root.
#include <string>

#include "faxservice/protocol/Protocol.h"

namespace brevant::faxd {

// Draws the cover page for the submitted fields (recipient, sender,
// subject, note) into a one-page fax TIFF. False with *why when it cannot
// be drawn (the helper missing, failing or taking too long).
bool MakeCoverPage(const faxsvc::Message& fields, int documentPages, const std::string& tiffPath,
                   std::string* why);

}  // namespace brevant::faxd
