#pragma once
// A private world for one test: its own registry hives, program folder,
// runtime folder (named events), spool and temporary folders, all under one
// fresh temporary folder that is removed afterwards. A time zone (TZ) the
// test sets is undone with the world.
#include <optional>
#include <string>
#include <vector>

namespace brevant::test {

class TestWorld {
 public:
  TestWorld();
  ~TestWorld();
  TestWorld(const TestWorld&) = delete;
  TestWorld& operator=(const TestWorld&) = delete;

  const std::string& Root() const { return root_; }
  std::string ProgramDir() const { return root_ + "/prog"; }
  std::string RegistryDir() const { return root_ + "/reg"; }
  std::string RuntimeDir() const { return root_ + "/run"; }
  // TMPDIR of the world's processes (other programs' temporary files).
  std::string TempDir() const { return root_ + "/tmp"; }
  // Brevant's own temporary files: the user's private folder in the
  // runtime folder (mCommon::GetTempDir).
  std::string PrivateTempDir() const { return RuntimeDir() + "/tmp"; }
  std::string SpoolDir() const { return ProgramDir() + "/QuorSpool/"; }
  std::string Errors() const { return ReadFile(ProgramDir() + "/Errors.log"); }

  // Whole file as text ("" when missing).
  static std::string ReadFile(const std::string& path);
  static void WriteFile(const std::string& path, const std::string& text);
  // A file's owner and permission bits in octal: "uid mode", with `group`
  // "uid gid mode"; "link" for a symbolic link, "missing" when there is none.
  static std::string Owner(const std::string& path, bool group = false);
  // Runs a program of the build tree (bin/NAME) with the world's
  // environment; returns its exit code, stdout and stderr.
  struct Result {
    int exitCode = -1;
    std::string out, err;
  };
  Result RunTool(const std::string& name, const std::string& args) const;
  // The same without a shell: each argument as given; name may also be a
  // full path.
  Result RunArgs(const std::string& name, const std::vector<std::string>& args) const;

 private:
  std::string root_;
  std::optional<std::string> tz_;  // TZ as the world found it
};

std::string BinDir();
std::string SourceDir();

}  // namespace brevant::test
