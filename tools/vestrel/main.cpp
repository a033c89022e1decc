// vestrel: the CUPS backend of the fax printer "Vestrel".
//
//   vestrel                                   discovery line for lpinfo
//   vestrel job user title copies options [file]
//
// The device URI (argv[0] or DEVICE_URI) names the spool folder:
// "vestrel:/home/ann/brevant/QuorSpool/", or one in each user's home,
// "vestrel:/~/.local/share/brevant/QuorSpool/?handoff=1", where a build
// tree's queue adds "&programdir=/src/build/bin" for the users whose Brevant
// keeps its files there (see DeviceUri).
// Installed with mode 0700 it runs as root and asks the scheduler who
// printed the job (see JobUser.h): it becomes that user before it reads the
// document, renders as them and writes only into a spool folder that is
// theirs. A job of root is rendered as "lp" (root only writes the pages), and
// a job whose user the scheduler did not authenticate is treated as lp's.
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

#include "platform/env/Environment.h"
#include "platform/events/NamedEvent.h"
#include "platform/fs/Files.h"
#include "platform/fs/SafeFiles.h"
#include "platform/fs/TempFiles.h"
#include "platform/process/Process.h"
#include "tools/vestrel/Backend.h"
#include "tools/vestrel/JobUser.h"

using namespace brevant::vestrel;

namespace {

void OnTerm(int) {
  RequestCancel();
}

struct Account {
  std::string name;
  uid_t uid = uid_t(-1);
  gid_t gid = gid_t(-1);
  std::string home;
};

bool Lookup(const passwd* pw, Account* a) {
  if (!pw) return false;
  a->name = pw->pw_name;
  a->uid = pw->pw_uid;
  a->gid = pw->pw_gid;
  a->home = pw->pw_dir ? pw->pw_dir : "";
  return true;
}

// Takes on the account for good: groups, group, user.
bool Become(const Account& a, std::string* error) {
  if (::initgroups(a.name.c_str(), a.gid) != 0 || ::setgid(a.gid) != 0 || ::setuid(a.uid) != 0 ||
      ::geteuid() != a.uid) {
    *error = "cannot take on the user " + a.name + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// The document's copy, in a folder made for this job alone (mode 0700,
// made with mkdtemp: the scheduler's TMPDIR, where the job's user may not
// write, falls back to /tmp). The folder belongs to whoever renders; *dir
// is removed by the caller.
int MakeTemp(uid_t renderUid, gid_t renderGid, std::string* dir, std::string* path, std::string* error) {
  *dir = brevant::platform::MakePrivateFolder("vestrel-", error);
  if (dir->empty()) return -1;
  *path = *dir + "document";
  brevant::platform::UniqueFd fd(
      ::open(path->c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) {
    *error = "cannot create " + *path + ": " + std::strerror(errno);
    return -1;
  }
  // Root's own jobs are rendered by lp, which must read the copy.
  if (renderUid != ::geteuid() &&
      (::fchown(fd.get(), renderUid, renderGid) != 0 || ::chown(dir->c_str(), renderUid, renderGid) != 0)) {
    *error = std::string("cannot hand the document over: ") + std::strerror(errno);
    return -1;
  }
  return fd.release();
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
                 "?handoff=1, &events=/folder and &programdir=/folder when wanted)\n",
                 uri.c_str());
    return kBackendFailed;
  }
  // Who the pages are for (the writer) and who runs Ghostscript (the
  // renderer); only a backend running as root can choose.
  Account writer, renderer;
  std::string jobUser = argv[2];
  if (::geteuid() == 0) {
    const char* root = std::getenv("CUPS_SERVERROOT");
    const char* queue = std::getenv("PRINTER");
    JobUser ju = FindJobUser(std::atoi(argv[1]), queue ? queue : "", root && *root ? root : "/etc/cups");
    if (!ju.name.empty() && ju.name != jobUser) {
      std::fprintf(stderr, "ERROR: the job names the user \"%s\" but the print scheduler recorded \"%s\"\n",
                   argv[2], ju.name.c_str());
      return kBackendFailed;
    }
    Account lp;
    if (!Lookup(::getpwnam("lp"), &lp)) {
      std::fprintf(stderr, "ERROR: there is no user \"lp\" to render the document as\n");
      return kBackendFailed;
    }
    if (!ju.authenticated || !Lookup(::getpwnam(ju.name.c_str()), &writer)) {
      std::fprintf(stderr, "INFO: the job's user is not known (%s); it is handled as lp's\n",
                   ju.authenticated ? ("no account \"" + ju.name + "\" here").c_str() : ju.why.c_str());
      writer = lp;
      jobUser.clear();
    }
    renderer = writer.uid == 0 ? lp : writer;
  } else {
    if (!Lookup(::getpwuid(::geteuid()), &writer)) {
      writer.uid = ::geteuid();
      writer.gid = ::getegid();
    }
    renderer = writer;
  }

  int input = 0;
  if (argc == 7) {
    input = ::open(argv[6], O_RDONLY | O_CLOEXEC);
    if (input < 0) {
      std::fprintf(stderr, "ERROR: cannot open %s: %s\n", argv[6], std::strerror(errno));
      return kBackendFailed;
    }
  }
  std::string error;
  if (writer.uid != ::geteuid() && !Become(writer, &error)) {
    std::fprintf(stderr, "ERROR: %s\n", error.c_str());
    return kBackendFailed;
  }

  // A user who may write the programs' folder the URI names keeps Brevant's
  // files there (a build tree's owner); everyone else where the URI says.
  std::string spool = ProgramSpoolFolder(device);
  const bool ownFolder = !spool.empty() || device.spoolFolder.compare(0, 3, "/~/") == 0;
  if (spool.empty()) spool = device.spoolFolder;
  if (spool.compare(0, 3, "/~/") == 0) {
    if (jobUser.empty() || writer.home.empty() || writer.home[0] != '/') {
      std::fprintf(stderr, "ERROR: no home folder of the job's user for %s\n", spool.c_str());
      return kBackendFailed;
    }
    spool = ExpandUserHome(spool, writer.home);
  }

  // Pages go only into a folder of the writer's own that nobody else may
  // change, reached without a symlink anywhere on its path. A spool folder
  // of the user's own may not exist before Brevant's first run.
  int folder = brevant::platform::OpenOwnedFolder(spool, ::geteuid(), ownFolder, 0700, &error);
  if (folder < 0) {
    std::fprintf(stderr, "ERROR: the spool folder %s is refused: %s\n", spool.c_str(), error.c_str());
    return kBackendFailed;
  }
  // Brevant's named events: where the URI says, else where the user's
  // desktop session keeps them.
  if (!device.eventsDir.empty())
    brevant::platform::env::Set(brevant::platform::env::Var::RuntimeDir, device.eventsDir);
  // A job printed while no Brevant process holds "FaxPrinter" came from
  // another application. With hand-off its pages go into a job folder of
  // their own, where the user's print agent picks them up and opens the
  // Send Fax wizard on them; otherwise they are kept in the spool folder
  // like any other, so the user's Brevant can take them over.
  bool fromApplication = !brevant::platform::NamedEvent::Exists("FaxPrinter");
  if (fromApplication) std::fprintf(stderr, "INFO: job %s was printed from another application\n", argv[1]);
  bool handOff = fromApplication && device.handoff;

  std::string docDir, doc;
  int tmp = MakeTemp(renderer.uid, renderer.gid, &docDir, &doc, &error);
  // The job's folder goes with the job, whatever becomes of it.
  struct RemoveFolder {
    const std::string& dir;
    ~RemoveFolder() {
      std::error_code ec;
      if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
  } removeDocDir{docDir};
  if (tmp < 0) {
    std::fprintf(stderr, "ERROR: no temporary copy of the document: %s\n", error.c_str());
    return kBackendFailed;
  }
  bool copied = CopyWithoutPjl(input, tmp, &error);
  brevant::platform::UniqueFd(tmp).reset();
  if (input != 0) brevant::platform::UniqueFd(input).reset();
  if (!copied) {
    std::fprintf(stderr, "ERROR: %s\n", error.c_str());
    return kBackendFailed;
  }

  std::fprintf(stderr, "STATE: +connecting-to-device\n");
  std::fprintf(stderr, "INFO: rendering into %s\n", handOff ? HandoffFolder(spool).c_str() : spool.c_str());
  RenderOptions o;
  o.document = doc;
  o.spoolFolder = spool;
  o.folderFd = folder;
  if (renderer.uid != ::geteuid()) {
    o.renderUid = renderer.uid;
    o.renderGid = renderer.gid;
  }
  if (const char* gs = std::getenv("VESTREL_GS"); gs && *gs) o.ghostscript = gs;
  const char* contentType = std::getenv("CONTENT_TYPE");
  o.fitPrintable = FitsPrintableArea(contentType ? contentType : "", argv[5]);
  if (const char* t = std::getenv("VESTREL_TIMEOUT"); t && std::atol(t) > 0)
    o.timeoutMs = std::atol(t) * 1000;
  o.onPage = OnPage;
  std::string jobFolder;
  std::string jobId = argv[1];
  if (jobId.empty() || jobId.find_first_not_of("0123456789") != std::string::npos) jobId = "job";
  RenderResult r = handOff ? RenderForAgent(o, jobId, &jobFolder) : RenderToSpool(o);
  std::fprintf(stderr, "STATE: -connecting-to-device\n");
  if (r.status != kBackendOk) {
    std::fprintf(stderr, "ERROR: %s\n", r.error.c_str());
    return r.status;
  }
  std::fprintf(stderr, "INFO: %zu page(s) in %s\n", r.pages.size(),
               handOff ? jobFolder.c_str() : spool.c_str());
  return kBackendOk;
}
