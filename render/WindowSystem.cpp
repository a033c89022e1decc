#include "render/WindowSystem.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <cstdlib>
#include <mutex>

#include "platform/lib/X11Api.h"

namespace brevant::render {
namespace {

class NoWindows : public WindowSystem {
 public:
  std::vector<Handle> TopLevelWindows() override { return {}; }
  std::string Title(Handle) override { return ""; }
  void Hide(Handle) override {}
  void Minimise(Handle) override {}
  void PostClose(Handle) override {}
};

// A window that vanished between listing and use gives BadWindow; that is
// an ordinary answer here, not a reason to end the program.
int IgnoreXErrors(Display*, XErrorEvent*) {
  return 0;
}

class X11Windows : public WindowSystem {
 public:
  explicit X11Windows(Display* d) : d_(d) {
    XSetErrorHandler(IgnoreXErrors);
    clientList_ = XInternAtom(d_, "_NET_CLIENT_LIST", False);
    netName_ = XInternAtom(d_, "_NET_WM_NAME", False);
    utf8_ = XInternAtom(d_, "UTF8_STRING", False);
    protocols_ = XInternAtom(d_, "WM_PROTOCOLS", False);
    delete_ = XInternAtom(d_, "WM_DELETE_WINDOW", False);
  }

  std::vector<Handle> TopLevelWindows() override {
    std::vector<Handle> out;
    Window root = DefaultRootWindow(d_);
    // With a window manager its client list names the application windows;
    // without one they are the root's mapped children.
    Atom type;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d_, root, clientList_, 0, 4096, False, XA_WINDOW, &type, &format, &n, &after,
                           &data) == Success &&
        data && n > 0) {
      auto* w = reinterpret_cast<Window*>(data);
      for (unsigned long i = 0; i < n; ++i) out.push_back(w[i]);
      XFree(data);
      return out;
    }
    if (data) XFree(data);
    Window r, parent, *kids = nullptr;
    unsigned int count = 0;
    if (XQueryTree(d_, root, &r, &parent, &kids, &count)) {
      for (unsigned int i = 0; i < count; ++i) {
        XWindowAttributes a;
        if (XGetWindowAttributes(d_, kids[i], &a) && a.map_state == IsViewable) out.push_back(kids[i]);
      }
      if (kids) XFree(kids);
    }
    return out;
  }

  std::string Title(Handle w) override {
    std::string title;
    Atom type;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d_, w, netName_, 0, 1024, False, utf8_, &type, &format, &n, &after, &data) ==
            Success &&
        data && n > 0)
      title.assign(reinterpret_cast<char*>(data), n);
    if (data) XFree(data);
    if (title.empty()) {
      char* name = nullptr;
      if (XFetchName(d_, w, &name) && name) {
        title = name;
        XFree(name);
      }
    }
    // Text up to the first NUL, as a window title is read elsewhere.
    return title.substr(0, title.find('\0'));
  }

  void Hide(Handle w) override {
    XWithdrawWindow(d_, w, DefaultScreen(d_));
    XFlush(d_);
  }
  void Minimise(Handle w) override {
    XIconifyWindow(d_, w, DefaultScreen(d_));
    XFlush(d_);
  }
  void PostClose(Handle w) override {
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = protocols_;
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = long(delete_);
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(d_, w, False, NoEventMask, &ev);
    XFlush(d_);
  }
  void ShowNormal(Handle w) override {
    XMapRaised(d_, w);
    // A window manager activates (and restores) a window when asked on the
    // root window; without one the mapping and raising above is all.
    XEvent ev{};
    ev.xclient.type = ClientMessage;
    ev.xclient.window = w;
    ev.xclient.message_type = XInternAtom(d_, "_NET_ACTIVE_WINDOW", False);
    ev.xclient.format = 32;
    ev.xclient.data.l[0] = 1;  // a request from an application
    ev.xclient.data.l[1] = CurrentTime;
    XSendEvent(d_, DefaultRootWindow(d_), False, SubstructureRedirectMask | SubstructureNotifyMask, &ev);
    XFlush(d_);
  }

 private:
  Display* d_;
  Atom clientList_, netName_, utf8_, protocols_, delete_;
};

WindowSystem* g_override = nullptr;

}  // namespace

WindowSystem& Windows() {
  if (g_override) return *g_override;
  static WindowSystem* session = []() -> WindowSystem* {
    const char* display = std::getenv("DISPLAY");
    if (display && *display && platform::X11Library())
      if (Display* d = XOpenDisplay(display)) return new X11Windows(d);
    return new NoWindows;
  }();
  return *session;
}

void SetWindowSystem(WindowSystem* ws) {
  g_override = ws;
}

}  // namespace brevant::render
