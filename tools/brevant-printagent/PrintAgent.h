#pragma once
// The print agent: opens the Send Fax wizard for documents printed to the fax
// printer from other applications.
//
// The fax printer's backend runs under the print scheduler and cannot open
// windows. When a job arrives while no Brevant run holds "FaxPrinter", it
// writes the pages into a job folder under the user's spool folder
// ("Printed/<job id>/"). The agent runs in the user's desktop session,
// watches that folder, and hands each job to Brevant, oldest first: it moves
// the pages into the spool folder and runs brevant "new;1;", which collects
// them and opens the wizard. It waits for that run to end before the next
// job, and never starts Brevant while another Brevant of the user runs (that
// one would clear the spool folder), so no printed page is lost.
//
// Being the user's process in the desktop session, it is also where the fax
// service's failures reach the user's desktop (FaxNotices.h).
#include <string>
#include <vector>

namespace brevant::printagent {

struct Options {
  std::string spoolFolder;  // the user's spool folder, ending with "/"
  std::string brevant;      // the program run with "new;1;"
  bool once = false;        // hand over what waits now, then return
  int pollMs = 2000;        // rescan period besides change notifications
  int busyPollMs = 500;     // how often to look whether Brevant still runs
  int maxAttempts = 3;      // hand-overs of one job before it is set aside
  int noticePollMs = 5000;  // how often to ask the fax service for news (0: never)
};

// Finished job folders in the hand-off folder (not "*.part", not
// "*.failed"), oldest first (by modification time, then name); full paths
// ending with "/".
std::vector<std::string> WaitingJobs(const std::string& handoffFolder);

// The page files ("NNNNNNNN.emf") of a folder, in name order; full paths.
std::vector<std::string> PageFiles(const std::string& folder);

enum class HandOverResult {
  Taken,     // Brevant collected the pages; the job folder is gone
  NotTaken,  // Brevant left the pages (another run was in the way); the job waits again
  Failed,    // the pages could not be moved or Brevant did not start; the job waits again
};

// Hands one job to Brevant and waits for that run to end.
HandOverResult HandOver(const std::string& jobFolder, const Options& options, std::string* message);

// The agent: hands over every waiting job and, unless options.once, keeps
// watching for new ones, and tells the desktop of the user's faxes that
// failed (FaxNotices.h). Returns the process exit code.
int Run(const Options& options);

}  // namespace brevant::printagent
