#include "tests/support/XDesktop.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace brevant::test {
namespace {

::Display* D(void* p) {
  return static_cast<::Display*>(p);
}
int IgnoreErrors(::Display*, XErrorEvent*) {
  return 0;
}

// A window property's bytes (format 32 items are longs in memory).
std::string Property(::Display* d, Window w, Atom name, Atom type, bool remove) {
  Atom got;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string out;
  if (XGetWindowProperty(d, w, name, 0, 65536, remove, type, &got, &format, &count, &after, &data) ==
          Success &&
      data)
    out.assign(reinterpret_cast<char*>(data),
               count * (format == 32 ? sizeof(long) : std::size_t(format / 8)));
  if (data) XFree(data);
  return out;
}

}  // namespace

XDesktop::~XDesktop() {
  if (dpy_) XCloseDisplay(D(dpy_));
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
}

// Xvfb picks the display itself (-displayfd): it takes the first number
// whose lock it can create and says which once it listens, so two tests
// starting at the same moment never end up on one server.
bool XDesktop::Start() {
  if (::access("/usr/bin/Xvfb", X_OK) != 0) return false;
  int fds[2];
  if (::pipe(fds) != 0) return false;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlives a test that dies
    ::close(fds[0]);
    std::string fd = std::to_string(fds[1]);
    ::execl("/usr/bin/Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
            "tcp", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string number;
  char c;
  while (::read(fds[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(fds[0]);
  if (!number.empty()) {
    display_ = ":" + number;
    dpy_ = XOpenDisplay(display_.c_str());
  }
  if (!dpy_) return false;
  XSetErrorHandler(IgnoreErrors);
  return true;
}

unsigned long XDesktop::MakeWindow(const std::string& title, bool focused) {
  ::Display* d = D(dpy_);
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 10, 10, 300, 200, 0, 0, 0xffffff);
  XStoreName(d, w, title.c_str());
  Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(d, w, &del, 1);
  XSelectInput(d, w, StructureNotifyMask);
  XMapWindow(d, w);
  XSync(d, False);
  if (focused) SetFocus(w);
  return w;
}

void XDesktop::Watch(unsigned long window, bool* unmapped, bool* closeAsked, int ms) {
  ::Display* d = D(dpy_);
  Atom del = XInternAtom(d, "WM_DELETE_WINDOW", False);
  for (int waited = 0; waited < ms && !(*unmapped && *closeAsked); waited += 20) {
    XEvent ev;
    while (XCheckWindowEvent(d, window, StructureNotifyMask, &ev))
      if (ev.type == UnmapNotify) *unmapped = true;
    while (XCheckTypedWindowEvent(d, window, ClientMessage, &ev))
      if (Atom(ev.xclient.data.l[0]) == del) *closeAsked = true;
    ::usleep(20000);
  }
}

unsigned long XDesktop::WaitForWindow(const std::string& title, int ms) {
  ::Display* d = D(dpy_);
  for (int waited = 0; waited <= ms; waited += 50) {
    for (unsigned long w : Stacking())
      if (Property(d, w, XA_WM_NAME, AnyPropertyType, false) == title && Mapped(w)) return w;
    ::usleep(50000);
  }
  return 0;
}

bool XDesktop::Mapped(unsigned long window) {
  XWindowAttributes a{};
  return XGetWindowAttributes(D(dpy_), window, &a) && a.map_state == IsViewable;
}

unsigned long XDesktop::Owner(unsigned long window) {
  Window owner = 0;
  return XGetTransientForHint(D(dpy_), window, &owner) ? owner : 0;
}

bool XDesktop::HasState(unsigned long window, const std::string& state) {
  ::Display* d = D(dpy_);
  std::string atoms = Property(d, window, XInternAtom(d, "_NET_WM_STATE", False), XA_ATOM, false);
  Atom want = XInternAtom(d, state.c_str(), False);
  for (std::size_t at = 0; at + sizeof(Atom) <= atoms.size(); at += sizeof(Atom))
    if (*reinterpret_cast<const Atom*>(atoms.data() + at) == want) return true;
  return false;
}

std::vector<unsigned long> XDesktop::Stacking() {
  ::Display* d = D(dpy_);
  std::vector<unsigned long> out;
  Window root, parent, *kids = nullptr;
  unsigned int n = 0;
  if (XQueryTree(d, DefaultRootWindow(d), &root, &parent, &kids, &n)) {
    for (unsigned int i = 0; i < n; ++i) out.push_back(kids[i]);
    if (kids) XFree(kids);
  }
  return out;
}

void XDesktop::SetFocus(unsigned long window) {
  XSetInputFocus(D(dpy_), window, RevertToParent, CurrentTime);
  XSync(D(dpy_), False);
}

bool XDesktop::Xdotool(const std::vector<std::string>& args) {
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("DISPLAY", display_.c_str(), 1);
    std::vector<char*> argv{const_cast<char*>("xdotool")};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp("xdotool", argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool XDesktop::Keys(const std::string& keys) {
  return Xdotool({"key", "--delay", "50", keys});
}

std::string XDesktop::SelectText(unsigned long window) {
  ::Display* d = D(dpy_);
  XWindowAttributes a{};
  Window child = 0;
  int x = 0, y = 0;
  if (!XGetWindowAttributes(d, window, &a) ||
      !XTranslateCoordinates(d, window, DefaultRootWindow(d), 0, 0, &x, &y, &child))
    return "";
  for (int percent : {25, 33, 40, 45}) {
    int px = x + a.width / 2, py = y + a.height * percent / 100;
    Xdotool({"mousemove", std::to_string(px), std::to_string(py), "click", "--repeat", "3", "--delay", "40",
             "1"});
    // What the window put into the primary selection, asked for as UTF-8.
    Window me = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    Atom into = XInternAtom(d, "XDESKTOP_SELECTION", False);
    XConvertSelection(d, XA_PRIMARY, XInternAtom(d, "UTF8_STRING", False), into, me, CurrentTime);
    XSync(d, False);
    XEvent ev{};
    bool got = false;
    for (int waited = 0; waited <= 2000 && !(got = XCheckTypedWindowEvent(d, me, SelectionNotify, &ev));
         waited += 20)
      ::usleep(20000);
    std::string text =
        got && ev.xselection.property != None ? Property(d, me, into, AnyPropertyType, true) : "";
    XDestroyWindow(d, me);
    if (!text.empty()) return text;
  }
  return "";
}

}  // namespace brevant::test
