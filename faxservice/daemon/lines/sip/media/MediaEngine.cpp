// The media engine's event loops: each thread waits in epoll on a 20 ms
// timer and a wake-up for commands from other threads. Its calls' sockets
// sit in a second epoll that is only asked, on each tick, which of them
// have datagrams; those are read a batch per system call. One wake-up per
// tick for all calls, not one per datagram, and no reads of empty sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "faxservice/daemon/lines/sip/media/FaxMedia.h"
#include "faxservice/daemon/lines/sip/media/Session_p.h"
#include "platform/fs/Files.h"

namespace brevant::faxmedia {

namespace {

bool ToAddress(const std::string& host, int port, sockaddr_storage* out, socklen_t* len) {
  std::memset(out, 0, sizeof *out);
  auto* v4 = reinterpret_cast<sockaddr_in*>(out);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(out);
  if (port < 1 || port > 65535) return false;
  if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(std::uint16_t(port));
    *len = sizeof *v4;
    return true;
  }
  if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(std::uint16_t(port));
    *len = sizeof *v6;
    return true;
  }
  return false;
}

struct Worker;

}  // namespace

// One call's socket and session. The fields below `mu` are shared; the
// others belong to the loop thread.
struct MediaCall::State final : SessionEvents {
  std::shared_ptr<Worker> worker;
  std::function<void(int)> releasePort;
  platform::UniqueFd fd;
  int port = 0;

  sockaddr_storage remote{};
  socklen_t remoteLen = 0;
  std::unique_ptr<detail::Session> session;
  SessionEvents* user = nullptr;
  FaxReport working;

  mutable std::mutex mu;
  mutable std::condition_variable cv;
  FaxReport published;

  void Publish() {
    std::lock_guard<std::mutex> lock(mu);
    published = working;
    cv.notify_all();
  }
  // The session's events pass here first, so Report() shows progress.
  void PageConfirmed(int page) override {
    Publish();
    if (user) user->PageConfirmed(page);
  }
  void PageReceived(int pages) override {
    Publish();
    if (user) user->PageReceived(pages);
  }
  void ToneHeard(FaxTone tone) override {
    if (user) user->ToneHeard(tone);
  }
  // After the session's Datagram or Tick: a session that ended is reported
  // and let go.
  void CheckDone() {
    if (!session || !session->Done()) return;
    session.reset();
    working.finished = true;
    Publish();
    if (user) user->Finished(working);
  }
  void Close() {
    session.reset();
    fd.reset();
    if (releasePort) releasePort(port);
    releasePort = nullptr;
  }
};

namespace {

struct Worker {
  platform::UniqueFd epfd, timerfd, wakefd;
  platform::UniqueFd sockets;  // epoll of the calls' sockets, never waited on
  std::thread thread;
  double pace = 1;
  int silenceLimit = 0;
  int playoutMs = 0;

  std::mutex mu;
  bool running = false;
  std::vector<std::function<void()>> queue;

  std::vector<std::shared_ptr<MediaCall::State>> calls;  // loop thread only
  char timerTag = 0, wakeTag = 0;

  // Runs fn on the loop thread; false when the loop has ended.
  bool Post(std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(mu);
    if (!running) return false;
    queue.push_back(std::move(fn));
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakefd.get(), &one, sizeof one);
    return true;
  }

  // Hands the datagrams waiting on a call's socket to its session (or
  // drops them when it has none). Longer datagrams than any fax peer sends
  // are dropped too.
  static constexpr int kBatch = 16, kDatagram = 4096;
  std::vector<std::uint8_t> buffers = std::vector<std::uint8_t>(kBatch * kDatagram);
  void Drain(MediaCall::State& call) {
    mmsghdr msgs[kBatch];
    iovec iov[kBatch];
    for (int round = 0; round < 16 && call.fd; ++round) {
      for (int i = 0; i < kBatch; ++i) {
        iov[i] = {buffers.data() + i * kDatagram, kDatagram};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      const int n = ::recvmmsg(call.fd.get(), msgs, kBatch, MSG_DONTWAIT, nullptr);
      for (int i = 0; i < n && call.session; ++i) {
        if (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) continue;
        call.session->Datagram({buffers.data() + i * kDatagram, msgs[i].msg_len});
        call.CheckDone();
      }
      if (n < kBatch) return;
    }
  }

  void Run() {
    double credit = 0;
    epoll_event events[4];
    for (;;) {
      const int n = epoll_wait(epfd.get(), events, 4, -1);
      if (n < 0 && errno != EINTR) break;
      for (int i = 0; i < n; ++i) {
        void* tag = events[i].data.ptr;
        if (tag == &timerTag) {
          std::uint64_t expired = 0;
          if (::read(timerfd.get(), &expired, sizeof expired) != sizeof expired) continue;
          // Ticks missed under load are caught up (a second at most), so
          // line time keeps pace with the clock.
          credit += double(std::min<std::uint64_t>(expired, 50)) * pace;
          for (; credit >= 1; credit -= 1) {
            epoll_event ready[256];
            for (int got = 256; got == 256;) {
              got = epoll_wait(sockets.get(), ready, 256, 0);
              for (int r = 0; r < got; ++r) Drain(*static_cast<MediaCall::State*>(ready[r].data.ptr));
            }
            for (std::size_t c = 0; c < calls.size(); ++c) {
              auto& call = calls[c];
              // The next call's state is fetched from memory while this
              // one's session runs: hundreds of calls do not stay in cache.
              if (c + 1 < calls.size()) __builtin_prefetch(calls[c + 1].get());
              if (!call->session) continue;
              call->session->Tick();
              call->CheckDone();
            }
          }
        } else if (tag == &wakeTag) {
          std::uint64_t v;
          [[maybe_unused]] auto r = ::read(wakefd.get(), &v, sizeof v);
          std::vector<std::function<void()>> todo;
          {
            std::lock_guard<std::mutex> lock(mu);
            todo.swap(queue);
            if (!running) return;
          }
          for (auto& fn : todo) fn();
        }
      }
    }
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (!running) return;
      running = false;
      const std::uint64_t one = 1;
      [[maybe_unused]] auto n = ::write(wakefd.get(), &one, sizeof one);
    }
    if (thread.joinable()) thread.join();
    for (auto& c : calls) c->Close();
    calls.clear();
    queue.clear();
  }
};

}  // namespace

struct MediaEngine::Impl {
  EngineOptions options;
  std::vector<std::shared_ptr<Worker>> workers;
  std::size_t nextWorker = 0;
  std::shared_ptr<std::mutex> portsMu = std::make_shared<std::mutex>();
  std::shared_ptr<std::set<int>> ports = std::make_shared<std::set<int>>();
  int nextPort = 0;
};

MediaEngine::MediaEngine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

MediaEngine::~MediaEngine() {
  for (auto& w : impl_->workers) w->Stop();
}

std::unique_ptr<MediaEngine> MediaEngine::Start(const EngineOptions& options, std::string* why) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->options.firstPort += options.firstPort % 2;
  if (impl->options.firstPort < 1024 || options.lastPort > 65535 ||
      impl->options.firstPort > options.lastPort)
    return *why = "The media port range " + std::to_string(options.firstPort) + "-" +
                  std::to_string(options.lastPort) + " is not a range of UDP ports",
           nullptr;
  impl->nextPort = impl->options.firstPort;
  sockaddr_storage probe;
  socklen_t probeLen;
  if (!ToAddress(options.address, 1024, &probe, &probeLen))
    return *why = "The media address " + options.address + " is not a numeric IP address", nullptr;
  const int threads = std::clamp(options.threads, 1, 16);
  for (int i = 0; i < threads; ++i) {
    auto w = std::make_shared<Worker>();
    w->pace = options.pace > 0 ? options.pace : 1;
    w->silenceLimit = options.silenceLimitMs;
    w->playoutMs = options.playoutMs;
    w->epfd.reset(epoll_create1(EPOLL_CLOEXEC));
    w->timerfd.reset(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC));
    w->wakefd.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    w->sockets.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!w->epfd || !w->timerfd || !w->wakefd || !w->sockets)
      return *why = std::string("The media engine cannot start: ") + std::strerror(errno), nullptr;
    itimerspec tick{{0, 20'000'000}, {0, 20'000'000}};
    timerfd_settime(w->timerfd.get(), 0, &tick, nullptr);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = &w->timerTag;
    epoll_ctl(w->epfd.get(), EPOLL_CTL_ADD, w->timerfd.get(), &ev);
    ev.data.ptr = &w->wakeTag;
    epoll_ctl(w->epfd.get(), EPOLL_CTL_ADD, w->wakefd.get(), &ev);
    w->running = true;
    w->thread = std::thread([raw = w.get()] { raw->Run(); });
    impl->workers.push_back(std::move(w));
  }
  return std::unique_ptr<MediaEngine>(new MediaEngine(std::move(impl)));
}

std::unique_ptr<MediaCall> MediaEngine::Open(std::string* why) {
  Impl& m = *impl_;
  const int first = m.options.firstPort, last = m.options.lastPort;
  const int count = (last - first) / 2 + 1;
  platform::UniqueFd fd;
  int port = 0;
  std::shared_ptr<Worker> worker;
  {
    std::lock_guard<std::mutex> lock(*m.portsMu);
    for (int tried = 0; tried < count && !fd; ++tried) {
      const int p = m.nextPort;
      m.nextPort = p + 2 > last ? first : p + 2;
      if (m.ports->count(p)) continue;
      sockaddr_storage a;
      socklen_t len;
      ToAddress(m.options.address, p, &a, &len);
      platform::UniqueFd s(::socket(a.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
      if (!s) return *why = std::string("Cannot make a media socket: ") + std::strerror(errno), nullptr;
      // A port another program holds is passed over (s closes).
      if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), len) == 0) {
        fd = std::move(s);
        port = p;
        m.ports->insert(p);
      }
    }
    if (!fd)
      return *why = "No free media port in " + std::to_string(first) + "-" + std::to_string(last) + " (" +
                    std::to_string(m.ports->size()) + " in use by fax calls)",
             nullptr;
    worker = m.workers[m.nextWorker++ % m.workers.size()];
  }
  const int big = 1 << 18;
  setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &big, sizeof big);

  auto state = std::make_shared<MediaCall::State>();
  state->fd = std::move(fd);
  state->port = port;
  state->worker = std::move(worker);
  state->releasePort = [mu = m.portsMu, ports = m.ports](int p) {
    std::lock_guard<std::mutex> lock(*mu);
    ports->erase(p);
  };
  const bool posted = state->worker->Post([state] {
    Worker& w = *state->worker;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.ptr = state.get();
    epoll_ctl(w.sockets.get(), EPOLL_CTL_ADD, state->fd.get(), &ev);
    w.calls.push_back(state);
  });
  if (!posted) {
    state->Close();
    return *why = "The media engine has stopped", nullptr;
  }
  return std::unique_ptr<MediaCall>(new MediaCall(std::move(state)));
}

MediaCall::~MediaCall() {
  auto state = state_;
  const bool posted = state->worker->Post([state] {
    Worker& w = *state->worker;
    if (state->fd) epoll_ctl(w.sockets.get(), EPOLL_CTL_DEL, state->fd.get(), nullptr);
    state->Close();
    std::erase(w.calls, state);
  });
  if (!posted) state->Close();  // the engine has ended: the loop is gone
}

int MediaCall::LocalPort() const {
  return state_->port;
}

namespace {

// Starts a session of either kind on the loop thread: a running session
// (an audio call switching to T.38) ends without a report of its own and
// the new one goes on from the first page not yet confirmed.
bool StartSession(const std::shared_ptr<MediaCall::State>& state, const Endpoint& remote, const FaxJob& job,
                  SessionEvents* events, Transport transport,
                  std::function<std::unique_ptr<detail::Session>(const detail::SessionContext&, const FaxJob&,
                                                                 std::string*)>
                      make,
                  std::string* why) {
  sockaddr_storage addr;
  socklen_t len;
  if (!ToAddress(remote.host, remote.port, &addr, &len))
    return *why = "The far end's media address " + remote.host + ":" + std::to_string(remote.port) +
                  " is not a numeric address and port",
           false;
  int pages = 0;
  if (!detail::CheckJob(job, &pages, why)) return false;
  const bool posted = state->worker->Post([state, addr, len, job, events, transport, make] {
    Worker& w = *state->worker;
    state->remote = addr;
    state->remoteLen = len;
    state->user = events;
    FaxJob next = job;
    for (int page : state->working.pagesConfirmed) next.firstPage = std::max(next.firstPage, page + 1);
    state->session.reset();
    state->working.transport = transport;
    state->working.finished = false;
    detail::SessionContext ctx;
    MediaCall::State* raw = state.get();
    ctx.send = [raw](std::span<const std::uint8_t> d, int copies) {
      if (!raw->fd) return;
      // Most datagrams go once: sendto spares the kernel reading a message
      // header from us.
      if (copies <= 1) {
        ::sendto(raw->fd.get(), d.data(), d.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&raw->remote),
                 raw->remoteLen);
        return;
      }
      iovec iov{const_cast<std::uint8_t*>(d.data()), d.size()};
      mmsghdr msgs[8] = {};
      for (int i = 0; i < copies; ++i) {
        msgs[i].msg_hdr.msg_name = &raw->remote;
        msgs[i].msg_hdr.msg_namelen = raw->remoteLen;
        msgs[i].msg_hdr.msg_iov = &iov;
        msgs[i].msg_hdr.msg_iovlen = 1;
      }
      ::sendmmsg(raw->fd.get(), msgs, unsigned(copies), MSG_DONTWAIT);
    };
    ctx.events = raw;
    ctx.report = &state->working;
    ctx.silenceLimitSamples = int(std::lround(w.silenceLimit * 8.0));
    ctx.playoutDelay = int(std::lround(w.playoutMs * 8.0 * w.pace));
    std::string failed;
    state->session = make(ctx, next, &failed);
    if (!state->session) {
      state->working.finished = true;
      state->working.result = failed;
      state->Publish();
      if (events) events->Finished(state->working);
      return;
    }
    state->Publish();
  });
  if (!posted) *why = "The media engine has stopped";
  return posted;
}

}  // namespace

bool MediaCall::StartT38(const Endpoint& remote, const T38Params& params, const FaxJob& job,
                         SessionEvents* events, std::string* why) {
  return StartSession(
      state_, remote, job, events, Transport::kT38,
      [params](const detail::SessionContext& ctx, const FaxJob& j, std::string* w) {
        return detail::MakeT38Session(ctx, params, j, w);
      },
      why);
}

bool MediaCall::StartAudio(const Endpoint& remote, const AudioParams& params, const FaxJob& job,
                           SessionEvents* events, std::string* why) {
  return StartSession(
      state_, remote, job, events, Transport::kAudio,
      [params](const detail::SessionContext& ctx, const FaxJob& j, std::string* w) {
        return detail::MakeAudioSession(ctx, params, j, w);
      },
      why);
}

void MediaCall::Cancel() {
  auto state = state_;
  state->worker->Post([state] {
    if (!state->session) return;
    state->session->Stop("Cancelled");
    state->CheckDone();
  });
}

bool MediaCall::Wait(int ms) const {
  std::unique_lock<std::mutex> lock(state_->mu);
  return state_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return state_->published.finished; });
}

FaxReport MediaCall::Report() const {
  std::lock_guard<std::mutex> lock(state_->mu);
  return state_->published;
}

}  // namespace brevant::faxmedia
