#pragma once
// The desktop's top-level windows, as far as the print routes and the about
// box need them: list, title, hide, minimise, ask to close, show. On X11 (a display is set and
// answers) this is the X server's window list; without a display there
// are no windows. Tests install their own.
#include <string>
#include <vector>

namespace brevant::render {

class WindowSystem {
 public:
  using Handle = unsigned long;
  virtual ~WindowSystem() = default;
  virtual std::vector<Handle> TopLevelWindows() = 0;
  // "" when the window is gone or has no title.
  virtual std::string Title(Handle w) = 0;
  virtual void Hide(Handle w) = 0;
  virtual void Minimise(Handle w) = 0;
  // Asks the window to close, the way its close button does.
  virtual void PostClose(Handle w) = 0;
  // Shows the window in its normal state, in front (restored when it was
  // minimised).
  virtual void ShowNormal(Handle) {}
};

// The window system of this session (X11 or none).
WindowSystem& Windows();
// Installs another one (not owned); null returns to the session's.
void SetWindowSystem(WindowSystem* ws);

}  // namespace brevant::render
