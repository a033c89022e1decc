#pragma once
// A private X server (Xvfb) for tests of window lookups, with windows made
// on it. Kept apart from the tests so X11's macros stay out of them.
#include <string>

namespace brevant::test {

class XTestServer {
 public:
  XTestServer() = default;
  ~XTestServer();
  XTestServer(const XTestServer&) = delete;
  XTestServer& operator=(const XTestServer&) = delete;

  // Starts Xvfb on a free display; false when it cannot.
  bool Start();
  const std::string& Display() const { return display_; }
  // A mapped top-level window with this title that takes close requests.
  unsigned long MakeWindow(const std::string& title);
  // Collects what happened to a window for up to ms milliseconds.
  void Watch(unsigned long window, bool* unmapped, bool* closeAsked, int ms);

 private:
  int pid_ = 0;
  void* dpy_ = nullptr;
  std::string display_;
};

}  // namespace brevant::test
