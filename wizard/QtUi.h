#pragma once
// The Qt side of the UI seam: the application object and the backend that
// shows message boxes, runs pending events, sets the mouse pointer, shows
// the status window with its progress bar and keeps the process alive while
// a window is open. While it runs, a later copy of the program can ask it
// to bring its window to the front.
#include "platform/ui/Ui.h"

class QWidget;

namespace brevant::wizard {

// Creates the application object when there is none and installs the Qt
// backend (once). Returns false when no window can be shown: no display and
// not unattended. Unattended runs without a display draw off screen.
bool EnsureQtUi();

// Makes a window of another program (or of the desktop) the owner of a
// top-level window of ours, before it is shown: the window manager keeps it
// above its owner. 0 leaves it without one.
void GiveOwner(QWidget* window, ui::WindowHandle owner);

}  // namespace brevant::wizard
