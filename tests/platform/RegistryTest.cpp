// The registry store against real SQLite hive files, and .reg text.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>

#include "platform/registry/RegFile.h"
#include "platform/registry/Registry.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
using namespace brevant::reg;

namespace {

std::string Get(HKEY k, const std::string& name, std::uint32_t* type = nullptr) {
  char buf[1024];
  std::uint32_t size = sizeof buf, t = 0;
  if (QueryValue(k, name, &t, buf, &size) != kOk) return "<missing>";
  if (type) *type = t;
  return std::string(buf, size);
}

// The exit code of fn run in a child process (the hive cache is per process).
int InChild(const std::function<int()>& fn) {
  pid_t pid = ::fork();
  if (pid == 0) ::_exit(fn());
  int st = 0;
  ::waitpid(pid, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : 100;
}

}  // namespace

TEST(RegistryStore, KeysAreCaseInsensitiveHandlesKeepTheirAccessAndTreesGo) {
  test::TestWorld w;
  HKEY k = 0;
  ASSERT_EQ(OpenKey(kCurrentUser, "Software\\Norvane", kKeyRead, &k), kFileNotFound);
  ASSERT_EQ(CreateKey(kCurrentUser, "Software\\Norvane\\Pelorin", kKeyWrite, &k), kOk);
  ASSERT_EQ(SetValue(k, "SetCoverPage", REG_SZ, "1", 1), kOk);
  CloseKey(k);

  // Value types: the .reg round trip below.
  HKEY r = 0;
  ASSERT_EQ(OpenKey(kCurrentUser, "\\SOFTWARE\\norvane\\pelorin\\", kKeyRead, &r), kOk);
  EXPECT_EQ(KeyPath(r), "Software\\Norvane\\Pelorin");
  EXPECT_EQ(Get(r, "setcoverpage"), std::string("1\0", 2));    // strings come back terminated
  EXPECT_EQ(SetValue(r, "x", REG_SZ, "y", 1), kAccessDenied);  // a read-only handle
  CloseKey(r);
  EXPECT_EQ(OpenKey(kLocalMachine, "Software\\Norvane\\Pelorin", kKeyRead, &r), kFileNotFound);

  for (const char* p : {"A\\B\\C", "A\\B\\D", "A\\E", "AB"}) {
    ASSERT_EQ(CreateKey(kLocalMachine, p, kKeyWrite, &k), kOk);
    CloseKey(k);
  }
  ASSERT_EQ(OpenKey(kLocalMachine, "A", kKeyRead, &k), kOk);
  std::vector<std::string> subs;
  ASSERT_EQ(EnumSubKeys(k, &subs), kOk);
  EXPECT_EQ(subs, (std::vector<std::string>{"B", "E"}));
  CloseKey(k);
  ASSERT_EQ(DeleteKeyTree(kLocalMachine, "a\\b"), kOk);
  EXPECT_EQ(OpenKey(kLocalMachine, "A\\B\\C", kKeyRead, &k), kFileNotFound);
  EXPECT_EQ(OpenKey(kLocalMachine, "AB", kKeyRead, &k), kOk);  // a sibling with the same prefix stays
  CloseKey(k);
}

// The local machine's hive belongs to root; every other user only reads it,
// also after root has written it in WAL mode and gone. Two processes
// writing one key lose nothing.
TEST(RegistryStore, ReadOnlyHivesAndConcurrentWriters) {
  test::TestWorld w;
  HKEY k = 0;
  ASSERT_EQ(CreateKey(kLocalMachine, "Software\\Norvane\\Pelorin", kKeyWrite, &k), kOk);
  ASSERT_EQ(SetValue(k, "Version", REG_SZ, "1.0.0", 5), kOk);
  CloseKey(k);
  ASSERT_EQ(CreateKey(kCurrentUser, "Software\\Race", kKeyWrite, &k), kOk);
  CloseKey(k);
  ResetForTests();  // the connections close: no -wal or -shm file is left
  std::string file = HiveFile(kLocalMachine);
  ASSERT_FALSE(std::ifstream(file + "-shm").good());
  ::chmod(file.c_str(), 0644);
  for (std::string p = file.substr(0, file.rfind('/')); p.size() > 1 && p != "/tmp";
       p = p.substr(0, p.rfind('/')))
    ::chmod(p.c_str(), 0755);
  if (::geteuid() == 0)
    EXPECT_EQ(InChild([] {
                if (::setgid(65534) != 0 || ::setuid(65534) != 0) return 10;
                HKEY r = 0, wr = 0;
                if (OpenKey(kLocalMachine, "Software\\Norvane\\Pelorin", kKeyRead, &r) != kOk) return 11;
                if (std::string(Get(r, "Version").c_str()) != "1.0.0") return 12;
                return CreateKey(kLocalMachine, "Software\\Other", kKeyWrite, &wr) == kOk ? 13 : 0;
              }),
              0)
        << "10 setuid, 11 open, 12 value, 13 write allowed";
  EXPECT_EQ(OpenKey(kLocalMachine, "Software\\Other", kKeyRead, &k), kFileNotFound);

  pid_t kids[2];
  for (int p = 0; p < 2; ++p) {
    if ((kids[p] = ::fork()) != 0) continue;
    ResetForTests();
    HKEY h = 0;
    if (OpenKey(kCurrentUser, "Software\\Race", kKeyWrite, &h) != kOk) ::_exit(2);
    for (int i = 0; i < 1000; ++i) {
      std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
      if (SetValue(h, name, REG_SZ, name.data(), std::uint32_t(name.size())) != kOk) ::_exit(3);
    }
    ::_exit(0);
  }
  for (pid_t kid : kids) {
    int st = 0;
    ::waitpid(kid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
  }
  ASSERT_EQ(OpenKey(kCurrentUser, "Software\\Race", kKeyRead, &k), kOk);
  std::vector<Value> values;
  ASSERT_EQ(EnumValues(k, &values), kOk);
  EXPECT_EQ(values.size(), 2000u);
  CloseKey(k);
}

// Every type and the characters .reg text must escape come back from an
// export imported again; malformed text names its line; deletions apply.
TEST(RegFile, ExportImportMalformedTextAndDeletions) {
  test::TestWorld w;
  const std::uint32_t dword = 0xfffffffe;
  const struct {
    const char* name;
    std::uint32_t type;
    std::string data;
  } values[] = {{"Plain", REG_SZ, "Grüße \"x\" C:\\y"},
                {"Odd", REG_SZ, "line1\r\nline2 \"quoted\" back\\slash \xff\xfe"},
                {"", REG_SZ, "default"},
                {"Dw", REG_DWORD, std::string(reinterpret_cast<const char*>(&dword), 4)},
                {"Exp", REG_EXPAND_SZ, "%TEMP%\\x"},
                {"Multi", REG_MULTI_SZ, std::string("one\0two\0\0", 9)},
                {"Bin", REG_BINARY, std::string("\x00\x01\xff", 3)},
                {"Long", REG_BINARY, std::string(300, 'a')}};
  HKEY k = 0;
  ASSERT_EQ(CreateKey(kCurrentUser, "Software\\Norvane\\Pelorin\\ProgressBar", kKeyWrite, &k), kOk);
  CloseKey(k);
  ASSERT_EQ(OpenKey(kCurrentUser, "Software\\Norvane\\Pelorin", kKeyWrite, &k), kOk);
  for (const auto& v : values)
    ASSERT_EQ(SetValue(k, v.name, v.type, v.data.data(), std::uint32_t(v.data.size())), kOk) << v.name;
  CloseKey(k);
  std::string text, error;
  ASSERT_TRUE(ExportKey("HKCU\\Software\\Norvane", &text, &error)) << error;
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Norvane\\Pelorin\\ProgressBar]"), std::string::npos);
  EXPECT_NE(text.find("\"Dw\"=dword:fffffffe"), std::string::npos);
  ASSERT_EQ(DeleteKeyTree(kCurrentUser, "Software\\Norvane"), kOk);
  ASSERT_TRUE(ImportText(text, &error)) << error;
  ASSERT_EQ(OpenKey(kCurrentUser, "Software\\Norvane\\Pelorin", kKeyRead, &k), kOk);
  for (const auto& v : values) {
    std::uint32_t type = 0;
    EXPECT_EQ(Get(k, v.name, &type), v.type == REG_SZ || v.type == REG_EXPAND_SZ ? v.data + '\0' : v.data)
        << v.name;
    EXPECT_EQ(type, v.type) << v.name;
  }
  CloseKey(k);

  const std::string head = "Windows Registry Editor Version 5.00\n";
  for (const auto& [bad, line] :
       std::vector<std::pair<std::string, std::string>>{{"hello\r\n", "line 1"},
                                                        {head + "\n[HKCU\\A]\n\"x\"=dword:xyz\n", "line 4"},
                                                        {head + "[HKXX\\A]\n", "line 2"},
                                                        {head + "\"v\"=\"outside\"\n", "line 2"}}) {
    EXPECT_FALSE(ImportText(bad, &error)) << bad;
    EXPECT_EQ(error.rfind(line, 0), 0u) << error;
  }
  ASSERT_TRUE(ImportText(
      head + "[HKCU\\A\\B]\n\"x\"=\"1\"\n\"y\"=\"2\"\n[HKCU\\A\\B]\n\"x\"=-\n[-HKCU\\A\\C]\n", &error))
      << error;
  ASSERT_EQ(OpenKey(kCurrentUser, "A\\B", kKeyRead, &k), kOk);
  EXPECT_EQ(Get(k, "x"), "<missing>");
  EXPECT_EQ(Get(k, "y"), std::string("2\0", 2));
  CloseKey(k);
  ASSERT_TRUE(ImportText(head + "[-HKEY_CURRENT_USER\\A]\n", &error));
  EXPECT_EQ(OpenKey(kCurrentUser, "A", kKeyRead, &k), kFileNotFound);
}
