// vestrel: the CUPS backend of the fax printer "Vestrel".
//
//   vestrel                                   discovery line for lpinfo
//   vestrel job user title copies options [file]
//
// The device URI (argv[0] or DEVICE_URI) names the spool folder:
// "vestrel:/home/ann/brevant/QuorSpool/", or one in each user's home,
// "vestrel:/~/.local/share/brevant/QuorSpool/?handoff=1" (see DeviceUri).
// Installed with mode 0700 it runs as root, takes on the job's user (or the
// spool folder's owner when the user is not known here) and renders as that
// user, so the pages belong to them and the backend never writes where they
// could not.
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/events/NamedEvent.h"
#include "platform/process/Process.h"
#include "tools/vestrel/Backend.h"

using namespace brevant::vestrel;

namespace {

void OnTerm(int) { RequestCancel(); }

// Becomes the job's user. Returns false (with a message) when that fails.
bool BecomeUser(const std::string& user, const std::string& spool, std::string* error) {
  if (::geteuid() != 0) return true;  // already running as somebody
  uid_t uid;
  gid_t gid;
  const passwd* pw = ::getpwnam(user.c_str());
  if (pw) {
    uid = pw->pw_uid;
    gid = pw->pw_gid;
  } else {
    struct stat st {};
    if (::stat(spool.c_str(), &st) != 0) return true;  // the render reports the folder
    uid = st.st_uid;
    gid = st.st_gid;
  }
  if (uid == 0) {
    // Root keeps its rights; only the group of new files follows the user.
    if (::setgid(gid) != 0) std::fprintf(stderr, "DEBUG: setgid(%d): %s\n", int(gid), std::strerror(errno));
    return true;
  }
  bool groups = pw ? ::initgroups(pw->pw_name, gid) == 0 : ::setgroups(1, &gid) == 0;
  if (::setgid(gid) != 0 || !groups || ::setuid(uid) != 0) {
    *error = std::string("cannot take on the job's user: ") + std::strerror(errno);
    return false;
  }
  return true;
}

// A private temporary file for the document; TMPDIR of the scheduler is not
// open to the job's user, so fall back to /tmp.
int MakeTemp(std::string* path) {
  for (const char* dir : {static_cast<const char*>(std::getenv("TMPDIR")), "/tmp"}) {
    if (!dir || !*dir) continue;
    std::string t = std::string(dir) + "/vestrel-XXXXXX";
    int fd = ::mkstemp(t.data());
    if (fd >= 0) {
      *path = t;
      return fd;
    }
  }
  return -1;
}

void OnPage(const std::string& path, int index) {
  std::fprintf(stderr, "PAGE: %d 1\n", index);
  std::fprintf(stderr, "DEBUG: wrote %s\n", path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stderr, nullptr, _IOLBF, 0);
  // cupsd starts backends with umask 077; pages are for the user's programs.
  ::umask(022);
  if (argc == 1) {
    std::printf("direct vestrel \"Unknown\" \"Vestrel fax printer (pages into a spool folder)\"\n");
    return kBackendOk;
  }
  if (argc < 6 || argc > 7) {
    std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
    return kBackendFailed;
  }
  struct sigaction sa {};
  sa.sa_handler = OnTerm;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  const char* uriEnv = std::getenv("DEVICE_URI");
  std::string uri = uriEnv && *uriEnv ? uriEnv : argv[0];
  // A copy of this program installed under another name serves the URI
  // scheme of that name (the tests run the build's backend that way).
  std::string scheme = brevant::platform::ExecutableName();
  DeviceUri device;
  if (!ParseDeviceUri(uri, scheme, &device)) {
    std::fprintf(stderr,
                 "ERROR: the device URI \"%s\" does not name a spool folder (vestrel:/path/, with "
                 "?handoff=1 and &events=/folder when wanted)\n",
                 uri.c_str());
    return kBackendFailed;
  }
  std::string spool = device.spoolFolder;
  if (spool.compare(0, 3, "/~/") == 0) {
    const passwd* pw = ::getpwnam(argv[2]);
    if (!pw || !pw->pw_dir || !*pw->pw_dir) {
      std::fprintf(stderr, "ERROR: the job's user \"%s\" has no home folder here for %s\n", argv[2], spool.c_str());
      return kBackendFailed;
    }
    spool = ExpandUserHome(spool, pw->pw_dir);
  }
  bool perUserSpool = spool != device.spoolFolder;

  int input = 0;
  if (argc == 7) {
    input = ::open(argv[6], O_RDONLY | O_CLOEXEC);
    if (input < 0) {
      std::fprintf(stderr, "ERROR: cannot open %s: %s\n", argv[6], std::strerror(errno));
      return kBackendFailed;
    }
  }
  std::string error;
  if (!BecomeUser(argv[2], spool, &error)) {
    std::fprintf(stderr, "ERROR: %s\n", error.c_str());
    return kBackendFailed;
  }

  // A spool folder in the user's home may not exist before Brevant's first run.
  if (perUserSpool) {
    std::error_code ec;
    std::filesystem::create_directories(spool, ec);
  }
  // Brevant's named events: where the URI says, else where the user's
  // desktop session keeps them.
  if (!device.eventsDir.empty()) ::setenv("BREVANT_RUNTIME_DIR", device.eventsDir.c_str(), 1);
  // A job printed while no Brevant process holds "FaxPrinter" came from
  // another application. With hand-off its pages go into a job folder of
  // their own, where the user's print agent picks them up and opens the
  // Send Fax wizard on them; otherwise they are kept in the spool folder
  // like any other, so the user's Brevant can take them over.
  bool fromApplication = !brevant::platform::NamedEvent::Exists("FaxPrinter");
  if (fromApplication)
    std::fprintf(stderr, "INFO: job %s was printed from another application\n", argv[1]);
  bool handOff = fromApplication && device.handoff;

  std::string doc;
  int tmp = MakeTemp(&doc);
  if (tmp < 0) {
    std::fprintf(stderr, "ERROR: cannot create a temporary file: %s\n", std::strerror(errno));
    return kBackendFailed;
  }
  bool copied = CopyWithoutPjl(input, tmp, &error);
  ::close(tmp);
  if (input != 0) ::close(input);
  if (!copied) {
    ::unlink(doc.c_str());
    std::fprintf(stderr, "ERROR: %s\n", error.c_str());
    return kBackendFailed;
  }

  std::fprintf(stderr, "STATE: +connecting-to-device\n");
  std::fprintf(stderr, "INFO: rendering into %s\n", handOff ? HandoffFolder(spool).c_str() : spool.c_str());
  RenderOptions o;
  o.document = doc;
  o.spoolFolder = spool;
  if (const char* gs = std::getenv("VESTREL_GS"); gs && *gs) o.ghostscript = gs;
  if (const char* t = std::getenv("VESTREL_TIMEOUT"); t && std::atol(t) > 0) o.timeoutMs = std::atol(t) * 1000;
  o.onPage = OnPage;
  std::string jobFolder;
  std::string jobId = argv[1];
  if (jobId.empty() || jobId.find_first_not_of("0123456789") != std::string::npos) jobId = "job";
  RenderResult r = handOff ? RenderForAgent(o, jobId, &jobFolder) : RenderToSpool(o);
  ::unlink(doc.c_str());
  std::fprintf(stderr, "STATE: -connecting-to-device\n");
  if (r.status != kBackendOk) {
    std::fprintf(stderr, "ERROR: %s\n", r.error.c_str());
    return r.status;
  }
  std::fprintf(stderr, "INFO: %zu page(s) in %s\n", r.pages.size(), handOff ? jobFolder.c_str() : spool.c_str());
  return kBackendOk;
}
