// brevant-printagent: opens the Send Fax wizard for documents printed to the
// fax printer from other applications (see PrintAgent.h).
//
//   brevant-printagent [--once] [--brevant PATH] [--spool FOLDER]
//
// Started with the desktop session; --once hands over the jobs waiting now
// and ends.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/Folders.h"
#include "tools/brevant-printagent/PrintAgent.h"

int main(int argc, char** argv) {
  std::setvbuf(stderr, nullptr, _IOLBF, 0);
  brevant::printagent::Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--once") {
      o.once = true;
    } else if ((a == "--brevant" || a == "--spool") && i + 1 < argc) {
      (a == "--brevant" ? o.brevant : o.spoolFolder) = argv[++i];
    } else {
      std::fprintf(stderr, "usage: brevant-printagent [--once] [--brevant PATH] [--spool FOLDER]\n");
      return a == "--help" || a == "-h" ? 0 : 2;
    }
  }
  if (o.brevant.empty()) o.brevant = brevant::GetExecutableFolder() + "/brevant";
  // The same spool folder Brevant itself uses, so the pages are where
  // "new" mode 1 collects them.
  if (o.spoolFolder.empty()) o.spoolFolder = brevant::GetSpoolFolder();
  if (o.spoolFolder.back() != '/') o.spoolFolder += '/';
  return brevant::printagent::Run(o);
}
