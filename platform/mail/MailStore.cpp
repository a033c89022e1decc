// The Maildir store: folders, items, entry IDs, the per-folder summary index
// that makes Restrict fast, and atomic filing.
#include "platform/mail/MailStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <unordered_map>

#include "platform/env/Environment.h"
#include "platform/fs/Files.h"
#include "platform/fs/SafeFiles.h"
#include "platform/mail/Filter.h"
#include "platform/mail/MailError.h"
#include "platform/mail/Mime_p.h"
#include "platform/text/Escapes.h"

namespace brevant::mail {

namespace {

constexpr const char* kIndexFile = "brevant-index";
constexpr const char* kFieldsFile = "brevant-fields";
constexpr const char* kLockFile = "brevant-lock";

struct NamedFolder {
  int number;
  const char* name;
};
constexpr NamedFolder kDefaultFolders[] = {
    {olFolderDeletedItems, "Deleted Items"},
    {olFolderOutbox, "Outbox"},
    {olFolderSentMail, "Sent Items"},
    {olFolderInbox, "Inbox"},
    {olFolderCalendar, "Calendar"},
    {olFolderContacts, "Contacts"},
    {olFolderJournal, "Journal"},
    {olFolderNotes, "Notes"},
    {olFolderTasks, "Tasks"},
    {olFolderDrafts, "Drafts"},
    {olFolderJunk, "Junk E-mail"},
};

std::string Hex(const std::string& s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
  }
  return out;
}

bool Unhex(const std::string& s, std::string* out) {
  if (s.size() % 2) return false;
  out->clear();
  for (std::size_t i = 0; i < s.size(); i += 2) {
    auto v = [](char c) {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      return -1;
    };
    int a = v(s[i]), b = v(s[i + 1]);
    if (a < 0 || b < 0) return false;
    *out += static_cast<char>(a * 16 + b);
  }
  return true;
}

bool IEquals(const std::string& a, const std::string& b) {
  return a.size() == b.size() && strncasecmp(a.c_str(), b.c_str(), a.size()) == 0;
}

void MakeDir(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    throw MailError(76, "Cannot create the mail folder " + dir + ": " + std::strerror(errno));
}

void EnsureMaildir(const std::string& dir) {
  MakeDir(dir);
  MakeDir(dir + "/cur");
  MakeDir(dir + "/new");
  MakeDir(dir + "/tmp");
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw MailError(53, "File not found: " + path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Which version of a file an index line describes: a re-saved item is a new
// file (a new inode), and its size and time tell the rest.
std::string FileStamp(const struct stat& st) {
  return std::to_string(st.st_ino) + "." + std::to_string(st.st_size) + "." +
         std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

// Writes a file under dir/tmp and renames it to target: readers see the
// whole file or none. Returns the stamp of the file written. Without sync
// the caller flushes the file system itself later (a batch does, once).
std::string WriteAtomic(const std::string& tmpDir, const std::string& target, const std::string& data,
                        bool sync = true) {
  platform::AtomicFile file;
  std::string why;
  if (!file.Begin(target, platform::AtomicOptions(0600).Sync(sync).TempFolder(tmpDir), &why) ||
      !file.Write(data, &why))
    throw MailError(75, why);
  struct stat st {};
  ::fstat(file.fd(), &st);  // a rename keeps the inode, size and time
  if (!file.Commit(&why)) throw MailError(75, why);
  return FileStamp(st);
}

std::string NewUniqueName() {
  static std::atomic<unsigned> counter{0};
  static const std::string host = [] {
    char h[256] = {};
    ::gethostname(h, sizeof h - 1);
    std::string s;
    for (char c : std::string(h)) s += (c == '/' || c == ':') ? '_' : c;
    return s.empty() ? std::string("localhost") : s;
  }();
  static thread_local std::mt19937 rng(std::random_device{}());
  timeval tv{};
  ::gettimeofday(&tv, nullptr);
  return std::to_string(tv.tv_sec) + ".M" + std::to_string(tv.tv_usec) + "P" + std::to_string(::getpid()) +
         "Q" + std::to_string(counter++) + "R" + std::to_string(rng() % 1000000) + "." + host;
}

// "NAME:2,FLAGS" -> "NAME"
std::string UniqueOf(const std::string& fileName) {
  auto c = fileName.find(':');
  return c == std::string::npos ? fileName : fileName.substr(0, c);
}

std::string FlagsOf(const std::string& fileName) {
  auto c = fileName.find(":2,");
  return c == std::string::npos ? "" : fileName.substr(c + 3);
}

// An exclusive lock on a folder's summary files for as long as it lives.
// A holder that keeps it beyond the time-out is not waited for: the index
// is only a summary, and a reader checks every line against its file.
class FolderLock {
 public:
  explicit FolderLock(const std::string& dir)
      : fd_(::open((dir + "/" + kLockFile).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600)) {
    if (fd_) platform::LockFile(fd_.get(), LOCK_EX, 5000);
  }
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;

 private:
  platform::UniqueFd fd_;
};

// --- The summary index -------------------------------------------------------
// One line per item file: "cur/NAME", a TAB and "#" + the file's stamp, then
// TAB-separated "field=value" pairs of the fields Restrict looks at. Values
// escape %, TAB, CR, LF. A line whose stamp is not that of the file on disk
// (the file was replaced after the line was written, or a writer's line was
// lost to another's rewrite of the index) is stale: the file is read again.

using Summary = std::vector<std::pair<std::string, std::string>>;

std::string EscapeIdx(const std::string& s) {
  return platform::HexEscape(s, "%\t\n\r=");
}
std::string UnescapeIdx(const std::string& s) {
  return platform::HexUnescape(s);
}

Summary Summarize(const MailItem& item) {
  Summary s;
  s.emplace_back("MessageClass", item.MessageClass);
  s.emplace_back("Subject", item.Subject);
  s.emplace_back("To", item.To);
  s.emplace_back("Importance", std::to_string(item.Importance));
  for (const auto& p : item.UserProperties) s.emplace_back("U:" + p.name, p.value);
  return s;
}

std::string IndexLine(const std::string& rel, const std::string& stamp, const Summary& s) {
  std::string line = rel + "\t#" + stamp;
  for (const auto& [k, v] : s) line += "\t" + EscapeIdx(k) + "=" + EscapeIdx(v);
  return line + "\n";
}

// Lines added at the end of a folder's index. A failure is let be: the
// index is rebuilt from the files when needed.
void AppendToIndex(const std::string& dir, const std::string& lines) {
  platform::UniqueFd fd(
      ::open((dir + "/" + kIndexFile).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
  if (fd) platform::WriteAll(fd.get(), lines);
}

void AppendIndex(const std::string& dir, const std::string& rel, const std::string& stamp, const Summary& s) {
  AppendToIndex(dir, IndexLine(rel, stamp, s));
}

std::vector<std::string> ListItemFiles(const std::string& dir) {
  std::vector<std::string> files;
  for (const char* sub : {"cur", "new"}) {
    DIR* d = ::opendir((dir + "/" + sub).c_str());
    if (!d) continue;
    while (dirent* e = ::readdir(d)) {
      if (e->d_name[0] == '.') continue;
      files.push_back(std::string(sub) + "/" + e->d_name);
    }
    ::closedir(d);
  }
  return files;
}

MailItem ReadItemFile(const std::string& dir, const std::string& rel, const std::string& folderId) {
  MailItem item = FromMime(ReadWhole(dir + "/" + rel));
  return item;
}

struct IndexEntry {
  std::string rel;
  std::string stamp;
  Summary summary;
  bool readable = true;
};

struct IndexLineData {
  std::string stamp;
  Summary summary;
};

// The folder's summaries, brought up to date with the files on disk: lines
// of vanished files are dropped, new files and files whose line is stale are
// read once and summarised again. The index file is rewritten when it
// changed.
std::vector<IndexEntry> ReadIndex(const std::string& dir) {
  std::unordered_map<std::string, IndexLineData> known;
  bool dirty = false;
  {
    std::ifstream in(dir + "/" + kIndexFile, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty()) continue;
      std::size_t tab = line.find('\t');
      std::string rel = line.substr(0, tab);
      IndexLineData d;
      while (tab != std::string::npos) {
        std::size_t next = line.find('\t', tab + 1);
        std::string kv = line.substr(tab + 1, next == std::string::npos ? std::string::npos : next - tab - 1);
        auto eq = kv.find('=');
        if (!kv.empty() && kv[0] == '#')
          d.stamp = kv.substr(1);
        else if (eq != std::string::npos)
          d.summary.emplace_back(UnescapeIdx(kv.substr(0, eq)), UnescapeIdx(kv.substr(eq + 1)));
        tab = next;
      }
      if (known.count(rel)) dirty = true;  // a later line for the same file wins
      known[rel] = std::move(d);
    }
  }
  std::vector<std::string> files = ListItemFiles(dir);
  // The same item under two names (a re-save interrupted between the rename
  // and the removal of the old name): keep one.
  std::unordered_map<std::string, std::size_t> byUnique;
  std::vector<IndexEntry> out;
  std::vector<std::int64_t> mtimes;
  out.reserve(files.size());
  for (const auto& rel : files) {
    struct stat st {};
    if (::stat((dir + "/" + rel).c_str(), &st) != 0) continue;  // gone since the listing
    std::string unique = UniqueOf(rel.substr(4));
    IndexEntry e;
    e.rel = rel;
    e.stamp = FileStamp(st);
    auto it = known.find(rel);
    if (it != known.end() && it->second.stamp == e.stamp) {
      e.summary = std::move(it->second.summary);
    } else {
      dirty = true;
      try {
        e.summary = Summarize(ReadItemFile(dir, rel, ""));
      } catch (...) {
        e.readable = false;  // a file that is not a message: never matches
        e.summary = {{"MessageClass", ""}};
      }
    }
    if (it != known.end()) known.erase(it);
    auto [pos, fresh] = byUnique.emplace(unique, out.size());
    if (!fresh) {
      if (st.st_mtime >= mtimes[pos->second])
        out[pos->second] = std::move(e), mtimes[pos->second] = st.st_mtime;
      continue;
    }
    out.push_back(std::move(e));
    mtimes.push_back(st.st_mtime);
  }
  if (!known.empty()) dirty = true;
  if (dirty) {
    std::string text;
    for (const auto& e : out) text += IndexLine(e.rel, e.stamp, e.summary);
    try {
      FolderLock lock(dir);
      WriteAtomic(dir + "/tmp", dir + "/" + kIndexFile, text);
    } catch (...) {
      // A read-only store still answers from what was read.
    }
  }
  return out;
}

// What a folder looked like when its summaries were last read: the change
// times of cur/, new/ and the index file. Any file added, removed or
// renamed by any process changes one of them.
struct FolderStamp {
  timespec cur{}, fresh{}, index{};
  off_t indexSize = -1;
  bool operator==(const FolderStamp& o) const {
    auto eq = [](const timespec& a, const timespec& b) {
      return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
    };
    return eq(cur, o.cur) && eq(fresh, o.fresh) && eq(index, o.index) && indexSize == o.indexSize;
  }
};

FolderStamp StampOf(const std::string& dir) {
  FolderStamp s;
  struct stat st {};
  if (::stat((dir + "/cur").c_str(), &st) == 0) s.cur = st.st_mtim;
  if (::stat((dir + "/new").c_str(), &st) == 0) s.fresh = st.st_mtim;
  if (::stat((dir + "/" + kIndexFile).c_str(), &st) == 0) {
    s.index = st.st_mtim;
    s.indexSize = st.st_size;
  }
  return s;
}

// The open batches of this process and the index lines they hold back,
// by folder.
struct BatchState {
  int open = 0;
  std::map<std::string, std::vector<IndexEntry>> pending;
};
BatchState& Batch() {
  static BatchState b;
  return b;
}

using Summaries = std::shared_ptr<const std::vector<IndexEntry>>;

std::mutex& CacheMutex() {
  static std::mutex m;
  return m;
}
std::unordered_map<std::string, std::pair<FolderStamp, std::shared_ptr<std::vector<IndexEntry>>>>& Cache() {
  static std::unordered_map<std::string, std::pair<FolderStamp, std::shared_ptr<std::vector<IndexEntry>>>> c;
  return c;
}

void ForgetSummaries(const std::string& dir) {
  std::lock_guard<std::mutex> lock(CacheMutex());
  Cache().erase(dir);
}

// A stamp younger than this may share its time tick with a change still to
// come, so it is not trusted for caching.
bool SettledStamp(const FolderStamp& s) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  auto ms = [](const timespec& t) { return static_cast<long long>(t.tv_sec) * 1000 + t.tv_nsec / 1000000; };
  long long newest = std::max({ms(s.cur), ms(s.fresh), ms(s.index)});
  return ms(now) - newest > 50;
}

// The summaries of a folder, read again only when the folder changed since
// the last read in this process (repeated lookups, as an import makes one
// per fax, then cost three stat calls).
Summaries LoadIndex(const std::string& dir) {
  FolderStamp before = StampOf(dir);
  {
    std::lock_guard<std::mutex> lock(CacheMutex());
    auto it = Cache().find(dir);
    if (it != Cache().end() && it->second.first == before) return it->second.second;
  }
  auto fresh = std::make_shared<std::vector<IndexEntry>>(ReadIndex(dir));
  // The files were listed after `before` was taken; the index may have been
  // rewritten by this read. A later change to cur/ or new/ by anyone shows
  // as a different stamp.
  FolderStamp after = StampOf(dir);
  FolderStamp stamp = before;
  stamp.index = after.index;
  stamp.indexSize = after.indexSize;
  // Inside a batch this process's own saves keep the cache current, so a
  // folder changed a moment ago is cached all the same.
  if ((SettledStamp(stamp) || Batch().open > 0) && after.cur.tv_sec == before.cur.tv_sec &&
      after.cur.tv_nsec == before.cur.tv_nsec && after.fresh.tv_sec == before.fresh.tv_sec &&
      after.fresh.tv_nsec == before.fresh.tv_nsec) {
    std::lock_guard<std::mutex> lock(CacheMutex());
    Cache()[dir] = {stamp, fresh};
  }
  return fresh;
}

// A batched save of rel (replacing oldRel when the file was renamed) into
// a folder whose summaries were cached as of `before`: the cache takes the
// item in place of a re-read. Any other change to the folder meanwhile
// drops the cache, and the next read finds the new file on disk.
void CacheSaved(const std::string& dir, const FolderStamp& before, const std::string& rel,
                const std::string& oldRel, const std::string& stamp, const Summary& summary) {
  std::lock_guard<std::mutex> lock(CacheMutex());
  auto it = Cache().find(dir);
  if (it == Cache().end()) return;
  if (!(it->second.first == before)) {
    Cache().erase(it);
    return;
  }
  auto& entries = it->second.second;
  // Readers still looping over the old list keep it; the cache moves on.
  if (entries.use_count() > 1) entries = std::make_shared<std::vector<IndexEntry>>(*entries);
  bool placed = false;
  for (auto e = entries->begin(); e != entries->end();) {
    if (e->rel == rel || (!oldRel.empty() && e->rel == oldRel)) {
      if (!placed) {
        *e = IndexEntry{rel, stamp, summary, true};
        placed = true;
        ++e;
        continue;
      }
      e = entries->erase(e);
      continue;
    }
    ++e;
  }
  if (!placed) entries->push_back(IndexEntry{rel, stamp, summary, true});
  it->second.first = StampOf(dir);
}

const std::string* FindField(const Summary& s, const std::string& key) {
  for (const auto& kv : s)
    if (IEquals(kv.first, key)) return &kv.second;
  return nullptr;
}

std::string FolderDirFor(const std::string& root, const std::string& name) {
  if (IEquals(name, "Inbox")) return root;
  return root + "/." + name;
}

}  // namespace

// --- MailItem ----------------------------------------------------------------

Attachment& MailItem::AddAttachmentFile(const std::string& path, const std::string& displayName) {
  Attachment a;
  a.data = ReadWhole(path);
  auto slash = path.find_last_of('/');
  a.fileName = slash == std::string::npos ? path : path.substr(slash + 1);
  a.displayName = displayName.empty() ? a.fileName : displayName;
  a.mimeType = MimeTypeForName(a.fileName);
  Attachments.insert(Attachments.begin(), std::move(a));
  return Attachments.front();
}

UserProperty* MailItem::FindUserProperty(const std::string& name) {
  for (auto& p : UserProperties)
    if (IEquals(p.name, name)) return &p;
  return nullptr;
}

const UserProperty* MailItem::FindUserProperty(const std::string& name) const {
  for (const auto& p : UserProperties)
    if (IEquals(p.name, name)) return &p;
  return nullptr;
}

UserProperty& MailItem::AddUserProperty(const std::string& name, int type) {
  if (UserProperty* p = FindUserProperty(name)) {
    p->type = type;
    return *p;
  }
  UserProperties.push_back({name, type, ""});
  return UserProperties.back();
}

void MailItem::SetProp(std::uint32_t t, DateTime value) {
  Props[t] = FormatPropTime(value);
}

std::string MailItem::GetProp(std::uint32_t t) const {
  auto it = Props.find(t);
  return it == Props.end() ? std::string() : it->second;
}

// --- Items -------------------------------------------------------------------

MailItem Items::Item(std::size_t index) const {
  if (index < 1 || index > files_.size()) throw MailError(9, "Array index out of bounds");
  const std::string& rel = files_[index - 1];
  MailItem item = ReadItemFile(folderDir_, rel, folderId_);
  std::string name = rel.substr(4);
  std::string folderName;
  Unhex(folderId_, &folderName);
  item.unique_ = UniqueOf(name);
  item.path_ = folderDir_ + "/" + rel;
  item.folderId_ = folderId_;
  item.entryId_ = Hex(folderName.substr(2) + "\x1f" + item.unique_);
  item.UnRead = rel.compare(0, 4, "new/") == 0 || FlagsOf(name).find('S') == std::string::npos;
  return item;
}

// --- Folder ------------------------------------------------------------------

Items Folder::AllItems() const {
  Items items;
  items.folderDir_ = dir_;
  items.folderId_ = id_;
  Summaries summaries = LoadIndex(dir_);  // kept alive for the loop
  for (const auto& e : *summaries)
    if (e.readable) items.files_.push_back(e.rel);
  return items;
}

std::vector<UserProperty> Folder::UserFields() const {
  std::vector<UserProperty> out;
  std::ifstream in(dir_ + "/" + kFieldsFile);
  std::string line;
  while (std::getline(in, line)) {
    auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    out.push_back({line.substr(0, tab), std::atoi(line.substr(tab + 1).c_str()), ""});
  }
  return out;
}

void Folder::AddUserField(const std::string& name, int type) const {
  FolderLock lock(dir_);
  for (const auto& f : UserFields())
    if (IEquals(f.name, name)) return;
  std::ofstream out(dir_ + "/" + kFieldsFile, std::ios::app);
  out << name << '\t' << type << '\n';
  if (!out) throw MailError(75, "Cannot define the field " + name + " on " + name_);
}

Items Folder::Restrict(const std::string& text) const {
  Filter f = Filter::Parse(text);
  static const char* kBuiltIn[] = {"MessageClass", "Subject", "To", "Importance"};
  std::vector<UserProperty> fields = UserFields();
  // Each named field resolves once to its key in the summaries.
  std::vector<std::pair<std::string, std::string>> keys;
  for (const auto& name : f.Fields()) {
    std::string key;
    for (const char* b : kBuiltIn)
      if (IEquals(name, b)) key = b;
    if (key.empty())
      for (const auto& uf : fields)
        if (IEquals(uf.name, name)) key = "U:" + uf.name;
    if (key.empty()) throw MailError(13, "The property \"" + name + "\" is unknown in the folder " + name_);
    keys.emplace_back(name, key);
  }
  Items items;
  items.folderDir_ = dir_;
  items.folderId_ = id_;
  Summaries summaries = LoadIndex(dir_);  // kept alive for the loop
  for (const auto& e : *summaries) {
    if (!e.readable) continue;
    bool ok = f.Matches([&](const std::string& field) -> std::optional<std::string> {
      for (const auto& [n, k] : keys)
        if (n == field) {
          if (const std::string* v = FindField(e.summary, k)) return *v;
          return std::nullopt;
        }
      return std::nullopt;
    });
    if (ok) items.files_.push_back(e.rel);
  }
  return items;
}

void Folder::Save(MailItem& item) const {
  EnsureMaildir(dir_);
  bool here = !item.folderId_.empty() && item.folderId_ == id_ && !item.unique_.empty();
  if (!here) item.unique_ = NewUniqueName();
  if (item.CreationTime == DateTime{}) item.CreationTime = std::chrono::system_clock::now();
  std::string name = item.unique_ + ":2," + (item.UnRead ? "" : "S");
  std::string rel = "cur/" + name;
  std::string target = dir_ + "/" + rel;
  const bool batched = Batch().open > 0;
  // A batch keeps the folder's summaries in memory from its first save on.
  if (batched) LoadIndex(dir_);
  const FolderStamp before = batched ? StampOf(dir_) : FolderStamp{};
  const std::string stamp = WriteAtomic(dir_ + "/tmp", target, ToMime(item), !batched);
  std::string oldRel;
  if (here && !item.path_.empty() && item.path_ != target) {
    ::unlink(item.path_.c_str());
    if (item.path_.compare(0, dir_.size() + 1, dir_ + "/") == 0) oldRel = item.path_.substr(dir_.size() + 1);
  }
  for (const auto& p : item.UserProperties) AddUserField(p.name, p.type);
  Summary summary = Summarize(item);
  if (batched) {
    CacheSaved(dir_, before, rel, oldRel, stamp, summary);
    Batch().pending[dir_].push_back(IndexEntry{rel, stamp, std::move(summary), true});
  } else {
    ForgetSummaries(dir_);
    FolderLock lock(dir_);
    AppendIndex(dir_, rel, stamp, summary);
  }
  std::string folderName;
  Unhex(id_, &folderName);
  item.folderId_ = id_;
  item.path_ = target;
  item.entryId_ = Hex(folderName.substr(2) + "\x1f" + item.unique_);
}

void Folder::Move(MailItem& item) const {
  std::string old = item.path_;
  bool saved = !item.folderId_.empty();
  item.folderId_.clear();
  item.unique_.clear();
  Save(item);
  if (saved && !old.empty() && old != item.path_) ::unlink(old.c_str());
}

void Folder::Delete(MailItem& item) const {
  if (!item.path_.empty() && ::unlink(item.path_.c_str()) != 0 && errno != ENOENT)
    throw MailError(70, "Cannot delete " + item.path_ + ": " + std::strerror(errno));
  ForgetSummaries(dir_);
  item.path_.clear();
  item.entryId_.clear();
  item.folderId_.clear();
  item.unique_.clear();
}

// --- Store -------------------------------------------------------------------

std::string Store::DefaultRoot() {
  if (std::string d = platform::env::Get(platform::env::Var::MailDir); !d.empty()) return d;
  return platform::HomeFolder() + "/Maildir";
}

Store::Store(const std::string& root) : root_(root.empty() ? DefaultRoot() : root) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

Folder Store::GetFolder(const std::string& name) const {
  if (name.empty() || name.find('/') != std::string::npos || name[0] == '.')
    throw MailError(5, "Invalid folder name \"" + name + "\"");
  Folder f;
  f.name_ = name;
  f.dir_ = FolderDirFor(root_, name);
  f.id_ = Hex("F:" + name);
  std::error_code ec;
  std::filesystem::create_directories(root_, ec);  // failures show in the next step
  EnsureMaildir(root_);
  EnsureMaildir(f.dir_);
  return f;
}

Folder Store::GetDefaultFolder(int number) const {
  for (const auto& d : kDefaultFolders)
    if (d.number == number) return GetFolder(d.name);
  throw MailError(5, "The default folder " + std::to_string(number) + " does not exist");
}

Folder Store::FolderOfEntry(const std::string& entryId) const {
  std::string raw;
  if (!Unhex(entryId, &raw)) throw MailError(5, "Invalid entry ID");
  if (raw.compare(0, 2, "F:") == 0) return GetFolder(raw.substr(2));
  auto sep = raw.find('\x1f');
  if (sep == std::string::npos) throw MailError(5, "Invalid entry ID");
  return GetFolder(raw.substr(0, sep));
}

MailItem Store::GetItemFromID(const std::string& entryId) const {
  std::string raw;
  if (!Unhex(entryId, &raw)) throw MailError(5, "Invalid entry ID");
  auto sep = raw.find('\x1f');
  if (sep == std::string::npos) throw MailError(5, "Invalid entry ID");
  Folder f = GetFolder(raw.substr(0, sep));
  std::string unique = raw.substr(sep + 1);
  for (const auto& rel : ListItemFiles(f.Path())) {
    if (UniqueOf(rel.substr(4)) != unique) continue;
    Items one;
    one.folderDir_ = f.Path();
    one.folderId_ = f.EntryID();
    one.files_.push_back(rel);
    return one.Item(1);
  }
  throw MailError(5, "The item with this entry ID is not in the store");
}

MailItem Store::CreateItem(int itemType) {
  MailItem item;
  item.MessageClass = itemType == olPostItem ? "IPM.Post" : "IPM.Note";
  return item;
}

std::vector<std::string> SplitAddresses(const std::string& to) {
  std::vector<std::string> out;
  std::string cur;
  bool quoted = false;
  int angle = 0;
  for (char c : to) {
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '<') ++angle;
    if (!quoted && c == '>' && angle > 0) --angle;
    if (!quoted && angle == 0 && (c == ';' || c == ',')) {
      auto b = cur.find_first_not_of(" \t");
      if (b != std::string::npos) out.push_back(cur.substr(b, cur.find_last_not_of(" \t") - b + 1));
      cur.clear();
      continue;
    }
    cur += c;
  }
  auto b = cur.find_first_not_of(" \t");
  if (b != std::string::npos) out.push_back(cur.substr(b, cur.find_last_not_of(" \t") - b + 1));
  return out;
}

// --- SaveBatch ----------------------------------------------------------------

SaveBatch::SaveBatch() {
  ++Batch().open;
}

SaveBatch::~SaveBatch() {
  try {
    Flush();
  } catch (...) {
    // The items are filed; their index lines are found again from the files.
  }
  --Batch().open;
}

void SaveBatch::Flush() {
  auto pending = std::move(Batch().pending);
  Batch().pending.clear();
  std::vector<dev_t> synced;
  for (auto& [dir, lines] : pending) {
    std::string text;
    for (const auto& e : lines) text += IndexLine(e.rel, e.stamp, e.summary);
    {
      FolderLock lock(dir);
      AppendToIndex(dir, text);
    }
    ForgetSummaries(dir);
    // One flush per file system for all the items of the batch.
    struct stat st {};
    if (::stat(dir.c_str(), &st) != 0 || std::find(synced.begin(), synced.end(), st.st_dev) != synced.end())
      continue;
    if (platform::UniqueFd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); dfd)
      ::syncfs(dfd.get());
    synced.push_back(st.st_dev);
  }
}

}  // namespace brevant::mail
