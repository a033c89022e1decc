#pragma once
// Import of the fax service's faxes into the mail store: every file of the
// sent-fax archive becomes a fax item in Sent Items, every file of the
// received-fax store one in the Inbox, all of them or those of the last
// day. Faxes already filed (same "FaxID") are walked and counted but not
// filed again, so an import can be repeated or restarted after it was cut
// off at any point.
#include <functional>
#include <string>

#include "common/FaxJob.h"  // DateTime

namespace brevant {

// What the import reports to and asks of its window: the progress bar and
// the Cancel button.
class ImportProgress {
 public:
  virtual ~ImportProgress() = default;
  // One more fax walked (selected or not).
  virtual void Step() = 0;
  // True once the user asked to stop; the walk ends before the next fax.
  virtual bool Cancelled() { return false; }
};

// The number of faxes in the archive and the store; newest becomes the
// latest last-modified time among them (now when the archive is empty and
// newest was zero).
long CountFaxes(DateTime& newest);

// The archive, then the store. A zero reference time means now.
void ImportFaxes(bool lastDay, ImportProgress* progress, DateTime reference);

enum class FaxFolderKind { SentArchive, ReceivedStore };
// One folder: each selected file to its writer. Returns false when the walk
// was cancelled.
bool ImportFolder(FaxFolderKind kind, bool lastDay, ImportProgress* progress, DateTime reference);

// Calendar-day boundaries from one time to another (local time): 0 for the
// same day, 1 for yesterday to today, negative when from is later.
long DayBoundaries(DateTime from, DateTime to);

// From this many faxes on, the user chooses between all and the last day.
inline constexpr long kImportChoiceThreshold = 20;

// The "import" operation: counts the faxes, says so when there are none,
// imports fewer than 20 at once, and otherwise shows the import dialog
// (through the hook its window library installs; without one, the dialog's
// preselected choice, the last day, is imported).
// Without the dialog the import's progress also goes to the UI seam as
// lines ("Importing faxes: 120 of 1000"), at most one per 5% of the faxes
// or per second, which unattended runs write to stderr.
// Every ending ends the run with endRun (exitApp(0)): at once, or when the
// modeless dialog closes.
void RunFaxImport(const std::function<void()>& endRun);

// The import dialog: given the number of faxes and the newest fax time, it
// shows "Import Faxes" modeless and returns at once; closed (by Import,
// Cancel or its close box) it calls closed.
using ImportDialogFn = std::function<void(long count, DateTime newest, const std::function<void()>& closed)>;
// The progress window for imports without the dialog: runs the import with
// a progress bar of count steps.
using ImportProgressFn = std::function<void(long count, const std::function<void(ImportProgress*)>& run)>;
void SetImportWindows(ImportDialogFn dialog, ImportProgressFn progress);

inline constexpr const char* kNoFaxesText = "You do not have faxes to import.";
inline constexpr const char* kImportDoneText = "Import from Fax Console has been successful.";

}  // namespace brevant
