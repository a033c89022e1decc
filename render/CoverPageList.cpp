#include "render/CoverPageList.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <thread>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/CoverFolders.h"
#include "common/Errors.h"
#include "common/Folders.h"
#include "common/Logging.h"
#include "common/OsCheck.h"
#include "render/FaxQueue.h"
#include "render/Pipeline.h"
#include "render/PrintRoutes.h"

namespace fs = std::filesystem;

namespace brevant::render {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool Contains(const std::string& name, const char* part) {
  return Lower(name).find(part) != std::string::npos;
}

// The files of a folder in name order. A folder that is not there is the
// path-not-found error, which ends the scan without a record.
std::vector<fs::path> FilesOf(const std::string& folder) {
  std::error_code ec;
  if (folder.empty() || !fs::is_directory(folder, ec))
    throw VbError(kErrPathNotFound, "Path not found: " + folder);
  std::vector<fs::path> files;
  for (const fs::directory_entry& e : fs::directory_iterator(folder))
    if (e.is_regular_file()) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  return files;
}

std::string DisplayName(const fs::path& p) {
  std::string name = p.filename().string();
  return name.substr(0, name.find('.'));
}

}  // namespace

std::vector<CoverPageEntry> ListCoverPages(const std::string& errorSource) {
  std::vector<CoverPageEntry> list;
  try {
    for (const fs::path& p : FilesOf(mCommon::CommonCoverFolder()))
      if (Contains(p.filename().string(), ".cov")) list.push_back({DisplayName(p), p.string()});
    for (const fs::path& p : FilesOf(mCommon::PersonalCoverFolder()))
      if (Contains(p.filename().string(), ".cov"))
        list.push_back({DisplayName(p) + "(Personal)", p.string()});
    if (Config().ProgramType != 0) {
      const std::vector<fs::path> files = FilesOf(Config().CoverFolder);
      // A twin is found in any letter case ("Memo.EMF" beside "Memo.cov").
      auto hasTwin = [&](const fs::path& cov) {
        const std::string twin =
            Lower(fs::path(mCreatePreview::CoverEmfPath(cov.string())).filename().string());
        return std::any_of(files.begin(), files.end(),
                           [&](const fs::path& f) { return Lower(f.filename().string()) == twin; });
      };
      for (const fs::path& p : files) {
        const std::string name = p.filename().string();
        if (Contains(name, ".emf")) {
          list.push_back({DisplayName(p) + "(Personal)", p.string()});
        } else if (Contains(name, ".cov") && !hasTwin(p)) {
          mCreatePreview::ConvertCoverPageToEMF(p.string());
          const std::string twin = mCreatePreview::CoverEmfPath(p.string());
          std::error_code ec;
          if (fs::exists(twin, ec)) list.push_back({DisplayName(p) + "(Personal)", twin});
        }
      }
    }
  } catch (...) {
    ErrInfo e = CurrentError();
    if (e.number != kErrPathNotFound) WriteErrorLog(e.number, e.description, errorSource);
  }
  return list;
}

}  // namespace brevant::render

namespace brevant::mCreatePreview {

std::string CoverEmfPath(const std::string& coverPath) {
  std::string lower = coverPath;
  for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
  auto pos = lower.rfind(".cov");
  if (pos != std::string::npos) return coverPath.substr(0, pos) + ".emf" + coverPath.substr(pos + 4);
  return coverPath + ".emf";
}

bool ConvertCoverPageToEMF(const std::string& coverPath) {
  const char* source = "mCreatePreview.ConvertCoverPageToEMF";
  try {
    const std::string spool = GetSpoolFolder();
    ClearSpoolFiles(spool);
    render::PrintOnFaxPrinter(source, [&] {
      if (render::IsImageFile(coverPath))
        render::PrintPictureFitted(render::FaxPrinterName(), coverPath);
      else
        render::ShellPrint(coverPath, "");
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string page = spool + "00000001.emf";
    std::error_code ec;
    if (!fs::exists(page, ec)) {
      WriteErrorLog(567, "File not found:" + page, source);
      return true;
    }
    const std::string target = CoverEmfPath(coverPath);
    fs::rename(page, target, ec);
    if (ec) {
      // Another file system: copied, then the page file goes.
      fs::copy_file(page, target, fs::copy_options::overwrite_existing);
      fs::remove(page, ec);
    }
  } catch (...) {
    ErrInfo e = CurrentError();
    WriteErrorLog(e.number, e.description, source);
  }
  return true;
}

}  // namespace brevant::mCreatePreview
