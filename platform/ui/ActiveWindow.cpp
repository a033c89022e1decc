// The window system's active window, for the owner of the program's
// windows. X11 is asked through libX11, loaded on demand: most runs show no
// window, and programs that never ask do not pay for the library.
// Ui.h comes before the X11 headers, whose macros (None, ...) would
// otherwise rename its names.
// clang-format off
#include "platform/ui/Ui.h"

#include <dlfcn.h>

#include <cstdlib>
#include <type_traits>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
// clang-format on

namespace brevant::ui {
namespace {

struct XApi {
  decltype(&::XOpenDisplay) OpenDisplay = nullptr;
  decltype(&::XCloseDisplay) CloseDisplay = nullptr;
  decltype(&::XInternAtom) InternAtom = nullptr;
  decltype(&::XDefaultRootWindow) RootOf = nullptr;
  decltype(&::XGetWindowProperty) GetWindowProperty = nullptr;
  decltype(&::XGetInputFocus) GetInputFocus = nullptr;
  decltype(&::XFree) Free = nullptr;
  decltype(&::XSetErrorHandler) SetErrorHandler = nullptr;
};

const XApi* X() {
  static const XApi* api = []() -> const XApi* {
    void* lib = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
    if (!lib) return nullptr;
    static XApi a;
    auto get = [lib](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(::dlsym(lib, name));
      return fn != nullptr;
    };
    bool ok = get(a.OpenDisplay, "XOpenDisplay") && get(a.CloseDisplay, "XCloseDisplay") &&
              get(a.InternAtom, "XInternAtom") && get(a.RootOf, "XDefaultRootWindow") &&
              get(a.GetWindowProperty, "XGetWindowProperty") && get(a.GetInputFocus, "XGetInputFocus") &&
              get(a.Free, "XFree") && get(a.SetErrorHandler, "XSetErrorHandler");
    return ok ? &a : nullptr;
  }();
  return api;
}

// A window that went away while it was asked about is an answer, not an
// error that ends the program.
int IgnoreXErrors(Display*, XErrorEvent*) {
  return 0;
}

}  // namespace

WindowHandle ForegroundWindow() {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return 0;
  const XApi* x = X();
  if (!x) return 0;
  Display* d = x->OpenDisplay(display);
  if (!d) return 0;
  auto previous = x->SetErrorHandler(IgnoreXErrors);
  WindowHandle active = 0;
  // A window manager names the active window on the root window.
  Atom netActive = x->InternAtom(d, "_NET_ACTIVE_WINDOW", True);
  if (netActive != None) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    if (x->GetWindowProperty(d, x->RootOf(d), netActive, 0, 1, False, XA_WINDOW, &type, &format, &count,
                             &after, &data) == Success &&
        data && type == XA_WINDOW && format == 32 && count == 1)
      active = *reinterpret_cast<Window*>(data);
    if (data) x->Free(data);
  }
  // Without one, the window that has the keyboard focus (not the root, and
  // not "none" or "pointer root").
  if (active == 0) {
    Window focus = None;
    int revert = 0;
    x->GetInputFocus(d, &focus, &revert);
    if (focus != None && focus != PointerRoot && focus != x->RootOf(d)) active = focus;
  }
  x->CloseDisplay(d);
  x->SetErrorHandler(previous);
  return active;
}

}  // namespace brevant::ui
