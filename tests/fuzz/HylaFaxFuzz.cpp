// Fuzzes what a HylaFAX server says to Brevant, through the requests the
// fax server objects make: the input is the server's side of the control
// connection, a zero byte, then what each data connection carries ("PORTS"
// in a reply names this harness's data port). Every request ends in a
// reply or a FaxError, never in a crash, a hang or a listed item without id.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

#include "faxservice/client/HylaFax.h"
#include "tests/fuzz/FuzzWorld.h"
#include "tests/support/Loopback.h"

using namespace brevant;

namespace {

int g_control = -1, g_data = -1, g_controlPort = 0, g_dataPort = 0;

int Listen(int* port) {
  int fd = test::ListenLoopback(port);
  if (fd < 0) std::abort();
  return fd;
}

// Each control connection gets the whole script and then its end (so no
// reply is waited for in vain), each data connection the data; until
// `stop` is written to.
void Serve(const std::string& script, const std::string& data, int stop) {
  std::vector<int> open;
  auto sendAll = [](int fd, const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
  };
  for (;;) {
    std::vector<pollfd> p{{stop, POLLIN, 0}, {g_control, POLLIN, 0}, {g_data, POLLIN, 0}};
    for (int fd : open) p.push_back({fd, POLLIN, 0});
    if (::poll(p.data(), p.size(), 5000) <= 0 || p[0].revents) break;
    if (int fd; (p[1].revents & POLLIN) && (fd = ::accept4(g_control, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
      sendAll(fd, script);
      ::shutdown(fd, SHUT_WR);
      open.push_back(fd);
    }
    if (int fd; (p[2].revents & POLLIN) && (fd = ::accept4(g_data, nullptr, nullptr, SOCK_CLOEXEC)) >= 0) {
      sendAll(fd, data);
      ::close(fd);
    }
    char buf[4096];
    for (std::size_t i = 3; i < p.size(); ++i)
      if (p[i].revents && ::recv(p[i].fd, buf, sizeof buf, MSG_DONTWAIT) <= 0) {
        ::close(p[i].fd);
        std::erase(open, p[i].fd);
      }
  }
  for (int fd : open) ::close(fd);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzz::Dir();
  g_control = Listen(&g_controlPort);
  g_data = Listen(&g_dataPort);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string input = fuzz::Text(bytes, size);
  const std::size_t cut = input.find('\0');
  std::string script = input.substr(0, cut), data = cut == std::string::npos ? "" : input.substr(cut + 1);
  const std::string ports =
      "127,0,0,1," + std::to_string(g_dataPort / 256) + "," + std::to_string(g_dataPort % 256);
  for (std::size_t at; (at = script.find("PORTS")) != std::string::npos;) script.replace(at, 5, ports);
  int stop[2];
  if (::pipe(stop) != 0) std::abort();
  std::thread server(Serve, script, data, stop[0]);

  faxsvc::FaxServerSettings s;
  s.hylafax = true;
  s.host = "127.0.0.1";
  s.port = g_controlPort;
  s.password = "secret";
  s.timeoutMs = 500;
  auto service = faxsvc::MakeHylaFaxService(s);
  using faxsvc::Message;
  for (const Message& req :
       {Message("hello"), Message("jobs").Set("all", "1"), Message("jobs").Set("queue", "in"),
        Message("archive").Set("folder", "in"), Message("archive").Set("folder", "out"), Message("devices"),
        Message("device_set").Set("id", "1").Set("auto_answer", "1"), Message("queue_set").Set("paused", "1"),
        Message("events"), Message("job_op").Set("id", "1").Set("action", "pause"),
        Message("fax_open").Set("folder", "out").Set("id", "1"),
        Message("fax_open").Set("folder", "in").Set("id", "fax00001.tif")}) {
    int received = -1;
    try {
      Message r = service->Call(req, -1, &received);
      FUZZ_CHECK(r.Get("ok") == "1");
      for (int i = 1; i <= int(r.GetInt("count")); ++i) FUZZ_CHECK(!r.Item(i).Get("id").empty());
    } catch (const faxsvc::FaxError&) {
    }
    if (received >= 0) ::close(received);
  }
  service.reset();
  if (::write(stop[1], "x", 1) != 1) std::abort();
  server.join();
  ::close(stop[0]);
  ::close(stop[1]);
  ::unlink((fuzz::Dir() + "/Errors.log").c_str());  // the refusals the service logged
  return 0;
}
