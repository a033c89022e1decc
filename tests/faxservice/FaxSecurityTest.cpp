// The fax service as a hostile local user meets it: the root daemon must
// give no user root, another user's faxes, the administrators' controls, or
// the power to lock others out.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "common/Errors.h"
#include "faxservice/client/FaxService.h"
#include "tests/faxservice/FaxTestSupport.h"

namespace brevant {
namespace {

namespace fs = std::filesystem;
using faxsvc::Message;
using test::FaxDaemon;
using test::TestUser;
using test::TestWorld;

// A small disk (tmpfs) mounted on a folder for one test, and files of
// root's that fill it; unmounted at the end (lazily: the daemon may still
// hold it).
class SmallDisk {
 public:
  SmallDisk(const std::string& dir, const std::string& size) : dir_(dir) {
    fs::create_directories(dir);
    mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + size + ",mode=0700").c_str()) == 0;
  }
  ~SmallDisk() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }
  // Writes a new file until the disk is full.
  void Fill() {
    std::string path = dir_ + "/filler-" + std::to_string(fillers_.size());
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    std::vector<char> block(1 << 16, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    for (std::size_t n = 4096; n > 0; n /= 2)
      while (::write(fd, block.data(), n) > 0) {
      }
    ::close(fd);
    fillers_.push_back(path);
  }
  void Free() {
    for (const auto& f : fillers_) ::unlink(f.c_str());
    fillers_.clear();
  }

 private:
  std::string dir_;
  bool mounted_ = false;
  std::vector<std::string> fillers_;
};

// A fax of noise, which no coding makes small: about 1 MB a page.
std::string NoiseFax(const std::string& path, int pages) {
  std::vector<faxsvc::FaxPage> out(static_cast<std::size_t>(pages), faxsvc::BlankPage());
  std::mt19937 bits(7);
  for (auto& page : out)
    for (auto& px : page.pixels) px = bits() & 1;
  std::string why;
  return faxsvc::WriteFaxTiff(path, out, "", &why) ? path : "";
}

class Hostile : public test::FaxUsers {
 protected:
  void Start() { ASSERT_TRUE(daemon.Start()); }
  // A fax TIFF of the user's own, readable by them only.
  std::string UserFax(const TestUser& u, const std::string& name, int pages) {
    std::string path = shared.Path() + "/" + u.Name() + "-" + name;
    test::MakeFaxTiff(path, pages);
    EXPECT_EQ(::chown(path.c_str(), u.Uid(), u.Gid()), 0);
    return path;
  }
  Message AsRaw(const TestUser& u, const Message& req) {
    Message reply;
    Message::Decode(u.Run([&] { return daemon.Raw(req).Encode(); }), &reply);
    return reply;
  }
  bool Settled(const std::string& id) { return daemon.WaitJob(id, faxsvc::kJobCompleted); }
};

TEST_F(Hostile, ArchivesAreTheServicesAloneAndLinksLeftInThemAreNeverFollowed) {
  // An archive folder everyone may write is not used: the report says why,
  // and the fax is sent again from the queue's copy.
  std::string open = shared.Path() + "/open-archive";
  ::mkdir(open.c_str(), 0755);
  ::chmod(open.c_str(), 01777);
  faxsvc::RegisterFaxFolder(false, open);
  Start();
  std::string fax = UserFax(alice, "a.tif", 1);
  std::string first = As(alice, Message("submit").Set("file", fax).Set("number", "555 0101")).Get("id");
  ASSERT_TRUE(Settled(first));
  EXPECT_NE(daemon.Job(first).Get("error").find("may be written by other users"), std::string::npos)
      << daemon.Job(first).Get("error");
  EXPECT_TRUE(fs::exists(daemon.Job(first).Get("file")));
  EXPECT_NE(daemon.Archive("out").Item(1).Get("archive_error"), "");
  Message again = daemon.Call(Message("resend").Set("id", daemon.Archive("out").Item(1).Get("id")));
  ASSERT_EQ(again.Get("ok"), "1") << again.Get("error");
  ASSERT_TRUE(Settled(again.Get("id")));
  EXPECT_EQ(daemon.Call(Message("farend")).GetInt("count"), 2);
  EXPECT_TRUE(fs::is_empty(open));

  // Links left in the service's own folder at every name the next fax could
  // get: to a file of root's, and to one that does not exist yet.
  std::string sent = world.Root() + "/fax/Sent2", victim = world.Root() + "/victim",
              created = world.Root() + "/made-by-root";
  ::mkdir((world.Root() + "/fax").c_str(), 0755);
  ::mkdir(sent.c_str(), 0750);
  TestWorld::WriteFile(victim, "precious");
  faxsvc::RegisterFaxFolder(false, sent);
  long long next = std::stoll(again.Get("id")) + 1;
  std::time_t now = std::time(nullptr);
  for (std::time_t t = now - 2; t < now + 90; ++t) {
    char stamp[32];
    std::tm tm{};
    localtime_r(&t, &tm);
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    std::string name = sent + "/" + stamp + "-" + std::to_string(next) + ".tif";
    ::symlink((t % 2 ? victim : created).c_str(), name.c_str());
  }
  std::string second = As(alice, Message("submit").Set("file", fax).Set("number", "555 0102")).Get("id");
  ASSERT_EQ(second, std::to_string(next));
  ASSERT_TRUE(Settled(second));
  EXPECT_EQ(TestWorld::ReadFile(victim), "precious");
  EXPECT_FALSE(fs::exists(created));
  std::string path = daemon.Archive("out").Item(3).Get("path");
  EXPECT_EQ(TestWorld::Owner(path), "0 600") << path;
  EXPECT_EQ(test::ReadPages(path).size(), 1u);

  // The service's own folders and files are its alone.
  for (const char* d : {"", "/queue", "/farend", "/incoming"})
    EXPECT_EQ(TestWorld::Owner(daemon.StateDir() + d), "0 700") << d;
  for (const char* f : {"/faxd.db", "/faxd.db-wal", "/faxd.db-shm"})
    EXPECT_EQ(TestWorld::Owner(daemon.StateDir() + f), "0 600") << f;
  for (auto& e : fs::directory_iterator(daemon.StateDir() + "/farend"))
    EXPECT_EQ(TestWorld::Owner(e.path()), "0 600");
  EXPECT_EQ(As(alice, Message("farend")).GetInt("errno"), 70);
}

TEST_F(Hostile, UsersSeeAndActOnlyOnTheirOwnJobsAndFaxes) {
  Start();
  daemon.Call(Message("queue_set").Set("paused", "1"));
  std::string fax = UserFax(alice, "mine.tif", 2);
  Message sub = As(alice, Message("submit")
                              .Set("file", fax)
                              .Set("number", "555 0200")
                              .Set("note", "alice's secret")
                              .Set("billing_code", "4711"));
  ASSERT_EQ(sub.Get("ok"), "1") << sub.Get("error");
  const std::string id = sub.Get("id");

  // Bob: nothing of Alice's, and no way to tell her job from none at all.
  EXPECT_EQ(As(bob, Message("jobs").Set("queue", "out").Set("all", "1")).GetInt("count"), 0);
  for (const std::string& jid : {id, std::string("99999")})
    EXPECT_EQ(As(bob, Message("job").Set("id", jid)).Get("error"), "no fax job " + jid);
  for (const char* action : {"cancel", "pause"})
    EXPECT_EQ(As(bob, Message("job_op").Set("id", id).Set("action", action)).Get("error"),
              "no fax job " + id);
  Message events = As(bob, Message("events"));
  for (const Message& e : events.Items()) EXPECT_NE(e.Get("job_id"), id) << e.Get("text");
  EXPECT_EQ(daemon.Job(id).GetInt("status"), faxsvc::kJobPending);
  // The queue holds root's private copy of her fax, page for page.
  const std::string queued = daemon.Job(id).Get("file");
  EXPECT_EQ(TestWorld::Owner(queued), "0 600") << queued;
  EXPECT_EQ(faxsvc::PixelDifference(test::ReadPages(queued).at(1), test::ReadPages(fax).at(1)), 0.0);
  // Alice sees her job with its fields; the administrators see it too.
  Message mine = As(alice, Message("jobs").Set("queue", "out"));
  ASSERT_EQ(mine.GetInt("count"), 1);
  EXPECT_NE(mine.Item(1).Get("props").find("alice's secret"), std::string::npos);
  EXPECT_EQ(As(boss, Message("jobs").Set("queue", "out")).GetInt("count"), 1);

  daemon.Call(Message("queue_set").Set("paused", "0"));
  ASSERT_TRUE(Settled(id));
  // Her sent fax comes to her through the service, as a copy she owns in
  // the folder the import reads, with the archive's name and the fax's time.
  std::string home = shared.Path() + "/alice";
  ::mkdir(home.c_str(), 0700);
  ASSERT_EQ(::chown(home.c_str(), alice.Uid(), alice.Gid()), 0);
  Message archived = daemon.Archive("out").Item(1);
  EXPECT_EQ(alice.Run([&] {
    faxsvc::FaxServer server;
    server.Connect("");
    try {
      return std::to_string(faxsvc::MirrorArchive(server, false, home + "/Sent"));
    } catch (const std::exception& e) {
      return std::string(e.what());
    }
  }),
            "1");
  std::string copy = home + "/Sent/" + fs::path(archived.Get("path")).filename().string();
  EXPECT_EQ(TestWorld::Owner(copy), std::to_string(alice.Uid()) + " 600");
  EXPECT_EQ(test::ReadPages(copy).size(), 2u);
  struct stat st {};
  ::stat(copy.c_str(), &st);
  EXPECT_NEAR(static_cast<double>(st.st_mtime), archived.GetReal("ended"), 1.0);
  std::string sentId = archived.Get("id");
  EXPECT_EQ(As(bob, Message("archive").Set("folder", "out")).GetInt("count"), 0);
  for (const std::string& fid : {sentId, std::string("99999")})
    EXPECT_EQ(As(bob, Message("fax_open").Set("folder", "out").Set("id", fid)).Get("error"),
              "no fax " + fid + " in this folder");
  // And not through the files: the database and archive are not hers.
  EXPECT_EQ(bob.Run([&] {
    return std::to_string(::open((daemon.StateDir() + "/faxd.db").c_str(), O_RDONLY)) + " " +
           std::to_string(::open(archived.Get("path").c_str(), O_RDONLY));
  }),
            "-1 -1");

  // A received fax routed to Alice is hers.
  daemon.Call(Message("device_set")
                  .Set("id", 1)
                  .Set("route_to", alice.Name())
                  .Set("receive_mode", 1)
                  .Set("rings", 0));
  ASSERT_EQ(daemon.Call(Message("call").Set("file", fax).Set("from", "555 9999")).Get("ok"), "1");
  ASSERT_TRUE(test::WaitFor([&] { return daemon.Archive("in").GetInt("count") == 1; }, 30));
  EXPECT_EQ(As(alice, Message("archive").Set("folder", "in")).GetInt("count"), 1);
  EXPECT_EQ(As(bob, Message("archive").Set("folder", "in")).GetInt("count"), 0);
}

TEST_F(Hostile, AdministrationIsRefusedToUsersAndLeftToTheAdministrators) {
  Start();
  std::string fax = UserFax(alice, "x.tif", 1);
  const Message attempts[] = {
      Message("device_set").Set("id", 1).Set("receive_mode", 1),
      Message("line_set").Set("retries", "9"),
      Message("queue_set").Set("paused", "1"),
      Message("answer").Set("id", 1),
      Message("call").Set("file", fax),
      Message("farend"),
      Message("shutdown"),
  };
  for (const Message& m : attempts) {
    Message r = As(alice, m);
    EXPECT_EQ(r.GetInt("errno"), 70) << m.Get("op") << ": " << r.Get("error");
  }
  // Nothing changed, and the service still serves.
  EXPECT_EQ(daemon.Call(Message("line_get")).Get("retries"), "3");
  EXPECT_EQ(daemon.Call(Message("queue_get")).Get("paused"), "0");
  EXPECT_EQ(daemon.Call(Message("devices")).Item(1).GetInt("receive_mode"), faxsvc::kReceiveManual);
  EXPECT_EQ(daemon.Call(Message("jobs").Set("queue", "in").Set("all", "1")).GetInt("count"), 0);
  // A member of the administrators' group may; so may root.
  EXPECT_EQ(As(boss, Message("line_set").Set("retries", "5")).Get("ok"), "1");
  EXPECT_EQ(daemon.Call(Message("line_get")).Get("retries"), "5");
  EXPECT_EQ(As(boss, Message("shutdown")).Get("ok"), "1");
  EXPECT_TRUE(daemon.WaitForExit(15));
}

TEST_F(Hostile, DocumentsArriveOnlyAsDescriptorsTheUserOpened) {
  Start();
  std::string secret = shared.Path() + "/root-secret.tif", missing = shared.Path() + "/missing.tif";
  test::MakeFaxTiff(secret, 1);  // root's, mode 0600
  // The service opens no path a client names: refused alike, existing or not.
  for (const char* op : {"call", "submit"}) {
    Message a = daemon.Raw(Message(op).Set("file", secret).Set("number", "1"));
    Message b = daemon.Raw(Message(op).Set("file", missing).Set("number", "1"));
    EXPECT_EQ(a.Get("ok"), "0");
    EXPECT_EQ(a.Encode(), b.Encode()) << op;
    EXPECT_EQ(AsRaw(alice, Message(op).Set("file", secret).Set("number", "1")).Get("error"),
              AsRaw(alice, Message(op).Set("file", missing).Set("number", "1")).Get("error"));
  }
  EXPECT_EQ(daemon.Call(Message("jobs").Set("queue", "in").Set("all", "1")).GetInt("count"), 0);
  EXPECT_EQ(daemon.Call(Message("jobs").Set("queue", "out").Set("all", "1")).GetInt("count"), 0);
  // What the user opens must be a regular file of bounded size: a FIFO,
  // /dev/zero and a sparse 65 MiB file are refused without being read.
  std::string fifo = shared.Path() + "/fifo", sparse = shared.Path() + "/sparse.tif";
  ::mkfifo(fifo.c_str(), 0666);
  int s = ::open(sparse.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_EQ(::ftruncate(s, 65ll << 20), 0);
  ::close(s);
  std::string refusals = alice.Run([&] {
    faxsvc::FaxServer server;
    server.Connect("");
    std::string out;
    for (const std::string& path : {fifo, std::string("/dev/zero"), sparse}) {
      try {
        auto doc = server.CreateDocument(path);
        doc->FaxNumber = "1";
        doc->Send();
        out += "sent|";
      } catch (const faxsvc::FaxError& e) {
        out += std::string(e.what()).substr(0, 40) + "|";
      }
    }
    int dir = ::open("/", O_RDONLY | O_DIRECTORY);
    out += daemon.Raw(Message("submit").Set("number", "1"), dir).Get("error");
    return out;
  });
  auto unreadable40 = [](const std::string& path) {
    return ("cannot read the document " + path + ": it does not exist").substr(0, 40) + "|";
  };
  EXPECT_EQ(refusals, unreadable40(fifo) + unreadable40("/dev/zero") +
                          "the document is larger than 64 MiB|the document is not a regular file");
  EXPECT_TRUE(fs::is_empty(daemon.StateDir() + "/queue"));
}

// n connections opened by the user's process, handed to the test.
std::vector<int> ConnectionsOf(const TestUser& u, const std::string& socket, int n) {
  int sp[2];
  ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sp);
  u.Run([&] {
    for (int i = 0; i < n; ++i) {
      std::string err;
      int fd = faxsvc::ConnectSocket(socket, &err);
      faxsvc::WriteFrame(sp[1], "x", fd);
      if (fd >= 0) ::close(fd);
    }
    return std::string();
  });
  ::close(sp[1]);
  std::vector<int> fds;
  for (int i = 0; i < n; ++i) {
    std::string body;
    int fd = -1;
    if (faxsvc::ReadFrame(sp[0], &body, 1000, 1000, &fd) == faxsvc::FrameResult::Ok && fd >= 0)
      fds.push_back(fd);
  }
  ::close(sp[0]);
  return fds;
}

// Whether the service closes the connection (nothing left to read, then
// its end) before `until`.
bool ClosedBefore(int fd, std::chrono::steady_clock::time_point until) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
  pollfd p{fd, POLLIN | POLLRDHUP, 0};
  char c;
  return ::poll(&p, 1, static_cast<int>(std::max<long>(0, left.count()))) == 1 &&
         ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

TEST_F(Hostile, OneUsersIdleConnectionsLockNobodyOutAndAreClosed) {
  daemon.SetIdleTimeout(2);
  Start();
  const auto connected = std::chrono::steady_clock::now();
  std::vector<int> held = ConnectionsOf(alice, daemon.Socket(), 64);
  ASSERT_EQ(held.size(), 64u);
  // The service takes 16 of them; the others are told why and closed.
  int served = 0;
  for (int fd : held) {
    std::string body;
    Message m;
    if (faxsvc::ReadFrame(fd, &body, 50) != faxsvc::FrameResult::Ok || !Message::Decode(body, &m) ||
        m.Get("error").find("too many connections of your user") == std::string::npos)
      ++served;
  }
  EXPECT_EQ(served, 16);
  EXPECT_EQ(As(bob, Message("hello")).Get("ok"), "1");
  EXPECT_EQ(daemon.Call(Message("hello")).Get("ok"), "1");
  // Idle ones are closed once the idle time has passed, and Alice is
  // served again.
  int closed = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (int fd : held) closed += ClosedBefore(fd, until);
  EXPECT_GE(std::chrono::steady_clock::now() - connected, std::chrono::seconds(2));
  for (int fd : held) ::close(fd);
  EXPECT_EQ(closed, 64);
  EXPECT_EQ(As(alice, Message("hello")).Get("ok"), "1");
  // The client library reconnects by itself after an idle spell.
  auto sockets = [] {
    std::set<std::string> fds;
    std::error_code ec;  // the listing's own descriptor is gone when it is read
    for (const auto& e : fs::directory_iterator("/proc/self/fd"))
      if (fs::read_symlink(e.path(), ec).string().rfind("socket:", 0) == 0) fds.insert(e.path().filename());
    return fds;
  };
  EXPECT_EQ(alice.Run([&] {
    const auto before = sockets();
    faxsvc::FaxServer server;
    server.Connect("");
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (const auto& fd : sockets())  // its connection, closed by the service
      if (!before.count(fd) && !ClosedBefore(std::stoi(fd), until)) return std::string("left open");
    return server.Call(Message("hello")).Get("ok");
  }),
            "1");
}

TEST_F(Hostile, HostileDocumentsAndRequestsCostBoundedMemoryAndTime) {
  Start();
  daemon.Call(Message("queue_set").Set("paused", "1"));
  // 20 white pages of the longest a fax may have: a few kB of G4 that
  // would decode to 700 MB, checked without decoding whole pages.
  std::string tall = shared.Path() + "/one-tall.tif", tiny = shared.Path() + "/tall.tif";
  {
    faxsvc::FaxPage page;
    page.width = 1728;
    page.height = static_cast<int>(faxsvc::kMaxFaxRows);
    page.pixels.assign(static_cast<std::size_t>(page.width) * page.height, 0);
    std::string why;
    ASSERT_TRUE(faxsvc::WriteFaxTiff(tall, {page}, "", &why)) << why;
    ASSERT_TRUE(faxsvc::ConcatFaxTiffs(std::vector<std::string>(20, tall), tiny, &why)) << why;
  }
  ::chown(tiny.c_str(), alice.Uid(), alice.Gid());
  EXPECT_LT(fs::file_size(tiny), 200000u);
  long before = test::PeakMemoryKb(daemon.Pid());
  Message r =
      As(alice, Message("submit").Set("file", tiny).Set("number", "555 0300").Set("server_cover", "1"));
  ASSERT_EQ(r.Get("ok"), "1") << r.Get("error");
  EXPECT_EQ(r.GetInt("pages"), 20);
  // Less than one such page would take decoded (1728 x 20,000 bytes).
  EXPECT_LT(test::PeakMemoryKb(daemon.Pid()) - before, 24 * 1024) << "kB more at the daemon's peak";

  // 170,000 fields in one 1 MiB request: refused at once, unread.
  std::string body = "op=hello\n";
  for (int i = 0; body.size() < faxsvc::kMaxBody - 8; ++i) body += std::to_string(i) + "=\n";
  std::string err;
  int fd = faxsvc::ConnectSocket(daemon.Socket(), &err);
  ASSERT_GE(fd, 0) << err;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(faxsvc::WriteFrame(fd, body));
  std::string reply;
  ASSERT_EQ(faxsvc::ReadFrame(fd, &reply, 10000), faxsvc::FrameResult::Ok);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_NE(reply.find("malformed message"), std::string::npos) << reply.substr(0, 200);
  ::close(fd);

  // A note too long is refused; the longest notes allowed on many jobs make
  // a list of jobs come in pages the client library follows.
  std::string fax = UserFax(alice, "n.tif", 1);
  Message huge =
      As(alice,
         Message("submit").Set("file", fax).Set("number", "555 0301").Set("note", std::string(1000000, 'n')));
  EXPECT_NE(huge.Get("error").find("\"note\" is longer than 8192"), std::string::npos) << huge.Get("error");
  std::string listed = alice.Run([&] {
    faxsvc::FaxServer server;
    server.Connect("");
    for (int i = 0; i < 140; ++i) {
      auto doc = server.CreateDocument(fax);
      doc->FaxNumber = "555 0302";
      doc->CoverpageNote = std::string(8192, 'a' + i % 26);
      doc->SenderAddress = std::string(512, 's');
      doc->Send();
    }
    Message one = server.Call(Message("jobs").Set("queue", "out"));
    return std::to_string(server.Folders().OutgoingQueue.GetJobs().Count()) + " " + one.Get("more") + " " +
           std::to_string(one.GetInt("count") < 141);
  });
  EXPECT_EQ(listed, "141 1 1");
}

TEST_F(Hostile, EachUserHasAShareOfTheQueueAndTheServiceKeepsRoomForItsRecords) {
  SmallDisk disk(daemon.StateDir(), "20m");
  if (!disk.Mounted()) GTEST_SKIP() << "no tmpfs here";
  Start();
  Message shares = Message("line_set").Set("quota_jobs", "3").Set("quota_mb", "5").Set("reserve_mb", "4");
  ASSERT_EQ(As(boss, shares).Get("ok"), "1");
  daemon.Call(Message("queue_set").Set("paused", "1"));
  // Alice queues faxes of noise: her share is 3 faxes and 5 MiB.
  std::string big = NoiseFax(shared.Path() + "/noise.tif", 2), tiny = UserFax(alice, "tiny.tif", 1);
  ::chown(big.c_str(), alice.Uid(), alice.Gid());
  auto submit = [&](const TestUser& u, const std::string& doc) {
    Message r = As(u, Message("submit").Set("file", doc).Set("number", "555 0500").Set("discount", "1"));
    return r.Get("ok") == "1" ? r.Get("id") : r.Get("error");
  };
  std::vector<std::string> ids{submit(alice, big), submit(alice, big)};
  EXPECT_EQ(submit(alice, big),
            "not enough room in the queue: your faxes there would take 6 MiB, and each user may keep 5 MiB"
            " (the fax service's quota_mb)");
  ids.push_back(submit(alice, tiny));
  EXPECT_EQ(submit(alice, tiny),
            "too many faxes in the queue: you have 3 waiting to be sent, and each user may have 3"
            " (the fax service's quota_jobs)");
  for (const std::string& id : ids) EXPECT_EQ(daemon.Job(id).GetInt("status"), faxsvc::kJobPending) << id;

  // Whatever fills the disk, the service keeps its reserve: a new fax is
  // refused, and everybody sees why.
  disk.Fill();
  EXPECT_EQ(submit(bob, UserFax(bob, "b.tif", 1)),
            "no room for the fax on the fax service's disk: 0 MiB free, and the service keeps 4 MiB for its"
            " records (a fax administrator must free space)");
  Message queue = As(bob, Message("queue_get"));
  EXPECT_EQ(queue.Get("disk_low") + " " + queue.Get("reserve_mb"), "1 4");
  // Status and cancel still work; a cancelled fax gives up its copy to make
  // room.
  EXPECT_EQ(As(alice, Message("jobs").Set("queue", "out")).GetInt("count"), 3);
  Message cancelled = As(alice, Message("job_op").Set("id", ids[0]).Set("action", "cancel"));
  ASSERT_EQ(cancelled.Get("ok"), "1") << cancelled.Get("error");
  EXPECT_EQ(cancelled.Item(1).GetInt("status"), faxsvc::kJobCanceled);
  EXPECT_NE(cancelled.Item(1).Get("error").find("removed from the queue to make room"), std::string::npos);
  EXPECT_EQ(std::distance(fs::directory_iterator(daemon.StateDir() + "/queue"), fs::directory_iterator()), 2);
  disk.Free();
  EXPECT_EQ(daemon.Job(submit(bob, UserFax(bob, "c.tif", 1))).GetInt("status"), faxsvc::kJobPending);
}

TEST(FaxServiceDisk, AFullDiskEndsNeitherACallNorTheServiceAndTheFaxIsFiledOnceThereIsRoom) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting needs root";
  TestWorld world;
  FaxDaemon daemon(world);
  SmallDisk disk(daemon.StateDir(), "20m");
  if (!disk.Mounted()) GTEST_SKIP() << "no tmpfs here";
  // The far end keeps its pages elsewhere, as a real one does.
  SmallDisk farEnd(daemon.StateDir() + "/farend", "20m");
  daemon.CaptureStderr();
  ASSERT_TRUE(daemon.Start());
  daemon.Call(Message("line_set").Set("pace", "1").Set("reserve_mb", "1"));
  ASSERT_TRUE(test::WaitFor([&] { return fs::exists(daemon.StateDir() + "/reserve"); }, 10));
  std::string fax = test::MakeFaxTiff(world.TempDir() + "/a.tif", 2);
  const std::string a = daemon.Call(Message("submit").Set("file", fax).Set("number", "555 0600")).Get("id"),
                    b = daemon.Call(Message("submit").Set("file", fax).Set("number", "555 0601")).Get("id");
  ASSERT_TRUE(daemon.WaitJob(a, faxsvc::kJobInProgress));
  // The disk fills while the fax is on the line, the reserve file too.
  disk.Fill();
  ASSERT_EQ(daemon.Call(Message("line_set").Set("pace", "1")).Get("ok"), "1");
  disk.Fill();
  // The far end's confirmations cannot be recorded, nor the fax filed: the
  // call and the service go on, and the fax is kept for later.
  auto said = [&](const std::string& text) { return daemon.Stderr().find(text) != std::string::npos; };
  EXPECT_TRUE(test::WaitFor([&] { return said("not in the event history"); }, 60)) << daemon.Stderr();
  EXPECT_TRUE(said("page 1 of job " + a + " not recorded")) << daemon.Stderr();
  EXPECT_FALSE(daemon.WaitForExit(0));
  EXPECT_EQ(daemon.Call(Message("jobs").Set("queue", "out")).GetInt("count"), 2);

  // Stopped and started again on the full disk, the service says so and
  // serves: status, and a cancel that gives up the fax's copy.
  daemon.Stop();
  const std::size_t before = daemon.Stderr().size();
  ASSERT_TRUE(daemon.Start());
  EXPECT_NE(daemon.Stderr().find("is full", before), std::string::npos) << daemon.Stderr();
  EXPECT_EQ(daemon.Call(Message("queue_get")).Get("disk_low"), "1");
  Message cancel = daemon.Call(Message("job_op").Set("id", b).Set("action", "cancel"));
  EXPECT_EQ(cancel.Item(1).GetInt("status"), faxsvc::kJobCanceled) << cancel.Get("error");
  // Once there is room the cut-off fax goes again and is filed.
  disk.Free();
  daemon.Call(Message("line_set").Set("pace", "0"));
  EXPECT_TRUE(daemon.WaitJob(a, faxsvc::kJobCompleted, 60)) << daemon.Job(a).Get("error");
  EXPECT_EQ(daemon.Call(Message("queue_get")).Get("disk_low"), "0");
}

TEST(FaxServiceDisk, AFullDiskIsToldAsSuch) {
  TestWorld world;
  FaxDaemon daemon(world);
  std::string queue = world.Root() + "/faxd/queue";
  fs::create_directories(queue);
  ::chmod((world.Root() + "/faxd").c_str(), 0700);
  if (::mount("tmpfs", queue.c_str(), "tmpfs", 0, "size=64k,mode=0700") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
  ASSERT_TRUE(daemon.Start());
  std::string fax = test::MakeFaxTiff(world.TempDir() + "/big.tif", 20);
  ASSERT_GT(fs::file_size(fax), 64u * 1024);
  Message r = daemon.Call(Message("submit").Set("file", fax).Set("number", "555 0400"));
  daemon.Stop();
  ::umount2(queue.c_str(), MNT_DETACH);
  EXPECT_EQ(r.Get("error"), "cannot queue the fax: No space left on device");
}

}  // namespace
}  // namespace brevant
