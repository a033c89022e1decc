#pragma once
// Where the cover page templates are: the common folder, the personal one
// and the group's cover folder. Paths in the registry may use "\"; they are
// returned with "/".
#include <string>

namespace brevant::wizard {

// "XP" when the version record in the registry says 5.1 or 5.2 (the
// default when it is missing), else "".
std::string XPCheck();

// Common templates: "Common AppData" + ServerCoverPageDir on XP, else
// "Common Documents" + "/My Faxes/Common Coverpages".
std::string CommonCoverFolder();
// Personal templates: "Personal" + CoverPageDir (current user).
std::string PersonalCoverFolder();

}  // namespace brevant::wizard
