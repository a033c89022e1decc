#include "faxservice/daemon/lines/class1/Class1Modem.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>

namespace brevant::faxd {

namespace {

constexpr uint8_t kDle = 0x10, kEtx = 0x03, kCan = 0x18;

using Clock = std::chrono::steady_clock;

Clock::time_point Deadline(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

speed_t Speed(int baud) {
  switch (baud) {
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    default:
      return B19200;
  }
}

struct Code {
  const char* text;
  Reply reply;
};
constexpr Code kCodes[] = {
    {"OK", Reply::kOk},
    {"CONNECT", Reply::kConnect},
    {"RING", Reply::kRing},
    {"NO CARRIER", Reply::kNoCarrier},
    {"ERROR", Reply::kError},
    {"NO DIALTONE", Reply::kNoDialTone},
    {"NO DIAL TONE", Reply::kNoDialTone},
    {"BUSY", Reply::kBusy},
    {"NO ANSWER", Reply::kNoAnswer},
    {"+FCERROR", Reply::kFcError},
};

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  size_t b = s.find_first_not_of(" \t");
  return b == std::string::npos ? "" : s.substr(b);
}

// User and group names and ids (reentrant: line workers and requests ask
// at the same time).
std::optional<gid_t> GroupId(const char* name) {
  std::vector<char> buf(16384);
  group g{}, *found = nullptr;
  if (::getgrnam_r(name, &g, buf.data(), buf.size(), &found) != 0 || !found) return std::nullopt;
  return found->gr_gid;
}
std::string GroupName(gid_t gid) {
  std::vector<char> buf(16384);
  group g{}, *found = nullptr;
  if (::getgrgid_r(gid, &g, buf.data(), buf.size(), &found) != 0 || !found) return std::to_string(gid);
  return found->gr_name;
}
// The user's name and primary group; false when the user database has none.
bool UserOf(uid_t uid, std::string* name, gid_t* gid) {
  std::vector<char> buf(16384);
  passwd pw{}, *found = nullptr;
  if (::getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || !found) return false;
  *name = found->pw_name;
  *gid = found->pw_gid;
  return true;
}
std::string UserName(uid_t uid) {
  std::string name;
  gid_t gid;
  return UserOf(uid, &name, &gid) ? "user " + name : "uid " + std::to_string(uid);
}

// The groups a modem device may have, and the users that may own one.
bool ModemGroup(gid_t gid) {
  if (gid == 0) return true;
  for (const char* name : {"dialout", "uucp"})
    if (GroupId(name) == gid) return true;
  return false;
}
bool ModemUser(uid_t uid) {
  if (uid == 0) return true;
  std::vector<char> buf(16384);
  passwd pw{}, *found = nullptr;
  return ::getpwnam_r("uucp", &pw, buf.data(), buf.size(), &found) == 0 && found && found->pw_uid == uid;
}

// Whether the user may use modems by their groups (dialout, uucp).
bool InModemGroup(uid_t uid) {
  std::string name;
  gid_t primary;
  if (!UserOf(uid, &name, &primary)) return false;
  std::vector<gid_t> groups(256);
  int n = static_cast<int>(groups.size());
  if (::getgrouplist(name.c_str(), primary, groups.data(), &n) < 0) return false;
  for (int i = 0; i < n; ++i)
    if (groups[static_cast<size_t>(i)] != 0 && ModemGroup(groups[static_cast<size_t>(i)])) return true;
  return false;
}

// Whether process pid has the character device rdev open.
bool HoldsDevice(long pid, dev_t rdev) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    struct stat st {};
    if (::stat(e.path().c_str(), &st) == 0 && S_ISCHR(st.st_mode) && st.st_rdev == rdev) return true;
  }
  return false;
}

// A lock file a program that starts to use the port writes before it opens
// the device is honoured this long without the device open.
constexpr time_t kFreshLock = 10;

// What a UUCP lock file on the port says, and whether it is honoured.
struct LockFile {
  bool exists = false;
  bool honoured = false;
  long pid = 0;
  std::string why;    // why it is not honoured
  bool told = false;  // worth telling: someone put it there, not a program that ended
};

// A lock file holds the port only when a program that may use modems wrote
// it (root, uucp, or a user or file of the dialout or uucp group) and its
// process still lives and has the device open: anyone may write into the
// lock folder, and a file naming a process that happens to live (process
// 1) would keep the line down for ever.
LockFile ReadLock(const std::string& path, dev_t rdev) {
  LockFile lock;
  platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd) {
    lock.exists = errno != ENOENT;
    lock.why = "it cannot be read: " + std::string(std::strerror(errno));
    return lock;
  }
  lock.exists = true;
  struct stat st {};
  char text[64] = {};
  ssize_t n =
      ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) ? ::read(fd.get(), text, sizeof text - 1) : -1;
  fd.reset();
  if (n <= 0) {
    lock.why = "it holds no process id";
    return lock;
  }
  // HDB locks hold the pid as text; old binary ones as 4 bytes.
  const char* p = text;
  while (*p == ' ') ++p;
  if (*p >= '0' && *p <= '9') {
    for (; *p >= '0' && *p <= '9' && lock.pid < 100000000; ++p) lock.pid = lock.pid * 10 + (*p - '0');
  } else if (n == 4) {
    int32_t binary;
    std::memcpy(&binary, text, sizeof binary);
    lock.pid = binary;
  }
  const std::string owner = UserName(st.st_uid);
  if (lock.pid <= 0 || lock.pid >= 100000000) {
    lock.why = "it holds no process id";
  } else if (lock.pid == ::getpid()) {
    lock.why = "an earlier use of the port by this service left it";
  } else if (::kill(static_cast<pid_t>(lock.pid), 0) != 0 && errno != EPERM) {
    lock.why = "process " + std::to_string(lock.pid) + " has ended";
  } else if (!ModemUser(st.st_uid) && !ModemGroup(st.st_gid) && !InModemGroup(st.st_uid)) {
    lock.why = "it was written by " + owner + ", who may not use modems";
    lock.told = true;
  } else if (!HoldsDevice(lock.pid, rdev) && std::time(nullptr) - st.st_mtime > kFreshLock) {
    lock.why = "process " + std::to_string(lock.pid) + " does not have the device open";
    lock.told = true;
  } else {
    lock.honoured = true;
  }
  return lock;
}

// The ports the modem objects of this process hold.
std::mutex& HeldMutex() {
  static std::mutex mu;
  return mu;
}
std::set<std::string>& HeldPorts() {
  static std::set<std::string> held;
  return held;
}

}  // namespace

const char* ReplyText(Reply r) {
  switch (r) {
    case Reply::kOk:
      return "OK";
    case Reply::kConnect:
      return "CONNECT";
    case Reply::kRing:
      return "RING";
    case Reply::kNoCarrier:
      return "NO CARRIER";
    case Reply::kError:
      return "ERROR";
    case Reply::kNoDialTone:
      return "NO DIALTONE";
    case Reply::kBusy:
      return "BUSY";
    case Reply::kNoAnswer:
      return "NO ANSWER";
    case Reply::kFcError:
      return "+FCERROR";
    case Reply::kTimeout:
      return "no answer in time";
    case Reply::kGone:
      return "device gone";
    case Reply::kAborted:
      return "aborted";
    case Reply::kOverflow:
      return "answer too long";
  }
  return "?";
}

bool FinalCode(const std::string& line, Reply* r) {
  for (const auto& c : kCodes) {
    size_t n = std::strlen(c.text);
    if (line.compare(0, n, c.text) == 0 && (line.size() == n || line[n] == ' ')) {
      *r = c.reply;
      return true;
    }
  }
  return false;
}

// ModemInput ------------------------------------------------------------------

void ModemInput::Append(const uint8_t* data, std::size_t len) {
  buf_.insert(buf_.end(), data, data + std::min(len, Room()));
}

ModemInput::Take ModemInput::TakeLine(std::string* line) {
  for (;;) {
    // Result codes end in CR LF and data may follow at once (after
    // CONNECT): the LF belongs to the line, not to the data.
    if (skipLf_ && !buf_.empty()) {
      if (buf_.front() == '\n') buf_.erase(buf_.begin());
      skipLf_ = false;
    }
    const std::size_t scan = std::min(buf_.size(), kMaxLine + 1);
    auto end = std::find_if(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(scan),
                            [](uint8_t c) { return c == '\r' || c == '\n'; });
    if (static_cast<std::size_t>(end - buf_.begin()) > kMaxLine ||
        (end == buf_.begin() + static_cast<std::ptrdiff_t>(scan) && scan > kMaxLine)) {
      buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(kMaxLine));
      return Take::kTooLong;
    }
    if (end == buf_.begin() + static_cast<std::ptrdiff_t>(scan)) return Take::kNone;
    std::string text(buf_.begin(), end);
    skipLf_ = *end == '\r';
    buf_.erase(buf_.begin(), end + 1);
    text = Trimmed(text);
    if (text.empty()) continue;
    *line = text;
    return Take::kLine;
  }
}

void ModemInput::TakeData(std::vector<uint8_t>* out, bool* end) {
  *end = false;
  if (skipLf_ && !buf_.empty()) {
    if (buf_.front() == '\n') buf_.erase(buf_.begin());
    skipLf_ = false;
  }
  size_t i = 0;
  for (; i < buf_.size(); ++i) {
    uint8_t c = buf_[i];
    if (dle_) {
      dle_ = false;
      if (c == kEtx) {
        *end = true;
        ++i;
        break;
      }
      if (c == kDle) out->push_back(kDle);  // DLE DLE is a DLE; other DLE pairs carry no data
    } else if (c == kDle) {
      dle_ = true;
    } else {
      out->push_back(c);
    }
  }
  buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(i));
}

void ModemInput::Clear() {
  buf_.clear();
  skipLf_ = dle_ = false;
}

// The device ------------------------------------------------------------------

bool ModemDeviceAllowed(const struct stat& st, const std::string& path, std::string* why) {
  const unsigned maj = major(st.st_rdev), min = minor(st.st_rdev);
  // By the kernel's device numbers: ttyS (4, from minor 64: below are the
  // virtual consoles), ttyACM (166), ttyUSB (188), and the Unix 98
  // pseudo-terminals (136-143) under /dev/pts.
  const bool kind = S_ISCHR(st.st_mode) && ((maj == 4 && min >= 64) || maj == 166 || maj == 188 ||
                                            (maj >= 136 && maj <= 143 && path.rfind("/dev/pts/", 0) == 0));
  if (!kind) {
    *why = path + " is not a serial port";
    return false;
  }
  if (!ModemUser(st.st_uid)) {
    *why = path + " belongs to " + UserName(st.st_uid) +
           ", not to root as a modem device does; it is not opened";
    return false;
  }
  if (!ModemGroup(st.st_gid)) {
    *why = path + " belongs to the group " + GroupName(st.st_gid) +
           ", not to dialout as a modem device does; it is not opened";
    return false;
  }
  return true;
}

// Class1Modem -----------------------------------------------------------------

// Without openPath the device's links (/dev/serial/by-id/...) are resolved
// here; Open follows none.
Class1Modem::Class1Modem(std::string device, int baud, std::string openPath)
    : device_(std::move(device)), openPath_(std::move(openPath)), baud_(baud) {
  if (openPath_.empty()) {
    std::error_code ec;
    openPath_ = std::filesystem::canonical(device_, ec).string();
    if (ec) openPath_ = device_;
  }
}

Class1Modem::~Class1Modem() {
  Close();
}

void Class1Modem::Trace(const std::string& what) const {
  if (trace_) trace_(what);
}

bool Class1Modem::Lock(dev_t rdev, std::string* why) {
  // UUCP lock files are how faxgetty, efax and cu keep off each other's port.
  std::string name = openPath_.compare(0, 5, "/dev/") == 0 ? openPath_.substr(5) : openPath_;
  std::replace(name.begin(), name.end(), '/', '_');
  std::string path = "/var/lock/LCK.." + name;
  std::lock_guard g(HeldMutex());
  // A port another modem object of this process holds (a line of the fax
  // service) is as busy as one of another program.
  if (HeldPorts().count(path)) {
    *why = device_ + " is in use by process " + std::to_string(::getpid()) + " (" + path + ")";
    return false;
  }
  ignoredLock_.clear();
  HeldPorts().insert(path);
  heldPort_ = path;
  for (int attempt = 0; attempt < 3; ++attempt) {
    LockFile lock = ReadLock(path, rdev);
    if (lock.honoured) {
      HeldPorts().erase(path);
      heldPort_.clear();
      *why = device_ + " is in use by process " + std::to_string(lock.pid) + " (" + path + ")";
      return false;
    }
    // One somebody put there is said so.
    if (lock.told) ignoredLock_ = path + " was not honoured: " + lock.why;
    // HDB format, readable by the other programs that look at locks (efax,
    // faxgetty, cu): the pid in ten characters and a newline, mode 0644.
    // It is written aside and put in place in one step: over a lock that
    // holds nothing (so that nobody slips another one in between), or as a
    // new name that must not be taken yet.
    platform::AtomicFile aside;
    std::string failed;
    char text[16];
    int n = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
    if (!aside.Begin(path, platform::AtomicOptions(0644).Exact(), &failed) ||
        !aside.Write(std::string_view(text, static_cast<size_t>(n)), &failed))
      break;
    const std::string name = path.substr(path.rfind('/') + 1);
    const int err = lock.exists ? (aside.Commit(&failed) ? 0 : errno) : aside.CommitNew(name);
    if (err == 0) {
      lockFile_ = path;
      return true;
    }
    if (lock.exists || err != EEXIST) break;
    // Another program locked the port meanwhile: look again.
  }
  // No lock file could be put in place (no lock folder the service may
  // write, or something there it cannot replace): the flock alone guards
  // the port.
  return true;
}

void Class1Modem::Unlock() {
  std::lock_guard g(HeldMutex());
  if (!lockFile_.empty()) ::unlink(lockFile_.c_str());
  lockFile_.clear();
  if (!heldPort_.empty()) HeldPorts().erase(heldPort_);
  heldPort_.clear();
}

bool Class1Modem::Open(std::string* why) {
  Close();
  gone_ = false;
  problem_.clear();
  // The node is checked before it is opened, and what was opened is checked
  // again: a link or another device put in its place meanwhile is refused.
  struct stat before {};
  if (::lstat(openPath_.c_str(), &before) != 0) {
    *why = "cannot open " + device_ + ": " + std::strerror(errno);
    return false;
  }
  if (!ModemDeviceAllowed(before, openPath_, why)) return false;
  if (!Lock(before.st_rdev, why)) return false;
  fd_.reset(::open(openPath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
  if (!fd_) {
    *why = "cannot open " + device_ + ": " + std::strerror(errno);
    Unlock();
    return false;
  }
  struct stat opened {};
  if (::fstat(fd_.get(), &opened) != 0 || opened.st_dev != before.st_dev || opened.st_ino != before.st_ino) {
    *why = openPath_ + " changed while it was opened; it is not used";
    Close();
    return false;
  }
  if (!ModemDeviceAllowed(opened, openPath_, why)) {
    Close();
    return false;
  }
  if (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    *why = device_ + " is in use by another program";
    Close();
    return false;
  }
  termios t{};
  if (::tcgetattr(fd_.get(), &t) != 0) {
    *why = device_ + " is not a serial port: " + std::strerror(errno);
    Close();
    return false;
  }
  ::cfmakeraw(&t);
  t.c_cflag |= CLOCAL | CREAD | CRTSCTS | HUPCL;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  ::cfsetispeed(&t, Speed(baud_));
  ::cfsetospeed(&t, Speed(baud_));
  ::tcsetattr(fd_.get(), TCSANOW, &t);
  int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd_.get(), TIOCMBIS, &lines);  // not every device has modem lines (a pty has none)
  ::tcflush(fd_.get(), TCIOFLUSH);
  in_.Clear();
  return true;
}

void Class1Modem::Close() {
  if (fd_) ::tcflush(fd_.get(), TCOFLUSH);
  fd_.reset();  // drops DTR (HUPCL): a modem still off hook hangs up
  in_.Clear();
  Unlock();
}

bool Class1Modem::Fill(double wait) {
  if (!fd_ || gone_) return false;
  pollfd p{fd_.get(), POLLIN, 0};
  int ms = std::max(0, static_cast<int>(wait * 1000));
  int r = ::poll(&p, 1, ms);
  if (r < 0) return errno == EINTR;
  if (r == 0) return true;
  if (p.revents & POLLNVAL) {
    gone_ = true;
    return false;
  }
  // What is held is taken before more is read: a full buffer (a line
  // without end is cut off before that) waits for its reader.
  if (in_.Room() == 0) return true;
  uint8_t buf[4096];
  ssize_t n = ::read(fd_.get(), buf, std::min(sizeof buf, in_.Room()));
  if (n > 0) {
    in_.Append(buf, static_cast<size_t>(n));
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  gone_ = true;  // EOF or EIO: unplugged, or the other end of a pty closed
  Trace("device gone");
  return false;
}

bool Class1Modem::WriteRaw(const uint8_t* data, size_t len, double timeout, const Idle& idle) {
  if (!fd_ || gone_) return false;
  auto deadline = Deadline(timeout);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::write(fd_.get(), data + done, len - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) {
      gone_ = true;
      Trace("device gone");
      return false;
    }
    if (Clock::now() >= deadline) return false;
    pollfd p{fd_.get(), POLLOUT, 0};
    ::poll(&p, 1, 20);
    if (p.revents & (POLLERR | POLLNVAL)) {
      gone_ = true;
      return false;
    }
    if (idle && !idle()) return false;
  }
  return true;
}

bool Class1Modem::Send(const std::string& cmd) {
  Trace("-> AT" + cmd);
  std::string line = "AT" + cmd + "\r";
  return WriteRaw(reinterpret_cast<const uint8_t*>(line.data()), line.size(), 5, {});
}

Reply Class1Modem::WaitReply(double timeout, const Idle& idle, std::vector<std::string>* info) {
  auto deadline = Deadline(timeout);
  size_t infoLines = 0;
  for (;;) {
    std::string line;
    for (ModemInput::Take t; (t = in_.TakeLine(&line)) != ModemInput::Take::kNone;) {
      if (t == ModemInput::Take::kTooLong) {
        problem_ = "the modem on " + device_ + " sent a line of more than " +
                   std::to_string(ModemInput::kMaxLine) + " characters";
        Trace(problem_);
        return Reply::kOverflow;
      }
      Reply r;
      if (FinalCode(line, &r)) {
        Trace("<- " + line);
        if (r == Reply::kConnect) dataTaken_ = 0;
        return r;
      }
      if (line.compare(0, 2, "AT") == 0 || line.compare(0, 2, "at") == 0) continue;  // echo
      Trace("<- " + line);
      if (!info) continue;
      if (++infoLines > kMaxInfoLines) {
        problem_ = "the modem on " + device_ + " sent more than " + std::to_string(kMaxInfoLines) +
                   " lines without a result code";
        Trace(problem_);
        return Reply::kOverflow;
      }
      info->push_back(line);
    }
    if (gone_) return Reply::kGone;
    auto left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0) return Reply::kTimeout;
    if (!Fill(std::min(left, 0.02))) return Reply::kGone;
    if (idle && !idle()) return Reply::kAborted;
  }
}

Reply Class1Modem::Command(const std::string& cmd, double timeout, std::vector<std::string>* info,
                           const Idle& idle) {
  if (!Send(cmd)) return gone_ ? Reply::kGone : Reply::kTimeout;
  return WaitReply(timeout, idle, info);
}

bool Class1Modem::WriteData(const uint8_t* data, size_t len, double timeout, const Idle& idle) {
  std::vector<uint8_t> stuffed;
  stuffed.reserve(len + len / 16 + 2);
  for (size_t i = 0; i < len; ++i) {
    stuffed.push_back(data[i]);
    if (data[i] == kDle) stuffed.push_back(kDle);
  }
  return WriteRaw(stuffed.data(), stuffed.size(), timeout, idle);
}

bool Class1Modem::EndData(double timeout) {
  const uint8_t end[] = {kDle, kEtx};
  return WriteRaw(end, sizeof end, timeout, {});
}

bool Class1Modem::ReadData(std::vector<uint8_t>* out, bool* end, double wait) {
  *end = false;
  if (in_.Empty() && !Fill(wait)) return false;
  const std::size_t before = out->size();
  in_.TakeData(out, end);
  dataTaken_ += out->size() - before;
  if (dataTaken_ > kMaxData) {
    problem_ = "the modem on " + device_ + " sent more than " + std::to_string(kMaxData >> 20) +
               " MiB of data without its end";
    Trace(problem_);
    return false;
  }
  return true;
}

Reply Class1Modem::Abort(double timeout) {
  const uint8_t can = kCan;
  Trace("-> <CAN>");
  if (!WriteRaw(&can, 1, 1, {})) return gone_ ? Reply::kGone : Reply::kTimeout;
  // Data or a CONNECT may still be on its way before the modem's OK.
  auto deadline = Deadline(timeout);
  for (;;) {
    double left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0) return Reply::kTimeout;
    Reply r = WaitReply(left);
    if (r != Reply::kConnect) return r;
    in_.Clear();
  }
}

void Class1Modem::DiscardOutput() {
  if (fd_) ::tcflush(fd_.get(), TCOFLUSH);
}

bool Class1Modem::Reset(const std::string& init, std::string* why) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (attempt > 0 || !IsOpen() || gone_) {
      if (!Open(why)) return false;
    }
    // A modem left in a data phase takes any character as the end of it.
    const uint8_t can = kCan;
    WriteRaw(&can, 1, 1, {});
    Fill(0.1);
    in_.Clear();
    Reply r = Command("Z", 4);
    if (r == Reply::kOk) r = Command("E0V1Q0", 5);
    if (r == Reply::kOverflow) {
      *why = problem_;
      return false;
    }
    if (r != Reply::kOk) continue;
    if (!init.empty() && Command(init, 5) != Reply::kOk) {
      *why = "the modem on " + device_ + " refused its init string AT" + init;
      return false;
    }
    if (Command("+FCLASS=1", 5) != Reply::kOk) {
      *why = device_ + " does not answer as a Class 1 fax modem (AT+FCLASS=1 refused)";
      return false;
    }
    return true;
  }
  *why = "modem stopped answering on " + device_;
  return false;
}

std::string ModemInfo::Name() const {
  std::string name = manufacturer;
  if (!model.empty()) name += (name.empty() ? "" : " ") + model;
  if (name.empty()) name = identity;
  return name;
}

int ModulationBitRate(int code) {
  switch (code) {
    case 24:
      return 2400;
    case 48:
      return 4800;
    case 72:
    case 73:
    case 74:
      return 7200;
    case 96:
    case 97:
    case 98:
      return 9600;
    case 121:
    case 122:
      return 12000;
    case 145:
    case 146:
      return 14400;
    default:
      return 0;
  }
}

int ModemInfo::MaxBitRate() const {
  int best = 0;
  for (int t : transmitRates)
    if (std::find(receiveRates.begin(), receiveRates.end(), t) != receiveRates.end())
      best = std::max(best, ModulationBitRate(t));
  return best;
}

namespace {

// "24,48,72,96" or "(24,48)" or a range list, as modems print them.
// A number of a modem's list; numbers too long to be a code count as
// 999999, which is none.
int CodeNumber(const std::string& digits) {
  if (digits.empty() || digits.size() > 6) return 999999;
  return std::stoi(digits);
}

// The numbers of lists such as "0,1,2", "(24,48)" and "72-74" (ranges are
// expanded to the modulation codes in them), as modems print them.
std::vector<int> ParseCodes(const std::vector<std::string>& lines) {
  std::vector<int> codes;
  for (const auto& line : lines) {
    std::string s;
    for (char c : line) s += (c >= '0' && c <= '9') || c == '-' ? c : ',';
    std::stringstream in(s);
    std::string item;
    while (std::getline(in, item, ',')) {
      size_t dash = item.find('-');
      if (dash == std::string::npos) {
        if (!item.empty()) codes.push_back(CodeNumber(item));
      } else if (dash > 0) {
        std::string to = item.substr(dash + 1);
        if (to.find('-') != std::string::npos) continue;
        for (int v = CodeNumber(item.substr(0, dash)), b = CodeNumber(to), n = 0; v <= b && n < 300; ++v, ++n)
          if (ModulationBitRate(v)) codes.push_back(v);
      }
    }
  }
  return codes;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += (s.empty() ? "" : " ") + l;
  return s;
}

}  // namespace

std::vector<int> ParseModulations(const std::vector<std::string>& lines) {
  std::vector<int> codes = ParseCodes(lines);
  codes.erase(std::remove_if(codes.begin(), codes.end(), [](int c) { return ModulationBitRate(c) == 0; }),
              codes.end());
  return codes;
}

bool ProbeModem(Class1Modem& modem, ModemInfo* info, std::string* why) {
  *info = ModemInfo{};
  std::vector<std::string> lines;
  Reply r = modem.Command("I", 5, &lines);
  if (r == Reply::kTimeout || r == Reply::kGone || r == Reply::kOverflow) {
    *why = r == Reply::kOverflow ? modem.Problem() : "modem stopped answering on " + modem.Device();
    return false;
  }
  info->identity = Joined(lines);
  auto ask = [&](const char* cmd, std::string* into) {
    std::vector<std::string> l;
    if (modem.Command(cmd, 5, &l) == Reply::kOk) *into = Joined(l);
  };
  ask("+GMI", &info->manufacturer);
  ask("+GMM", &info->model);
  ask("+GMR", &info->revision);
  lines.clear();
  r = modem.Command("+FCLASS=?", 5, &lines);
  if (r != Reply::kOk) {
    *why = r == Reply::kOverflow ? modem.Problem()
                                 : modem.Device() + " does not answer AT+FCLASS=?: it is not a fax modem";
    return false;
  }
  info->classes = Joined(lines);
  for (int c : ParseCodes(lines))
    if (c == 1) info->class1 = true;
  // "1.0" is Class 1 as well; ParseCodes splits it into 1 and 0.
  if (!info->class1) {
    *why = modem.Device() + " does not offer fax Class 1 (it offers " +
           (info->classes.empty() ? std::string("none") : info->classes) + ")";
    return false;
  }
  lines.clear();
  if (modem.Command("+FTM=?", 5, &lines) == Reply::kOk) info->transmitRates = ParseModulations(lines);
  lines.clear();
  if (modem.Command("+FRM=?", 5, &lines) == Reply::kOk) info->receiveRates = ParseModulations(lines);
  if (!modem.Problem().empty()) {
    *why = modem.Problem();
    return false;
  }
  if (info->transmitRates.empty() || info->receiveRates.empty()) {
    *why = modem.Device() + " lists no fax modulations for AT+FTM=? / AT+FRM=?";
    return false;
  }
  return true;
}

}  // namespace brevant::faxd
