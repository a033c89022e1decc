// brevant-regsvr: loads one of the suite's libraries and calls its
// registration entry. It runs as a child of the repair dialog so that a
// library that crashes or hangs cannot take the dialog down.
//   brevant-regsvr [/u] PATH
#include <cstdio>
#include <cstring>
#include <string>

#include "maintenance/Installation.h"

int main(int argc, char** argv) {
  using namespace brevant::mInstallation;
  bool reg = true;
  int i = 1;
  if (i < argc && (std::strcmp(argv[i], "/u") == 0 || std::strcmp(argv[i], "-u") == 0)) {
    reg = false;
    ++i;
  }
  if (i + 1 != argc) {
    std::fprintf(stderr, "usage: brevant-regsvr [/u] LIBRARY\n");
    return kRegsvrUsage;
  }
  std::string detail;
  int rc = RunRegistrationEntry(argv[i], reg, &detail);
  // Quiet on success: its output goes wherever the calling program's does.
  if (rc != kRegsvrOk) std::fprintf(stderr, "%s: %s\n", argv[i], detail.c_str());
  return rc;
}
