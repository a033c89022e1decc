#include "tests/render/XTestServer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace brevant::test {

XTestServer::~XTestServer() {
  if (dpy_) XCloseDisplay(static_cast<::Display*>(dpy_));
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

bool XTestServer::Start() {
  if (::access("/usr/bin/Xvfb", X_OK) != 0) return false;
  display_ = ":" + std::to_string(90 + ::getpid() % 800);
  pid_ = ::fork();
  if (pid_ == 0) {
    ::execl("/usr/bin/Xvfb", "Xvfb", display_.c_str(), "-screen", "0", "640x480x24", "-nolisten", "tcp",
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 100 && !dpy_; ++i) {
    dpy_ = XOpenDisplay(display_.c_str());
    if (!dpy_) ::usleep(50000);
  }
  return dpy_ != nullptr;
}

unsigned long XTestServer::MakeWindow(const std::string& title) {
  auto* d = static_cast<::Display*>(dpy_);
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 200, 100, 0, 0, 0);
  XStoreName(d, w, title.c_str());
  Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(d, w, &del, 1);
  XSelectInput(d, w, StructureNotifyMask);
  XMapWindow(d, w);
  XSync(d, False);
  return w;
}

void XTestServer::Watch(unsigned long window, bool* unmapped, bool* closeAsked, int ms) {
  auto* d = static_cast<::Display*>(dpy_);
  Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
  for (int waited = 0; waited < ms && !(*unmapped && *closeAsked); waited += 20) {
    while (XPending(d)) {
      XEvent ev;
      XNextEvent(d, &ev);
      if (ev.type == UnmapNotify && ev.xunmap.window == window) *unmapped = true;
      if (ev.type == ClientMessage && ev.xclient.window == window && Atom(ev.xclient.data.l[0]) == del)
        *closeAsked = true;
    }
    ::usleep(20000);
  }
}

}  // namespace brevant::test
