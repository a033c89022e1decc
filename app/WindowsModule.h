#pragma once
// Finds the window library when the first window is needed.
#include "wizard/Windows.h"

namespace brevant {

// The windows of this run, loaded on first use; null when the window
// library cannot be loaded or no display is available. That is written as
// an error record and said once on stderr; the run goes on without windows
// (message boxes write their text to stderr).
wizard::Windows* AppWindows();

// The loader of the UI seam: the first message box of an attended run
// loads the window library, so the user sees it as a box.
bool LoadWindowsForMessages();

// Test programs link the windows in and hand them over here instead.
void SetAppWindows(wizard::Windows* windows);

}  // namespace brevant
