#pragma once
// A private X server (Xvfb) to see the program's windows as a user does:
// find them by title, read their owner and stacking, copy their text the
// way a user selects it (a triple click), and press keys (xdotool). Kept apart from
// the tests so X11's macros stay out of them. Each desktop is a server of
// its own, so tests running side by side never share one.
#include <string>
#include <vector>

namespace brevant::test {

class XDesktop {
 public:
  XDesktop() = default;
  ~XDesktop();
  XDesktop(const XDesktop&) = delete;
  XDesktop& operator=(const XDesktop&) = delete;

  // Starts Xvfb on a free display; false when it cannot.
  bool Start();
  const std::string& Display() const { return display_; }

  // A mapped top-level window of this connection (another program's, for
  // the program under test) that takes close requests, given the keyboard
  // focus when focused.
  unsigned long MakeWindow(const std::string& title, bool focused = false);
  // Collects what happened to a window of MakeWindow for up to ms.
  void Watch(unsigned long window, bool* unmapped, bool* closeAsked, int ms);
  // The first mapped window titled title, waiting up to ms; 0 when none.
  unsigned long WaitForWindow(const std::string& title, int ms);
  bool Mapped(unsigned long window);
  // WM_TRANSIENT_FOR of a window (0 when it has none).
  unsigned long Owner(unsigned long window);
  // Whether a window's _NET_WM_STATE holds state ("_NET_WM_STATE_ABOVE").
  bool HasState(unsigned long window, const std::string& state);
  // The top-level windows, bottom to top.
  std::vector<unsigned long> Stacking();
  void SetFocus(unsigned long window);
  // Presses keys with xdotool ("Escape", "Return") into the focused window.
  bool Keys(const std::string& keys);
  // Selects a window's text the way a user does, with a triple click on it
  // (tried from the top down to the middle, where a box shows its text),
  // and returns what the window put into the primary selection.
  std::string SelectText(unsigned long window);

 private:
  bool Xdotool(const std::vector<std::string>& args);
  int pid_ = 0;
  void* dpy_ = nullptr;
  std::string display_;
};

}  // namespace brevant::test
