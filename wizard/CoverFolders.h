#pragma once
// Where the cover page templates are: the common folder, the personal one
// and the group's cover folder. Paths in the registry may use "\"; they are
// returned with "/".
#include <string>

namespace brevant::wizard {


// Common templates: "Common AppData" + ServerCoverPageDir on XP, else
// "Common Documents" + "/My Faxes/Common Coverpages".
std::string CommonCoverFolder();
// Personal templates: "Personal" + CoverPageDir (current user).
std::string PersonalCoverFolder();

}  // namespace brevant::wizard
