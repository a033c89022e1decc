#include <algorithm>
#include <filesystem>
#include <future>

#include "tools/quorrender/FaxTiff.h"
#include "tools/quorrender/Quorrender.h"

namespace fs = std::filesystem;

namespace brevant::quor {

SpoolResult SpoolToTiff(const std::string& spoolFolder, const SpoolOptions& options) {
  SpoolResult result;
  const std::string faxPath = spoolFolder + "Fax.tif";
  const std::string previewPath = spoolFolder + "FaxPreview.tif";
  std::error_code ec;
  // Images of an earlier run must not pass for this run's.
  if (!options.previewOnly) fs::remove(faxPath, ec);
  fs::remove(previewPath, ec);

  std::vector<std::pair<long, std::string>> pages;
  for (fs::directory_iterator it(spoolFolder, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    long n = emf::PageFileNumber(name);
    if (n >= 0 && it->is_regular_file(ec)) pages.emplace_back(n, it->path().string());
  }
  if (ec) {
    result.error = "cannot read the spool folder " + spoolFolder + ": " + ec.message();
    return result;
  }
  if (pages.empty()) {
    result.error = "no page files in " + spoolFolder;
    return result;
  }
  std::sort(pages.begin(), pages.end());
  const int count = int(pages.size());

  TiffPageWriter fax, preview;
  if (!options.previewOnly && !fax.Open(faxPath, TiffPageWriter::Kind::FaxG4, count, &result.error)) return result;
  if (!preview.Open(previewPath,
                    options.fast ? TiffPageWriter::Kind::PreviewBilevel : TiffPageWriter::Kind::PreviewGrey,
                    count, &result.error))
    return result;

  // Pages are streamed: while one page is encoded into both images (the
  // two encoders side by side), the next one is read; never more than two
  // pages are in memory, whatever the page count.
  struct Loaded {
    emf::Page page;
    std::string error;
  };
  auto load = [&pages](std::size_t i) {
    Loaded l;
    const std::string& path = pages[i].second;
    if (!emf::ReadFile(path, &l.page, &l.error)) l.error = "cannot read page file " + path + ": " + l.error;
    return l;
  };
  std::future<Loaded> next = std::async(std::launch::async, load, 0);
  for (std::size_t i = 0; i < pages.size(); ++i) {
    Loaded cur = next.get();
    if (!cur.error.empty()) {
      result.error = cur.error;
      return result;  // the writers delete their temporary files
    }
    if (i + 1 < pages.size()) next = std::async(std::launch::async, load, i + 1);
    // Pages from the fax printer are already in fax form: no copy then.
    const bool faxForm = cur.page.width == kFaxWidth && cur.page.xdpi == kFaxXdpi && cur.page.ydpi == kFaxYdpi;
    const emf::Page faxPage = faxForm ? std::move(cur.page) : ToFaxPage(cur.page);
    std::string previewError;
    auto previewDone = std::async(std::launch::async, [&] { return preview.AddPage(faxPage, &previewError); });
    bool faxOk = options.previewOnly || fax.AddPage(faxPage, &result.error);
    bool previewOk = previewDone.get();
    if (!faxOk) return result;
    if (!previewOk) {
      result.error = previewError;
      return result;
    }
  }
  if (!preview.Commit(&result.error)) return result;
  if (!options.previewOnly && !fax.Commit(&result.error)) {
    fs::remove(previewPath, ec);
    return result;
  }
  if (!options.keep && !options.previewOnly)
    for (const auto& p : pages) fs::remove(p.second, ec);
  result.ok = true;
  result.pages = count;
  return result;
}

}  // namespace brevant::quor
