#pragma once
// Where the cover page templates are: the common folder (shared by every
// user of the machine, and the fax service's own), the personal one, and
// whether a template is one of the common ones. Paths in the registry may
// use "\"; they are returned with "/".
#include <string>

namespace brevant::mCommon {

// Common templates: "Common AppData" + "/" + ServerCoverPageDir when the
// XP check says "XP", else "Common Documents" + "/My Faxes/Common
// Coverpages" (local machine); "" when the machine names no shared folder.
std::string CommonCoverFolder();
// Personal templates: "Personal" + "/" + CoverPageDir (current user).
std::string PersonalCoverFolder();

// True when the common template folder occurs anywhere in the template's
// path, compared without regard to case: the fax service then takes the
// template from its own folder. False, with an error record, when the
// folder cannot be worked out.
bool IsServerCoverPage(const std::string& templatePath);

}  // namespace brevant::mCommon
