/* Stand-ins for the suite's libraries, used to exercise registration.
 * COMPONENT_KIND selects how the registration entry behaves:
 *   1 good: records the call in $BREVANT_COMPONENT_LOG and returns 0
 *   2 refuses: returns a non-zero result
 *   3 crashes inside the entry
 *   4 hangs inside the entry
 * A library built without COMPONENT_KIND has no registration entry. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <signal.h>
#include <string.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#ifdef COMPONENT_KIND
/* Records "register FILE" with the file name this library was loaded as. */
static long Record(const char* what) {
  const char* log = getenv("BREVANT_COMPONENT_LOG");
  Dl_info info;
  const char* file = COMPONENT_NAME;
  if (dladdr((void*)&Record, &info) && info.dli_fname) {
    const char* slash = strrchr(info.dli_fname, '/');
    file = slash ? slash + 1 : info.dli_fname;
  }
  if (log && *log) {
    FILE* f = fopen(log, "a");
    if (f) {
      fprintf(f, "%s %s\n", what, file);
      fclose(f);
    }
  }
  return 0;
}

long DllRegisterServer(void) {
#if COMPONENT_KIND == 1
  return Record("register");
#elif COMPONENT_KIND == 2
  return 0x80070005L; /* access denied */
#elif COMPONENT_KIND == 3
  raise(SIGSEGV);
  return 0;
#else
  for (;;) pause();
  return 0;
#endif
}

long DllUnregisterServer(void) {
#if COMPONENT_KIND == 1
  return Record("unregister");
#else
  return 1;
#endif
}
#else
/* Something to export, so this is a real library with no entry. */
int ComponentVersion(void) { return 1; }
#endif
