// render-pipeline: the fax image pipeline from the command line, for
// scripts and timings. Prints the documents named on the command line (and
// a cover page with --cover FILE) through the fax printer, makes "Fax.tif"
// and "FaxPreview.tif", and prints where they are. The spool folder is left
// as it is, so the images can be looked at.
//
//   render-pipeline [--preview] [--cover FILE] DOCUMENT...
#include <cstdio>
#include <string>

#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "render/Pipeline.h"

int main(int argc, char** argv) {
  using namespace brevant;
  FaxJobRecord& job = FaxJob();
  bool preview = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--preview") {
      preview = true;
    } else if (a == "--cover" && i + 1 < argc) {
      job.CoverPages.Append(argv[++i]);
      job.CoverIndex = std::int16_t(job.CoverPages.Count());
      job.UseCover = true;
    } else {
      job.g_arrFiles.Append(a);
    }
  }
  if (job.g_arrFiles.Empty() && !job.UseCover) {
    std::fprintf(stderr, "usage: render-pipeline [--preview] [--cover FILE] DOCUMENT...\n");
    return 2;
  }
  Config().ProgramType = 1;  // the TIFF image, as for the mail-fax paths
  printToPreview(0, preview);
  std::printf("Fax.tif: %s\nFaxPreview.tif: %s\n",
              job.FaxImageFile.empty() ? "(none)" : job.FaxImageFile.c_str(),
              job.PreviewFile.empty() ? "(none)" : job.PreviewFile.c_str());
  return job.FaxImageFile.empty() && !job.g_arrFiles.Empty() ? 1 : 0;
}
