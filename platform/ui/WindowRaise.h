#pragma once
// Bringing the running copy's window to the front. A copy of the program
// that shows a window listens on a local socket of its own in the user's
// runtime folder, one per user and desktop session; a later copy that must
// not open a second window ("config", "about", the wizard, ...) asks it to
// raise that window instead. Only processes of the same user are heard.
#include <functional>
#include <string>

namespace brevant::ui {

// The socket: runtime folder + "/windows-<uid>-<session>", where session
// names the desktop session (XDG_SESSION_ID, else the display).
std::string RaiseSocketPath();

// Starts listening and returns the listening descriptor (non-blocking), or
// -1 when another live copy listens already or the folder cannot hold the
// socket. A socket left by a copy that crashed is replaced.
int ListenForRaise();
// Stops listening and removes the socket (when it is still this copy's).
void StopListening(int listenFd);

// Serves the requests waiting on a listening descriptor: raise gets the
// title of the window to bring to the front ("" = whichever window this
// copy shows) and says whether it found one; the asking copy is told.
void ServeRaiseRequests(int listenFd, const std::function<bool(const std::string& title)>& raise);

// Asks the copy that listens to bring its window titled title (any window
// when "") to the front; true when it did. Waits at most timeoutMs.
bool AskToRaise(const std::string& title, long timeoutMs = 2000);

}  // namespace brevant::ui
