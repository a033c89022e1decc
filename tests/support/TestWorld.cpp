#include "tests/support/TestWorld.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/registry/Registry.h"

namespace fs = std::filesystem;

namespace brevant::test {

std::string BinDir() {
  return BREVANT_BIN_DIR;
}
std::string SourceDir() {
  return BREVANT_SOURCE_DIR;
}

// Leaks inside system libraries that tests cannot free (fontconfig, D-Bus,
// Qt and the X libraries under it, glib, CUPS, TLS), for every test program:
// only the window platform of the tests' environment reaches the discovered
// tests, not LSAN_OPTIONS. A test program may define its own list instead.
extern "C" __attribute__((weak)) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\nleak:libdbus\nleak:libQt6\nleak:libglib\nleak:libgobject\n"
         "leak:libcups\nleak:libgnutls\nleak:libsane\nleak:libsecret\nleak:libgio\n"
         "leak:libX11\nleak:libxcb\n";
}

namespace {

// Every test process runs unattended, and the programs it starts (built
// with the same sanitizers) get the same leak suppressions.
[[maybe_unused]] const bool g_testEnvironment = [] {
  ::setenv("BREVANT_UNATTENDED", "1", 1);
  ::setenv("LSAN_OPTIONS", "suppressions=" BREVANT_SOURCE_DIR "/tests/lsan.supp", 0);
  return true;
}();

// The temporary folder the test process started with; each world points
// TMPDIR into itself and puts it back when it ends.
std::string OriginalTemp() {
  static const std::string dir = [] {
    const char* t = std::getenv("TMPDIR");
    return std::string(t && *t ? t : "/tmp");
  }();
  return dir;
}
}  // namespace

TestWorld::TestWorld() {
  if (const char* tz = std::getenv("TZ")) tz_ = tz;
  std::string tmpl = OriginalTemp() + "/brevant-test-XXXXXX";
  root_ = ::mkdtemp(tmpl.data());
  for (const auto& d : {ProgramDir(), RegistryDir(), RuntimeDir(), TempDir()}) fs::create_directories(d);
  ::setenv("BREVANT_REGISTRY_DIR", RegistryDir().c_str(), 1);
  ::setenv("BREVANT_PROGRAM_DIR", ProgramDir().c_str(), 1);
  ::setenv("BREVANT_RUNTIME_DIR", RuntimeDir().c_str(), 1);
  ::setenv("TMPDIR", TempDir().c_str(), 1);
  ::setenv("BREVANT_UNATTENDED", "1", 1);
  // Secrets go into the world's own file, never the desktop's secret store.
  ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
  reg::ResetForTests();
}

TestWorld::~TestWorld() {
  reg::ResetForTests();
  tz_ ? ::setenv("TZ", tz_->c_str(), 1) : ::unsetenv("TZ");
  ::tzset();
  ::setenv("TMPDIR", OriginalTemp().c_str(), 1);
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::string TestWorld::Owner(const std::string& path, bool group) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return "missing";
  if (S_ISLNK(st.st_mode)) return "link";
  char mode[8];
  std::snprintf(mode, sizeof mode, "%o", st.st_mode & 07777u);
  return std::to_string(st.st_uid) + (group ? " " + std::to_string(st.st_gid) : "") + " " + mode;
}

std::string TestWorld::ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void TestWorld::WriteFile(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

TestWorld::Result TestWorld::RunTool(const std::string& name, const std::string& args) const {
  return RunArgs("/bin/sh", {"-c", BinDir() + "/" + name + " " + args});
}

TestWorld::Result TestWorld::RunArgs(const std::string& name, const std::vector<std::string>& args) const {
  Result r;
  std::string out = root_ + "/.out", err = root_ + "/.err";
  pid_t pid = fork();
  if (pid == 0) {
    freopen(out.c_str(), "w", stdout);
    freopen(err.c_str(), "w", stderr);
    std::vector<char*> argv;
    std::string path = name[0] == '/' ? name : BinDir() + "/" + name;
    argv.push_back(path.data());
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());
    _exit(127);
  }
  int st = 0;
  waitpid(pid, &st, 0);
  r.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  return r;
}

}  // namespace brevant::test
