#include "tools/brevant-faxd/Class1Modem.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <sstream>

namespace brevant::faxd {

namespace {

constexpr uint8_t kDle = 0x10, kEtx = 0x03, kCan = 0x18;

using Clock = std::chrono::steady_clock;

Clock::time_point Deadline(double seconds) {
  return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

speed_t Speed(int baud) {
  switch (baud) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B19200;
  }
}

struct Code {
  const char* text;
  Reply reply;
};
constexpr Code kCodes[] = {
    {"OK", Reply::kOk},           {"CONNECT", Reply::kConnect},         {"RING", Reply::kRing},
    {"NO CARRIER", Reply::kNoCarrier}, {"ERROR", Reply::kError},       {"NO DIALTONE", Reply::kNoDialTone},
    {"NO DIAL TONE", Reply::kNoDialTone}, {"BUSY", Reply::kBusy},      {"NO ANSWER", Reply::kNoAnswer},
    {"+FCERROR", Reply::kFcError},
};

// A final result code, or false for an information line. "CONNECT 9600"
// and the like count as CONNECT.
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

std::string Trimmed(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
  size_t b = s.find_first_not_of(" \t");
  return b == std::string::npos ? "" : s.substr(b);
}

// Whether a process holds the lock file (HDB format: the pid as text).
bool LockHeld(const std::string& path, long* pid) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (!f) return false;
  long p = 0;
  bool read = std::fscanf(f, "%ld", &p) == 1;
  std::fclose(f);
  if (!read || p <= 0) return false;
  *pid = p;
  return ::kill(static_cast<pid_t>(p), 0) == 0 || errno == EPERM;
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
    case Reply::kOk: return "OK";
    case Reply::kConnect: return "CONNECT";
    case Reply::kRing: return "RING";
    case Reply::kNoCarrier: return "NO CARRIER";
    case Reply::kError: return "ERROR";
    case Reply::kNoDialTone: return "NO DIALTONE";
    case Reply::kBusy: return "BUSY";
    case Reply::kNoAnswer: return "NO ANSWER";
    case Reply::kFcError: return "+FCERROR";
    case Reply::kTimeout: return "no answer in time";
    case Reply::kGone: return "device gone";
    case Reply::kAborted: return "aborted";
  }
  return "?";
}

Class1Modem::Class1Modem(std::string device, int baud, std::string openPath)
    : device_(std::move(device)), openPath_(openPath.empty() ? device_ : std::move(openPath)), baud_(baud) {}

Class1Modem::~Class1Modem() { Close(); }

void Class1Modem::Trace(const std::string& what) const {
  if (trace_) trace_(what);
}

bool Class1Modem::Lock(std::string* why) {
  // UUCP lock files are how faxgetty, efax and cu keep off each other's port.
  std::string name = openPath_.compare(0, 5, "/dev/") == 0 ? openPath_.substr(5) : openPath_;
  std::replace(name.begin(), name.end(), '/', '_');
  std::string path = "/var/lock/LCK.." + name;
  std::lock_guard g(HeldMutex());
  // A port another modem object of this process holds (a line of the fax
  // service) is as busy as one of another program; a lock file with this
  // process's id that no object holds is left from an earlier process.
  long pid = 0;
  if (HeldPorts().count(path) || (LockHeld(path, &pid) && pid != ::getpid())) {
    *why = device_ + " is in use by process " + std::to_string(pid ? pid : ::getpid()) + " (" + path + ")";
    return false;
  }
  HeldPorts().insert(path);
  heldPort_ = path;
  ::unlink(path.c_str());  // stale
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
  if (fd < 0) return true;  // no lock folder we may write: the flock alone guards the port
  char text[16];
  int n = std::snprintf(text, sizeof text, "%10ld\n", static_cast<long>(::getpid()));
  bool written = ::write(fd, text, static_cast<size_t>(n)) == n;
  ::close(fd);
  if (written) lockFile_ = path;
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
  if (!Lock(why)) return false;
  fd_ = ::open(openPath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) {
    *why = "cannot open " + device_ + ": " + std::strerror(errno);
    Unlock();
    return false;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    *why = device_ + " is in use by another program";
    Close();
    return false;
  }
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) {
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
  ::tcsetattr(fd_, TCSANOW, &t);
  int lines = TIOCM_DTR | TIOCM_RTS;
  ::ioctl(fd_, TIOCMBIS, &lines);  // not every device has modem lines (a pty has none)
  ::tcflush(fd_, TCIOFLUSH);
  in_.clear();
  dle_ = false;
  return true;
}

void Class1Modem::Close() {
  if (fd_ >= 0) {
    ::tcflush(fd_, TCOFLUSH);
    ::close(fd_);  // drops DTR (HUPCL): a modem still off hook hangs up
  }
  fd_ = -1;
  in_.clear();
  Unlock();
}

bool Class1Modem::Fill(double wait) {
  if (fd_ < 0 || gone_) return false;
  pollfd p{fd_, POLLIN, 0};
  int ms = std::max(0, static_cast<int>(wait * 1000));
  int r = ::poll(&p, 1, ms);
  if (r < 0) return errno == EINTR;
  if (r == 0) return true;
  if (p.revents & POLLNVAL) {
    gone_ = true;
    return false;
  }
  uint8_t buf[4096];
  ssize_t n = ::read(fd_, buf, sizeof buf);
  if (n > 0) {
    in_.insert(in_.end(), buf, buf + n);
    return true;
  }
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
  gone_ = true;  // EOF or EIO: unplugged, or the other end of a pty closed
  Trace("device gone");
  return false;
}

bool Class1Modem::TakeLine(std::string* line) {
  for (;;) {
    auto end = std::find_if(in_.begin(), in_.end(), [](uint8_t c) { return c == '\r' || c == '\n'; });
    if (end == in_.end()) return false;
    // Result codes end in CR LF and data may follow at once (after
    // CONNECT): the LF belongs to the line, not to the data.
    if (*end == '\r' && end + 1 == in_.end()) {
      size_t at = static_cast<size_t>(end - in_.begin());
      Fill(0.05);
      end = in_.begin() + static_cast<std::ptrdiff_t>(at);
    }
    std::string text(in_.begin(), end);
    if (*end == '\r' && end + 1 != in_.end() && *(end + 1) == '\n') ++end;
    in_.erase(in_.begin(), end + 1);
    text = Trimmed(text);
    if (text.empty()) continue;
    *line = text;
    return true;
  }
}

bool Class1Modem::WriteRaw(const uint8_t* data, size_t len, double timeout, const Idle& idle) {
  if (fd_ < 0 || gone_) return false;
  auto deadline = Deadline(timeout);
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::write(fd_, data + done, len - done);
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
    pollfd p{fd_, POLLOUT, 0};
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
  for (;;) {
    std::string line;
    while (TakeLine(&line)) {
      Reply r;
      if (FinalCode(line, &r)) {
        Trace("<- " + line);
        return r;
      }
      if (line.compare(0, 2, "AT") == 0 || line.compare(0, 2, "at") == 0) continue;  // echo
      Trace("<- " + line);
      if (info) info->push_back(line);
    }
    if (gone_) return Reply::kGone;
    auto left = std::chrono::duration<double>(deadline - Clock::now()).count();
    if (left <= 0) return Reply::kTimeout;
    if (!Fill(std::min(left, 0.02))) return Reply::kGone;
    if (idle && !idle()) return Reply::kAborted;
  }
}

Reply Class1Modem::Command(const std::string& cmd, double timeout, std::vector<std::string>* info, const Idle& idle) {
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
  if (in_.empty() && !Fill(wait)) return false;
  size_t i = 0;
  for (; i < in_.size(); ++i) {
    uint8_t c = in_[i];
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
  in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(i));
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
    in_.clear();
    dle_ = false;
  }
}

void Class1Modem::DiscardOutput() {
  if (fd_ >= 0) ::tcflush(fd_, TCOFLUSH);
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
    in_.clear();
    if (Command("Z", 4) != Reply::kOk) continue;
    if (Command("E0V1Q0", 5) != Reply::kOk) continue;
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
    case 24: return 2400;
    case 48: return 4800;
    case 72: case 73: case 74: return 7200;
    case 96: case 97: case 98: return 9600;
    case 121: case 122: return 12000;
    case 145: case 146: return 14400;
    default: return 0;
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
std::vector<int> ParseCodes(const std::vector<std::string>& lines) {
  std::vector<int> codes;
  for (const auto& line : lines) {
    std::string s;
    for (char c : line) s += (c >= '0' && c <= '9') || c == '-' ? c : ',';
    std::stringstream in(s);
    std::string item;
    while (std::getline(in, item, ',')) {
      if (item.empty()) continue;
      size_t dash = item.find('-');
      if (dash != std::string::npos && dash > 0) {
        int a = std::atoi(item.substr(0, dash).c_str()), b = std::atoi(item.substr(dash + 1).c_str());
        for (int v = a; v <= b && v - a < 300; ++v)
          if (ModulationBitRate(v)) codes.push_back(v);
      } else {
        codes.push_back(std::atoi(item.c_str()));
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

bool ProbeModem(Class1Modem& modem, ModemInfo* info, std::string* why) {
  *info = ModemInfo{};
  std::vector<std::string> lines;
  Reply r = modem.Command("I", 5, &lines);
  if (r == Reply::kTimeout || r == Reply::kGone) {
    *why = "modem stopped answering on " + modem.Device();
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
  if (modem.Command("+FCLASS=?", 5, &lines) != Reply::kOk) {
    *why = modem.Device() + " does not answer AT+FCLASS=?: it is not a fax modem";
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
  if (modem.Command("+FTM=?", 5, &lines) == Reply::kOk) info->transmitRates = ParseCodes(lines);
  lines.clear();
  if (modem.Command("+FRM=?", 5, &lines) == Reply::kOk) info->receiveRates = ParseCodes(lines);
  auto known = [](std::vector<int>& v) {
    v.erase(std::remove_if(v.begin(), v.end(), [](int c) { return ModulationBitRate(c) == 0; }), v.end());
  };
  known(info->transmitRates);
  known(info->receiveRates);
  if (info->transmitRates.empty() || info->receiveRates.empty()) {
    *why = modem.Device() + " lists no fax modulations for AT+FTM=? / AT+FRM=?";
    return false;
  }
  return true;
}

}  // namespace brevant::faxd
