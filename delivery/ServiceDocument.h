#pragma once
// What the fax service is handed. The service sends fax images only (it
// runs as root and never renders a user's document), so a document that is
// not one yet is turned into one here, by the user who sends it:
//  - a fax TIFF goes as it is;
//  - the page list "spool.pnx" (the fax printer's page files, one path a
//    line) becomes one page each;
//  - a text file of blanks (the stand-in body of a fax that is only its
//    cover page) becomes one white page;
//  - a PDF (a document the fax image pipeline could not print) is drawn by
//    Ghostscript at fax resolution, each page turned upright and fitted.
// Anything else is refused with the reason.
#include <string>

namespace brevant {

struct ServiceImage {
  std::string path;        // the fax TIFF to submit
  bool temporary = false;  // made here: remove it once submitted
};

// False with *why (a sentence for the user) when no fax image can be made
// of the document.
bool MakeServiceImage(const std::string& document, ServiceImage* image, std::string* why);

}  // namespace brevant
