#pragma once
// The Qt implementation of the windows the command front object opens.
#include "wizard/Windows.h"

namespace brevant::wizard {

// The process-wide Qt windows; creates the application object and installs
// the Qt backend of the UI seam on first use. Null when no window can be
// shown (no display, not unattended).
Windows* QtWindows();

}  // namespace brevant::wizard
