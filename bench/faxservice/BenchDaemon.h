#pragma once
// A brevant-faxd of the build tree for measurements: started on a state
// folder of its own under a scratch folder, stopped or killed at will; and
// fax pages of printed text to send through it.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "faxservice/protocol/FaxTiff.h"
#include "faxservice/protocol/Protocol.h"
#include "platform/fs/Files.h"

namespace brevant::bench {

// A page of "text" like the one a fax printer makes: short bars of varying
// length on regular lines, different on each page.
inline void MakeFax(const std::string& path, int pages) {
  std::vector<faxsvc::FaxPage> out;
  for (int p = 0; p < pages; ++p) {
    auto page = faxsvc::BlankPage();
    for (int line = 0; line < 40; ++line)
      for (int word = 0; word < 12; ++word) {
        int x0 = 120 + word * 125, len = 40 + ((line * 7 + word * 13 + p * 29) % 70), y0 = 150 + line * 50;
        for (int y = y0; y < y0 + 18; ++y)
          for (int x = x0; x < x0 + len; ++x) page.pixels[static_cast<std::size_t>(y) * page.width + x] = 1;
      }
    out.push_back(std::move(page));
  }
  std::string why;
  faxsvc::WriteFaxTiff(path, out, "", &why);
}

// The daemon next to the running program, or BREVANT_FAXD.
inline std::string FaxdPath() {
  if (const char* b = std::getenv("BREVANT_FAXD")) return b;
  namespace fs = std::filesystem;
  return (fs::path(fs::read_symlink("/proc/self/exe")).parent_path() / "brevant-faxd").string();
}

struct Daemon {
  pid_t pid = -1;
  std::string socket, state;
  // A fresh state folder unless one is given (a restart on the same state).
  void Start(const std::string& bin, const std::string& dir, std::string keepState = "") {
    state = keepState.empty()
                ? dir + "/state-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand())
                : keepState;
    socket = dir + "/faxd.sock";
    ::setenv("BREVANT_FAXD_SOCKET", socket.c_str(), 1);
    pid = ::fork();
    if (pid == 0) {
      int null = ::open("/dev/null", O_WRONLY);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::execl(bin.c_str(), bin.c_str(), "--state", state.c_str(), "--socket", socket.c_str(), nullptr);
      ::_exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      std::string err;
      if (platform::UniqueFd(faxsvc::ConnectSocket(socket, &err))) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  void Kill() {
    if (pid <= 0) return;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    pid = -1;
  }
  ~Daemon() {
    if (pid > 0) {
      ::kill(pid, SIGTERM);
      ::waitpid(pid, nullptr, 0);
    }
  }
};

}  // namespace brevant::bench
