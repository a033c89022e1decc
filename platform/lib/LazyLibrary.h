#pragma once
// Libraries loaded on first use. A run of brevant does one thing, and most
// runs never write a mail item, a TIFF or a JPEG, or talk to X: linking
// those libraries would load them, and everything they link, at every
// start. Instead a table header names the functions a module calls in an
// X-list, declares a table of pointers with BREVANT_LAZY_MEMBER and, for the
// module's sources, defines each name as a call through the loaded table;
// the loader fills the table with BREVANT_LAZY_LOAD from dlopen's handle.
#include <dlfcn.h>

#define BREVANT_LAZY_MEMBER(f) decltype(&::f) f = nullptr;
#define BREVANT_LAZY_LOAD(f)                                       \
  table.f = reinterpret_cast<decltype(table.f)>(::dlsym(lib, #f)); \
  ok = ok && table.f != nullptr;

// Defines NameLibrary(): the table of LIST's functions from soname, loaded
// with dlopen's flags on the first call; nullptr when the library or one
// of the functions cannot be found.
#define BREVANT_LAZY_LIBRARY(Name, soname, flags, LIST)      \
  const Name##Api* Name##Library() {                         \
    static const Name##Api* api = []() -> const Name##Api* { \
      void* lib = ::dlopen(soname, flags);                   \
      if (!lib) return nullptr;                              \
      static Name##Api table;                                \
      bool ok = true;                                        \
      LIST(BREVANT_LAZY_LOAD)                                \
      return ok ? &table : nullptr;                          \
    }                                                        \
    ();                                                      \
    return api;                                              \
  }
