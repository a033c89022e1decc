#pragma once
// The functions of libX11.so.6 that Brevant calls (the desktop's windows), loaded on
// first use (platform/lib/LazyLibrary.h). Include this instead of the
// library's own header: each name below then calls through the table.
#include <X11/Xlib.h>

#include "platform/lib/LazyLibrary.h"

#define BREVANT_X11_FUNCTIONS(X) \
  X(XFetchName)                  \
  X(XFlush)                      \
  X(XFree)                       \
  X(XGetWindowAttributes)        \
  X(XGetWindowProperty)          \
  X(XIconifyWindow)              \
  X(XInternAtom)                 \
  X(XMapRaised)                  \
  X(XOpenDisplay)                \
  X(XQueryTree)                  \
  X(XSendEvent)                  \
  X(XSetErrorHandler)            \
  X(XWithdrawWindow)

namespace brevant::platform {

struct X11Api {
  BREVANT_X11_FUNCTIONS(BREVANT_LAZY_MEMBER)
};

// The loaded table, or nullptr when libX11.so.6 cannot be loaded.
const X11Api* X11Library();
// The loaded table; throws std::runtime_error when it cannot be loaded.
const X11Api& X11();

}  // namespace brevant::platform

#ifndef BREVANT_LAZY_LOADER
#define XFetchName (::brevant::platform::X11().XFetchName)
#define XFlush (::brevant::platform::X11().XFlush)
#define XFree (::brevant::platform::X11().XFree)
#define XGetWindowAttributes (::brevant::platform::X11().XGetWindowAttributes)
#define XGetWindowProperty (::brevant::platform::X11().XGetWindowProperty)
#define XIconifyWindow (::brevant::platform::X11().XIconifyWindow)
#define XInternAtom (::brevant::platform::X11().XInternAtom)
#define XMapRaised (::brevant::platform::X11().XMapRaised)
#define XOpenDisplay (::brevant::platform::X11().XOpenDisplay)
#define XQueryTree (::brevant::platform::X11().XQueryTree)
#define XSendEvent (::brevant::platform::X11().XSendEvent)
#define XSetErrorHandler (::brevant::platform::X11().XSetErrorHandler)
#define XWithdrawWindow (::brevant::platform::X11().XWithdrawWindow)
#endif
