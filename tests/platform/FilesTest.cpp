// The file layer's promises, checked on disk: a file replaced in one step
// or not at all, with the mode asked for, never through a link; a
// descriptor closed exactly once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/fs/Files.h"

using namespace brevant::platform;
namespace fs = std::filesystem;

namespace {

std::string Read(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(Files, ReplaceInOneStepWithTheModeAskedAndNeverThroughALink) {
  char tmpl[] = "/tmp/brevant-files-XXXXXX";
  ASSERT_NE(::mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  const fs::path file = dir / "settings.xml";
  std::string why;
  ASSERT_TRUE(WriteFileAtomic(file.string(), "old content", AtomicOptions(), &why)) << why;

  // A write that fails half-way (the file size limit stands in for a full
  // disk) leaves the old file whole and no temporary behind.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 4096;
  ::setrlimit(RLIMIT_FSIZE, &small);
  bool wrote = WriteFileAtomic(file.string(), std::string(100000, 'x'), AtomicOptions(), &why);
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_FALSE(wrote);
  EXPECT_NE(why.find("settings.xml"), std::string::npos) << why;
  EXPECT_EQ(Read(file), "old content");
  EXPECT_EQ(Names(dir), std::vector<std::string>{"settings.xml"});

  // The mode: less the umask, or exactly as asked.
  mode_t mask = ::umask(022);
  struct stat st {};
  ASSERT_TRUE(WriteFileAtomic(file.string(), "new", AtomicOptions(0666), &why)) << why;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
  ASSERT_TRUE(WriteFileAtomic(file.string(), "newer", AtomicOptions(0664).Exact(), &why)) << why;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0664u);
  ::umask(mask);
  EXPECT_EQ(Read(file), "newer");

  // A link left at the temporary's name is never written through.
  const fs::path victim = dir / "victim";
  std::ofstream(victim) << "victim's";
  fs::create_symlink(victim, dir / "settings.xml.part");
  ASSERT_TRUE(WriteFileAtomic(file.string(), "through?", AtomicOptions().PartName(), &why)) << why;
  EXPECT_EQ(Read(victim), "victim's");
  EXPECT_EQ(Read(file), "through?");
  EXPECT_EQ(Names(dir), (std::vector<std::string>{"settings.xml", "victim"}));

  // A name that is taken stays as it is: the temporary waits for another.
  AtomicFile next;
  ASSERT_TRUE(next.Begin(file.string(), AtomicOptions(), &why)) << why;
  ASSERT_TRUE(next.Write("second", &why));
  EXPECT_EQ(next.CommitNew("settings.xml"), EEXIST);
  EXPECT_EQ(next.CommitNew("settings-2.xml"), 0);
  EXPECT_EQ(Read(dir / "settings-2.xml"), "second");
  EXPECT_EQ(Read(file), "through?");
  fs::remove_all(dir);
}

TEST(Files, DescriptorClosesExactlyOnce) {
  int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(raw, 0);
  UniqueFd moved;
  {
    UniqueFd first(raw);
    moved = std::move(first);
  }  // the moved-from one closes nothing
  EXPECT_NE(::fcntl(raw, F_GETFD), -1);
  EXPECT_EQ(moved.Close(), 0);
  EXPECT_EQ(::fcntl(raw, F_GETFD), -1);
  // The number is reused by the next open; the closed owner leaves it be.
  int again = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_EQ(again, raw);
  EXPECT_EQ(moved.Close(), 0);
  moved.reset();
  EXPECT_NE(::fcntl(again, F_GETFD), -1);
  ::close(again);
}
