// brevant-faxd: the fax service daemon, and its command line.
//
//   brevant-faxd [--state DIR] [--socket PATH] [--admin-group GROUP] [--idle-timeout S] [--daemon]
//                                                           run the service
//   brevant-faxd call FILE.tif [--from NUMBER] [--wait]     ring the fax device
//   brevant-faxd status                                     devices and queue
//   brevant-faxd line KEY=VALUE...                          line and queue settings
//   brevant-faxd device [id=N] KEY=VALUE...                 a device's settings
//   brevant-faxd lines [add DEVICE | set ID | remove ID] [KEY=VALUE...]
//                                                           the fax lines (administrators)
//   brevant-faxd modem probe DEVICE [speed=N] [init=CMDS]   what a modem says about itself
//   brevant-faxd stop                                       end the service
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "faxservice/daemon/Daemon.h"
#include "faxservice/protocol/Protocol.h"
#include "faxservice/protocol/Service.h"
#include "platform/fs/Files.h"

using brevant::faxsvc::Message;

namespace {

brevant::faxd::Daemon* g_daemon = nullptr;
void OnSignal(int) {
  if (g_daemon) g_daemon->RequestStop();
}

int Usage() {
  std::cerr << "usage: brevant-faxd [--state DIR] [--socket PATH] [--admin-group GROUP]\n"
               "                    [--idle-timeout SECONDS] [--daemon]\n"
               "       brevant-faxd call FILE.tif [--from NUMBER] [--wait]\n"
               "       brevant-faxd status | stop | line KEY=VALUE... | device [id=N] KEY=VALUE...\n"
               "       brevant-faxd lines [list] | lines add DEVICE|sip [KEY=VALUE...] | lines set ID "
               "KEY=VALUE...\n"
               "       brevant-faxd lines remove ID | modem probe DEVICE [speed=N] [init=CMDS]\n";
  return 2;
}

// One request to the running daemon (with a document descriptor when
// passFd >= 0); prints the failure and returns false.
bool Request(const std::string& socket, const Message& req, Message* reply, int passFd = -1) {
  std::string error;
  brevant::platform::UniqueFd fd(brevant::faxsvc::ConnectSocket(socket, &error));
  if (!fd) {
    std::cerr << "brevant-faxd: " << error << "\n";
    return false;
  }
  std::string body;
  bool ok = brevant::faxsvc::WriteFrame(fd.get(), req.Encode(), passFd) &&
            brevant::faxsvc::ReadFrame(fd.get(), &body, 15000) == brevant::faxsvc::FrameResult::Ok &&
            Message::Decode(body, reply);
  fd.reset();
  if (!ok) {
    std::cerr << "brevant-faxd: no answer from the fax service\n";
    return false;
  }
  if (reply->Get("ok") != "1") {
    std::cerr << "brevant-faxd: " << reply->Get("error") << "\n";
    return false;
  }
  return true;
}

int RunDaemon(const brevant::faxd::DaemonOptions& options, bool background) {
  const std::string& state = options.stateDir;
  const std::string& socket = options.socketPath;
  if (background) {
    // Detach from the starting shell; the parent returns once the service
    // listens (or failed), so a start script knows which.
    int ends[2];
    if (::pipe(ends) != 0) return 1;
    brevant::platform::UniqueFd ready[2] = {brevant::platform::UniqueFd(ends[0]),
                                            brevant::platform::UniqueFd(ends[1])};
    pid_t pid = ::fork();
    if (pid < 0) return 1;
    if (pid > 0) {
      ready[1].reset();
      char c = 0;
      ssize_t n = ::read(ready[0].get(), &c, 1);
      return n == 1 && c == 'y' ? 0 : 1;
    }
    ready[0].reset();
    ::setsid();
    if (::fork() > 0) ::_exit(0);
    std::filesystem::create_directories(state);
    ::chmod(state.c_str(), 0700);
    int log =
        ::open((state + "/faxd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0600);
    int null = ::open("/dev/null", O_RDONLY);
    if (null >= 0) ::dup2(null, 0);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
    }
    brevant::faxd::Daemon d(options);
    std::string why;
    if (!d.Start(&why)) {
      std::cerr << "brevant-faxd: " << why << std::endl;
      [[maybe_unused]] ssize_t w = ::write(ready[1].get(), "n", 1);
      return 1;
    }
    [[maybe_unused]] ssize_t w = ::write(ready[1].get(), "y", 1);
    ready[1].reset();
    g_daemon = &d;
    ::signal(SIGTERM, OnSignal);
    ::signal(SIGINT, OnSignal);
    ::signal(SIGPIPE, SIG_IGN);
    d.Serve();
    g_daemon = nullptr;
    return 0;
  }
  brevant::faxd::Daemon d(options);
  std::string why;
  if (!d.Start(&why)) {
    std::cerr << "brevant-faxd: " << why << std::endl;
    return 1;
  }
  g_daemon = &d;
  ::signal(SIGTERM, OnSignal);
  ::signal(SIGINT, OnSignal);
  ::signal(SIGPIPE, SIG_IGN);
  std::cout << "brevant-faxd: listening on " << socket << " (state " << state << ")" << std::endl;
  d.Serve();
  g_daemon = nullptr;
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  brevant::faxd::DaemonOptions options;
  options.stateDir = brevant::faxd::DefaultStateDir();
  options.socketPath = brevant::faxsvc::DefaultSocketPath();
  std::string& socket = options.socketPath;
  std::vector<std::string> rest;
  bool background = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--state" && i + 1 < args.size())
      options.stateDir = args[++i];
    else if (args[i] == "--socket" && i + 1 < args.size())
      socket = args[++i];
    else if (args[i] == "--admin-group" && i + 1 < args.size())
      options.adminGroup = args[++i];
    else if (args[i] == "--idle-timeout" && i + 1 < args.size())
      options.idleTimeoutMs = std::atol(args[++i].c_str()) * 1000;
    else if (args[i] == "--daemon")
      background = true;
    else if (args[i] == "--help" || args[i] == "-h")
      return Usage();
    else
      rest.push_back(args[i]);
  }
  if (rest.empty()) return RunDaemon(options, background);

  const std::string cmd = rest[0];
  Message reply;
  if (cmd == "call") {
    if (rest.size() < 2) return Usage();
    std::string from;
    bool wait = false;
    for (std::size_t i = 2; i < rest.size(); ++i) {
      if (rest[i] == "--from" && i + 1 < rest.size())
        from = rest[++i];
      else if (rest[i] == "--wait")
        wait = true;
      else
        return Usage();
    }
    // The caller's document is read with the rights of whoever runs this
    // command, and handed to the service open.
    brevant::platform::UniqueFd doc;
    try {
      doc.reset(brevant::faxsvc::OpenDocument(rest[1]));
    } catch (const brevant::faxsvc::FaxError& e) {
      std::cerr << "brevant-faxd: " << e.what() << "\n";
      return 1;
    }
    bool placed =
        Request(socket, Message("call").Set("document", rest[1]).Set("from", from), &reply, doc.get());
    doc.reset();
    if (!placed) return 1;
    long long id = reply.GetInt("id");
    std::cout << "call " << id << " ringing" << std::endl;
    if (!wait) return 0;
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!Request(socket, Message("job").Set("id", id), &reply)) return 1;
      Message job = reply.Item(1);
      long long status = job.GetInt("status");
      if (status == brevant::faxsvc::kJobCompleted) {
        std::cout << "received " << job.Get("pages_sent") << " page(s) from " << job.Get("remote_id")
                  << std::endl;
        return 0;
      }
      if (status != brevant::faxsvc::kJobPending && status != brevant::faxsvc::kJobInProgress) {
        std::cout << "call ended: " << job.Get("error") << std::endl;
        return 1;
      }
    }
  }
  if (cmd == "status") {
    if (!Request(socket, Message("devices"), &reply)) return 1;
    std::string memory;  // the SIP lines' one T.38 memory, told to administrators
    for (int i = 1; i <= reply.GetInt("count"); ++i) {
      Message d = reply.Item(i);
      std::cout << "device " << d.Get("id") << ": " << d.Get("name") << ", receive mode "
                << d.Get("receive_mode") << ", " << d.Get("rings") << " rings"
                << (d.GetInt("ringing") ? ", ringing" : "") << ", " << d.Get("status") << "\n";
      if (d.Has("t38_memory"))
        memory = d.Get("t38_memory").empty() ? "no number called yet" : d.Get("t38_memory");
    }
    if (!memory.empty()) std::cout << "T.38 memory of the SIP lines: " << memory << "\n";
    Message paused;
    if (!Request(socket, Message("queue_get"), &paused)) return 1;
    std::cout << "outgoing queue: " << (paused.Get("paused") == "1" ? "paused" : "running") << "\n";
    std::cout << "disk: " << paused.Get("free_mb") << " MiB free";
    if (paused.GetInt("disk_low"))
      std::cout << ", under the " << paused.Get("reserve_mb")
                << " MiB the service keeps for its records: new faxes are refused";
    std::cout << "\n";
    if (!Request(socket, Message("jobs").Set("queue", "out"), &reply)) return 1;
    for (int i = 1; i <= reply.GetInt("count"); ++i) {
      Message j = reply.Item(i);
      std::cout << "job " << j.Get("id") << ": " << j.Get("number") << " " << j.Get("queue_status") << " "
                << j.Get("pages_sent") << "/" << j.Get("pages")
                << (j.Get("error").empty() ? "" : " - " + j.Get("error")) << "\n";
    }
    return 0;
  }
  if (cmd == "line" || cmd == "device") {
    // Without arguments the settings (line_get) or the devices; with
    // KEY=VALUE arguments a change (of device 1 unless id= says).
    bool line = cmd == "line";
    Message req(line ? "line_set" : "device_set");
    if (!line) req.Set("id", "1");
    for (std::size_t i = 1; i < rest.size(); ++i) {
      auto eq = rest[i].find('=');
      if (eq == std::string::npos) return Usage();
      req.Set(rest[i].substr(0, eq), rest[i].substr(eq + 1));
    }
    if (rest.size() == 1) req = Message(line ? "line_get" : "devices");
    if (!Request(socket, req, &reply)) return 1;
    if (line) {
      for (auto& [k, v] : reply.Fields())
        if (k != "ok") std::cout << k << "=" << v << "\n";
      return 0;
    }
    for (const Message& d : reply.Items()) {
      for (auto& [k, v] : d.Fields()) std::cout << k << "=" << v << "\n";
      std::cout << "\n";
    }
    return 0;
  }
  if (cmd == "lines" || cmd == "modem") {
    // lines [list]; lines add DEVICE [KEY=VALUE...]; lines set ID KEY=VALUE...;
    // lines remove ID; modem probe DEVICE [KEY=VALUE...].
    const std::string sub = rest.size() > 1 ? rest[1] : "list";
    Message req;
    std::size_t from = 2;
    if (cmd == "modem") {
      if (sub != "probe" || rest.size() < 3) return Usage();
      req = Message("modem_probe").Set("device", rest[2]);
      from = 3;
    } else if (sub == "list") {
      req = Message("lines");
    } else if (sub == "add" && rest.size() >= 3) {
      // "lines add kind=loopback" adds a line without a device; "lines add
      // sip KEY=VALUE..." a SIP line.
      req = Message("line_add");
      bool device = rest[2].find('=') == std::string::npos;
      if (rest[2] == "sip" || rest[2] == "loopback")
        req.Set("kind", rest[2]);
      else if (device)
        req.Set("device", rest[2]);
      from = device ? 3 : 2;
    } else if ((sub == "set" || sub == "remove") && rest.size() >= 3) {
      req = Message(sub == "set" ? "line_update" : "line_remove").Set("id", rest[2]);
      from = 3;
    } else {
      return Usage();
    }
    for (std::size_t i = from; i < rest.size(); ++i) {
      auto eq = rest[i].find('=');
      if (eq == std::string::npos || sub == "remove" || sub == "list") return Usage();
      std::string value = rest[i].substr(eq + 1);
      // "password=-" reads the password from the first line of standard
      // input, so that it shows in no process list.
      if (rest[i].substr(0, eq) == "password" && value == "-" && !std::getline(std::cin, value))
        return Usage();
      req.Set(rest[i].substr(0, eq), value);
    }
    if (!Request(socket, req, &reply)) return 1;
    if (sub == "list") {
      for (const Message& line : reply.Items()) {
        for (auto& [k, v] : line.Fields()) std::cout << k << "=" << v << "\n";
        std::cout << "\n";
      }
      return 0;
    }
    if (sub == "add")
      std::cout << "line " << reply.Get("id") << " added\n";
    else if (sub == "set")
      std::cout << "line " << reply.Get("id") << " changed\n";
    else if (sub == "remove")
      std::cout << "line " << reply.Get("id") << " removed\n";
    for (auto& [k, v] : reply.Fields())
      if (k != "ok" && k != "id") std::cout << k << "=" << v << "\n";
    return 0;
  }
  if (cmd == "stop") return Request(socket, Message("shutdown"), &reply) ? 0 : 1;
  return Usage();
}
