#pragma once
// Finds the window library when the first window is needed.
#include "wizard/Windows.h"

namespace brevant {

// The windows of this run, loaded on first use; null (with an error record)
// when the window library cannot be loaded or no display is available.
wizard::Windows* AppWindows();

// Test programs link the windows in and hand them over here instead.
void SetAppWindows(wizard::Windows* windows);

}  // namespace brevant
