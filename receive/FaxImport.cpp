#include "receive/FaxImport.h"

#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <ctime>
#include <filesystem>

#include "common/Errors.h"
#include "common/Logging.h"
#include "delivery/FaxTransport.h"
#include "delivery/OutlookFax.h"
#include "platform/mail/MailStore.h"
#include "platform/ui/Ui.h"

namespace fs = std::filesystem;

namespace brevant {

namespace {

struct Windows {
  ImportDialogFn dialog;
  ImportProgressFn progress;
};
Windows& W() {
  static Windows w;
  return w;
}

std::string FolderOf(FaxFolderKind kind) {
  return kind == FaxFolderKind::SentArchive ? FaxArchiveFolder() : FaxStoreFolder();
}

DateTime ModifiedTime(const fs::directory_entry& e) {
  struct stat st {};
  if (::stat(e.path().c_str(), &st) != 0) return {};
  return std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec) +
         std::chrono::duration_cast<std::chrono::system_clock::duration>(
             std::chrono::nanoseconds(st.st_mtim.tv_nsec));
}

// The files of a fax folder, in the order the file system lists them. A
// folder that is not set or cannot be read has none.
std::vector<fs::directory_entry> FaxFiles(const std::string& folder) {
  std::vector<fs::directory_entry> out;
  if (folder.empty()) return out;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->is_regular_file(ec)) out.push_back(*it);
  return out;
}

long DayNumber(DateTime t) {
  std::time_t tt = std::chrono::system_clock::to_time_t(t);
  std::tm tm{};
  localtime_r(&tt, &tm);
  // Days since a fixed origin counted on the local calendar.
  tm.tm_hour = 12;
  tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return static_cast<long>(std::floor(static_cast<double>(timegm(&tm)) / 86400.0));
}

// The import's progress as lines for a reader of stderr, through the UI
// seam (unattended runs write them, windows leave them to their bars):
// "Importing faxes: N of M" once another 5% of the faxes is walked or a
// second has passed since the last line, and always for the last fax. Each
// step goes on to the window's progress, which also answers Cancelled.
class ProgressLines : public ImportProgress {
 public:
  ProgressLines(ImportProgress* window, long total) : window_(window), total_(total) {}
  void Step() override {
    if (window_) window_->Step();
    ++done_;
    const auto now = std::chrono::steady_clock::now();
    const long part = total_ > 0 ? done_ * 20 / total_ : 0;
    if (done_ == total_ || part > lastPart_ || now - lastLine_ >= std::chrono::seconds(1)) {
      ui::ShowProgress("Importing faxes: " + std::to_string(done_) + " of " + std::to_string(total_), done_,
                       total_, 0);
      lastPart_ = part;
      lastLine_ = now;
    }
  }
  bool Cancelled() override { return window_ && window_->Cancelled(); }

 private:
  ImportProgress* window_;
  long total_;
  long done_ = 0;
  long lastPart_ = 0;
  std::chrono::steady_clock::time_point lastLine_ = std::chrono::steady_clock::now();
};

}  // namespace

long DayBoundaries(DateTime from, DateTime to) {
  return DayNumber(to) - DayNumber(from);
}

long CountFaxes(DateTime& newest) {
  long count = 0;
  for (const auto& e : FaxFiles(FaxArchiveFolder())) {
    ++count;
    if (DateTime t = ModifiedTime(e); t > newest) newest = t;
  }
  if (newest == DateTime{}) newest = std::chrono::system_clock::now();
  for (const auto& e : FaxFiles(FaxStoreFolder())) {
    ++count;
    if (DateTime t = ModifiedTime(e); t > newest) newest = t;
  }
  return count;
}

bool ImportFolder(FaxFolderKind kind, bool lastDay, ImportProgress* progress, DateTime reference) {
  try {
    if (reference == DateTime{}) reference = std::chrono::system_clock::now();
    // Items are filed in batches: one index update and one flush to disk
    // per hundred faxes instead of one per fax.
    mail::SaveBatch batch;
    long filed = 0;
    for (const auto& e : FaxFiles(FolderOf(kind))) {
      if (++filed % 100 == 0) batch.Flush();
      if (progress && progress->Cancelled()) return false;
      ui::DoEvents();
      if (!lastDay || DayBoundaries(ModifiedTime(e), reference) <= 1) {
        if (kind == FaxFolderKind::SentArchive)
          GenerateOutlookSentFax(e.path().string());
        else
          GenerateOutlookInboxFax(e.path().string());
      }
      ui::DoEvents();
      if (progress) progress->Step();
    }
  } catch (...) {
    // Any failure ends this folder's walk without a message.
  }
  return !(progress && progress->Cancelled());
}

void ImportFaxes(bool lastDay, ImportProgress* progress, DateTime reference) {
  if (!ImportFolder(FaxFolderKind::SentArchive, lastDay, progress, reference)) return;
  ImportFolder(FaxFolderKind::ReceivedStore, lastDay, progress, reference);
}

void SetImportWindows(ImportDialogFn dialog, ImportProgressFn progress) {
  W().dialog = std::move(dialog);
  W().progress = std::move(progress);
}

void RunFaxImport(const std::function<void()>& endRun) {
  auto end = [&] {
    if (endRun) endRun();
  };
  try {
    DateTime newest{};
    long count = CountFaxes(newest);
    if (count == 0) {
      ui::MsgBox(kNoFaxesText, "Pelorin");
      end();
      return;
    }
    if (count < kImportChoiceThreshold) {
      auto run = [count](ImportProgress* p) {
        ProgressLines lines(p, count);
        ImportFaxes(false, &lines, DateTime{});
      };
      if (W().progress)
        W().progress(count, run);
      else
        run(nullptr);
      ui::MsgBox(kImportDoneText, "Pelorin");
      end();
      return;
    }
    if (W().dialog) {
      // Modeless: the dialog ends the run when it closes, however it closes.
      W().dialog(count, newest, endRun);
      return;
    }
    // No window library: the dialog's preselected choice.
    ProgressLines lines(nullptr, count);
    ImportFaxes(true, &lines, newest);
    ui::MsgBox(kImportDoneText, "Pelorin");
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, "Init.FaxImport");
  }
  end();
}

}  // namespace brevant
