#pragma once
// The maintenance windows as Init opens them: the about box and the repair
// dialog modeless, the fax-modem warning modal. A QApplication must exist.
// This header carries no Qt types, so the command front object can include
// it without pulling in the window library's headers.
#include <functional>
#include <string>

namespace brevant {

// "about": shows the about box; a second call while one is open brings the
// open one to the front instead.
void ShowAboutBox();

// "warning": shows the warning dialog and returns when it closes: its text
// and OK, every time. With a message the text becomes "Warning:" + message;
// with none it is the fax-modem warning.
void ShowWarningDialog(const std::string& message);

// "repair": shows the repair dialog.
void ShowRepairDialog();

// Called after the about box's OK or the repair dialog's Close has closed
// the window: Init sets it to end the run (exitApp with code 0).
void SetMaintenanceExitHandler(std::function<void()> handler);

}  // namespace brevant
