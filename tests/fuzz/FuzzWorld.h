#pragma once
// What every fuzz harness shares: a private program folder and registry (on
// tmpfs when there is one), the input as text or as a file, and a check that
// stops the run with a message.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace brevant::fuzz {

// The world's folder, made on first use.
inline const std::string& Dir() {
  static const std::string dir = [] {
    std::string dir = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
                      std::string("/brevant-fuzz-") + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0700);
    ::mkdir((dir + "/reg").c_str(), 0700);
    ::setenv("BREVANT_PROGRAM_DIR", dir.c_str(), 1);
    ::setenv("BREVANT_REGISTRY_DIR", (dir + "/reg").c_str(), 1);
    ::setenv("TZ", "UTC", 1);
    return dir;
  }();
  return dir;
}

inline std::string Text(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Replaces the file's content with the input.
inline void Put(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

#define FUZZ_CHECK(cond)                                                              \
  do {                                                                                \
    if (!(cond)) {                                                                    \
      std::fprintf(stderr, "check failed at %s:%d: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (0)

// A harness whose first step needs the private world (the others call Dir()
// first; a harness without set-up defines no LLVMFuzzerInitialize).
#define FUZZ_WORLD_SETUP                               \
  extern "C" int LLVMFuzzerInitialize(int*, char***) { \
    brevant::fuzz::Dir();                              \
    return 0;                                          \
  }

}  // namespace brevant::fuzz
