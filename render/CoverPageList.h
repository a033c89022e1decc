#pragma once
// The cover pages a fax may get, as the wizard's cover page step and the
// default cover page dialog offer them: the templates of the common and
// the personal cover page folders, and (off the fax service's delivery
// path) the group's cover pages as pictures printed beforehand. Both
// windows list them through ListCoverPages, so they offer the same.
#include <string>
#include <vector>

namespace brevant::render {

struct CoverPageEntry {
  std::string display;  // "Generic", "Memo(Personal)"
  std::string path;     // the file the fax's cover page is printed from
};

// The offered cover pages in order: files whose name contains ".cov" in the
// common folder, then in the personal one ("(Personal)" appended); then,
// when ProgramType is not 0, the group's CoverFolder, where every ".emf"
// file is offered and a ".cov" file without its ".emf" twin is first printed
// into that twin (ConvertCoverPageToEMF) and offered as the twin. Display
// names are file names up to their first ".". A folder that is not there
// ends the scan quietly; any other failure ends it with an error record
// under errorSource. Either way the cover pages found so far are kept.
std::vector<CoverPageEntry> ListCoverPages(const std::string& errorSource);

}  // namespace brevant::render

namespace brevant::mCreatePreview {

// The ".emf" path beside a cover page: ".cov" replaced by ".emf" whatever
// its case, else ".emf" appended.
std::string CoverEmfPath(const std::string& coverPath);

// Prints a cover page through the fax printer and keeps the page it makes
// as the ".emf" beside it (CoverEmfPath): the spool folder is emptied, the
// fax printer becomes the default printer with "FaxPrinter" held, the cover
// page is printed (a picture as it is, a template by its print verb, filled
// with the "UserInfo" values), the queue is awaited, and the spool folder's
// "00000001.emf" is moved beside the cover page. Always true; a page that
// did not appear is error 567 ("File not found:" and that page file's
// path), other failures are error records too, all with the source
// "mCreatePreview.ConvertCoverPageToEMF".
bool ConvertCoverPageToEMF(const std::string& coverPath);

}  // namespace brevant::mCreatePreview
