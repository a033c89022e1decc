// The file layer's promises, checked on disk: a file replaced in one step
// or not at all, with the mode asked for, never through a link; a
// descriptor closed exactly once.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>

#include "platform/fs/Files.h"
#include "tests/support/TestWorld.h"

using namespace brevant::platform;
using brevant::test::TestWorld;
namespace fs = std::filesystem;

TEST(Files, ReplaceInOneStepWithTheModeAskedAndNeverThroughALink) {
  TestWorld world;
  const fs::path dir = world.Root() + "/files", file = dir / "settings.xml", victim = dir / "victim";
  fs::create_directories(dir);
  std::string why;
  ASSERT_TRUE(WriteFileAtomic(file, "old", AtomicOptions(), &why)) << why;
  auto names = [&] {
    std::set<std::string> out;
    for (const auto& e : fs::directory_iterator(dir)) out.insert(e.path().filename());
    return out;
  };
  // A write that fails half-way (the file size limit stands in for a full
  // disk) leaves the old file whole and no temporary behind.
  ::signal(SIGXFSZ, SIG_IGN);
  rlimit old{}, small{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  small = {4096, old.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &small);
  EXPECT_FALSE(WriteFileAtomic(file, std::string(100000, 'x'), AtomicOptions(), &why));
  ::setrlimit(RLIMIT_FSIZE, &old);
  EXPECT_EQ(TestWorld::ReadFile(file), "old");
  EXPECT_EQ(names(), std::set<std::string>{"settings.xml"});

  // The mode: less the umask, or exactly as asked.
  mode_t mask = ::umask(022);
  struct stat st {};
  ASSERT_TRUE(WriteFileAtomic(file, "new", AtomicOptions(0666), &why)) << why;
  EXPECT_TRUE(::stat(file.c_str(), &st) == 0 && (st.st_mode & 07777) == 0644);
  ASSERT_TRUE(WriteFileAtomic(file, "newer", AtomicOptions(0664).Exact(), &why)) << why;
  EXPECT_TRUE(::stat(file.c_str(), &st) == 0 && (st.st_mode & 07777) == 0664);
  ::umask(mask);

  // A link left at the temporary's name is never written through.
  TestWorld::WriteFile(victim, "victim's");
  fs::create_symlink(victim, dir / "settings.xml.part");
  ASSERT_TRUE(WriteFileAtomic(file, "through?", AtomicOptions().PartName(), &why)) << why;
  EXPECT_EQ(TestWorld::ReadFile(victim), "victim's");
  EXPECT_EQ(TestWorld::ReadFile(file), "through?");
  EXPECT_EQ(names(), (std::set<std::string>{"settings.xml", "victim"}));
}

TEST(Files, DescriptorClosesExactlyOnce) {
  int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  UniqueFd moved;
  {
    UniqueFd first(raw);
    moved = std::move(first);
  }  // the moved-from one closes nothing
  EXPECT_NE(::fcntl(raw, F_GETFD), -1);
  EXPECT_EQ(moved.Close(), 0);
  EXPECT_EQ(::fcntl(raw, F_GETFD), -1);
  // The number is reused by the next open; the closed owner leaves it be.
  UniqueFd again(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(again.get(), raw);
  moved.reset();
  EXPECT_NE(::fcntl(raw, F_GETFD), -1);
}
