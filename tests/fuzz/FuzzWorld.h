#pragma once
// A private program folder and registry for a fuzz target, on tmpfs when
// there is one, and a check that stops the run with a message.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace brevant::fuzz {

inline std::string MakeWorld() {
  std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  std::string dir = base + "/brevant-fuzz-" + std::to_string(::getpid());
  ::mkdir(dir.c_str(), 0700);
  ::mkdir((dir + "/reg").c_str(), 0700);
  ::setenv("BREVANT_PROGRAM_DIR", dir.c_str(), 1);
  ::setenv("BREVANT_REGISTRY_DIR", (dir + "/reg").c_str(), 1);
  ::setenv("TZ", "UTC", 1);
  return dir;
}

#define FUZZ_CHECK(cond)                                                         \
  do {                                                                           \
    if (!(cond)) {                                                               \
      std::fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                              \
    }                                                                            \
  } while (0)

}  // namespace brevant::fuzz
