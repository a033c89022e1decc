#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <future>

#include "common/Folders.h"
#include "platform/fs/Files.h"
#include "tools/quorrender/Quorrender.h"

namespace fs = std::filesystem;

namespace brevant::quor {

namespace {

// Pages from the fax printer are already in fax form: no copy then.
emf::Page InFaxForm(emf::Page page) {
  const bool faxForm = page.width == kFaxWidth && page.xdpi == kFaxXdpi && page.ydpi == kFaxYdpi;
  return faxForm ? std::move(page) : ToFaxPage(page);
}

bool StatPage(const std::string& path, PageCache::Entry* e) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  e->dev = st.st_dev;
  e->ino = st.st_ino;
  e->size = std::uint64_t(st.st_size);
  e->mtimeNs = std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec;
  return true;
}

bool SameFile(const PageCache::Entry& a, const PageCache::Entry& b) {
  return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtimeNs == b.mtimeNs;
}

}  // namespace

PageCache::PageCache(const SpoolOptions& options) : options_(options) {
  // The encoded pages are the user's document: in the user's own
  // temporary folder.
  std::string temp = mCommon::GetTempDir();
  std::string pattern = temp + "quorrender-XXXXXX";
  if (!temp.empty() && ::mkdtemp(pattern.data())) dir_ = pattern + "/";
}

PageCache::~PageCache() {
  std::error_code ec;
  if (!dir_.empty()) fs::remove_all(dir_, ec);
}

bool PageCache::Add(const std::string& pageFile) {
  if (dir_.empty()) return false;
  Entry e;
  if (!StatPage(pageFile, &e)) return false;
  if (const Entry* known = Find(pageFile); known) return true;
  emf::Page page;
  std::string error;
  if (!emf::ReadFile(pageFile, &page, &error)) return false;
  // The file may have changed while it was read: then it is not this entry.
  Entry after;
  if (!StatPage(pageFile, &after) || !SameFile(e, after)) return false;
  const emf::Page faxPage = InFaxForm(std::move(page));
  e.shape = {faxPage.width, faxPage.height, faxPage.xdpi, faxPage.ydpi};
  const std::string base = dir_ + std::to_string(++made_);
  auto encode = [&](const std::string& path, TiffPageWriter::Kind kind) {
    TiffPageWriter w;
    return w.Open(path, kind, 1, &error, false) && w.AddPage(faxPage, &error) && w.Commit(&error);
  };
  if (!options_.previewOnly) {
    e.fax = base + ".fax.tif";
    if (!encode(e.fax, TiffPageWriter::Kind::FaxG4)) return false;
  }
  e.preview = base + ".preview.tif";
  if (!encode(e.preview,
              options_.fast ? TiffPageWriter::Kind::PreviewBilevel : TiffPageWriter::Kind::PreviewGrey))
    return false;
  entries_[{e.dev, e.ino}] = std::move(e);
  return true;
}

const PageCache::Entry* PageCache::Find(const std::string& pageFile) const {
  Entry now;
  if (!StatPage(pageFile, &now)) return nullptr;
  auto it = entries_.find({now.dev, now.ino});
  return it != entries_.end() && SameFile(it->second, now) ? &it->second : nullptr;
}

bool FollowSpool(const std::string& spoolFolder, PageCache& cache, int inputFd) {
  // A SIGTERM (the pipeline giving up) is read as an event, so the cache
  // folder is still removed.
  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, nullptr);
  const platform::UniqueFd sigOwner(::signalfd(-1, &term, SFD_CLOEXEC));
  const int sig = sigOwner.get();
  // Whether printing is over (standard input at its end) or the run is
  // being ended (SIGTERM), waiting up to waitMs for either.
  enum class Input { Open, Ended, Term };
  auto look = [&](int waitMs) {
    pollfd fds[2] = {{inputFd, POLLIN, 0}, {sig, POLLIN, 0}};
    if (::poll(fds, sig >= 0 ? 2 : 1, waitMs) < 0) return errno == EINTR ? Input::Open : Input::Ended;
    if (sig >= 0 && fds[1].revents) return Input::Term;
    if (fds[0].revents) {
      char b[256];
      const ssize_t n = ::read(inputFd, b, sizeof b);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) return Input::Ended;
    }
    return Input::Open;
  };
  // The folder is looked at every few milliseconds: a page appears there
  // whole, renamed into place. (An inotify watch would say so sooner, but
  // closing one costs several milliseconds at the end of every run.) The
  // end of printing is looked for after every page: the pages not encoded
  // by then are left to the final pass, which encodes the fax and the
  // preview side by side.
  Input input = Input::Open;
  while (input == Input::Open) {
    std::error_code ec;
    for (fs::directory_iterator it(spoolFolder, ec), end; !ec && it != end && input == Input::Open;
         it.increment(ec))
      if (emf::PageFileNumber(it->path().filename().string()) >= 0 && cache.Add(it->path().string()))
        input = look(0);
    if (input == Input::Open) input = look(5);
  }
  const bool go = input != Input::Term;
  if (go) pthread_sigmask(SIG_UNBLOCK, &term, nullptr);
  return go;
}

SpoolResult SpoolToTiff(const std::string& spoolFolder, const SpoolOptions& options, const PageCache* cache) {
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
  if (!options.previewOnly && !fax.Open(faxPath, TiffPageWriter::Kind::FaxG4, count, &result.error))
    return result;
  if (!preview.Open(previewPath,
                    options.fast ? TiffPageWriter::Kind::PreviewBilevel : TiffPageWriter::Kind::PreviewGrey,
                    count, &result.error))
    return result;

  // Pages are streamed: while one page is encoded into both images (the
  // two encoders side by side), the next one is read; never more than two
  // pages are in memory, whatever the page count.
  // Pages encoded ahead are copied as they were encoded, not read again.
  std::vector<const PageCache::Entry*> ready(pages.size(), nullptr);
  if (cache)
    for (std::size_t i = 0; i < pages.size(); ++i) ready[i] = cache->Find(pages[i].second);
  struct Loaded {
    emf::Page page;
    std::string error;
  };
  auto load = [&pages, &ready](std::size_t i) {
    Loaded l;
    const std::string& path = pages[i].second;
    if (!ready[i] && !emf::ReadFile(path, &l.page, &l.error))
      l.error = "cannot read page file " + path + ": " + l.error;
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
    if (const PageCache::Entry* e = ready[i]) {
      if (!preview.AddEncodedPage(e->preview, e->shape, &result.error)) return result;
      if (!options.previewOnly && !fax.AddEncodedPage(e->fax, e->shape, &result.error)) return result;
      continue;
    }
    const emf::Page faxPage = InFaxForm(std::move(cur.page));
    std::string previewError;
    auto previewDone =
        std::async(std::launch::async, [&] { return preview.AddPage(faxPage, &previewError); });
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
