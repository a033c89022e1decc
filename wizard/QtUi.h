#pragma once
// The Qt side of the UI seam: the application object and the backend that
// shows message boxes, runs pending events, sets the mouse pointer, shows
// the status window with its progress bar and keeps the process alive while
// a window is open.
namespace brevant::wizard {

// Creates the application object when there is none and installs the Qt
// backend (once). Returns false when no window can be shown: no display and
// not unattended. Unattended runs without a display draw off screen.
bool EnsureQtUi();

}  // namespace brevant::wizard
