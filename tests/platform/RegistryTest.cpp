// The registry store against real SQLite hive files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

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

}  // namespace

TEST(RegistryStore, KeysAreCaseInsensitiveAndValuesKeepTheirType) {
  test::TestWorld w;
  HKEY k = 0;
  ASSERT_EQ(OpenKey(kCurrentUser, "Software\\Norvane", kKeyRead, &k), kFileNotFound);
  ASSERT_EQ(CreateKey(kCurrentUser, "Software\\Norvane\\Pelorin", kKeyWrite, &k), kOk);
  ASSERT_EQ(SetValue(k, "SetCoverPage", REG_SZ, "1", 1), kOk);
  std::uint32_t d = 0x12345678;
  ASSERT_EQ(SetValue(k, "Debug", REG_DWORD, &d, 4), kOk);
  ASSERT_EQ(SetValue(k, "", REG_EXPAND_SZ, "%HOME%", 6), kOk);
  CloseKey(k);

  // Parents were created; the path and value names ignore letter case.
  HKEY r = 0;
  ASSERT_EQ(OpenKey(kCurrentUser, "software\\NORVANE", kKeyRead, &r), kOk);
  CloseKey(r);
  ASSERT_EQ(OpenKey(kCurrentUser, "\\SOFTWARE\\norvane\\pelorin\\", kKeyRead, &r), kOk);
  EXPECT_EQ(KeyPath(r), "Software\\Norvane\\Pelorin");
  std::uint32_t type = 0;
  EXPECT_EQ(Get(r, "setcoverpage", &type), std::string("1\0", 2));  // strings come back terminated
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(Get(r, "DEBUG", &type), std::string("\x78\x56\x34\x12", 4));
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(Get(r, "", &type), std::string("%HOME%\0", 7));
  EXPECT_EQ(type, REG_EXPAND_SZ);

  // A read-only handle cannot write; a too-small buffer says how much is needed.
  EXPECT_EQ(SetValue(r, "x", REG_SZ, "y", 1), kAccessDenied);
  char small[2];
  std::uint32_t size = sizeof small;
  EXPECT_EQ(QueryValue(r, "", nullptr, small, &size), kMoreData);
  EXPECT_EQ(size, 7u);
  CloseKey(r);

  // Hives are separate databases.
  EXPECT_EQ(OpenKey(kLocalMachine, "Software\\Norvane\\Pelorin", kKeyRead, &r), kFileNotFound);
}

TEST(RegistryStore, DeleteKeyTreeAndEnumeration) {
  test::TestWorld w;
  HKEY k = 0;
  for (const char* p : {"A\\B\\C", "A\\B\\D", "A\\E", "AB"}) {
    ASSERT_EQ(CreateKey(kLocalMachine, p, kKeyWrite, &k), kOk);
    ASSERT_EQ(SetValue(k, "v", REG_SZ, p, std::uint32_t(std::strlen(p))), kOk);
    CloseKey(k);
  }
  ASSERT_EQ(OpenKey(kLocalMachine, "A", kKeyRead, &k), kOk);
  std::vector<std::string> subs;
  ASSERT_EQ(EnumSubKeys(k, &subs), kOk);
  EXPECT_EQ(subs, (std::vector<std::string>{"B", "E"}));
  CloseKey(k);
  ASSERT_EQ(DeleteKeyTree(kLocalMachine, "a\\b"), kOk);
  EXPECT_EQ(OpenKey(kLocalMachine, "A\\B\\C", kKeyRead, &k), kFileNotFound);
  ASSERT_EQ(OpenKey(kLocalMachine, "AB", kKeyRead, &k), kOk);  // a sibling with the same prefix stays
  EXPECT_EQ(Get(k, "v"), std::string("AB\0", 3));
  CloseKey(k);
}

// The local machine's hive belongs to root; every other user only reads it,
// also after root has written it in WAL mode and gone.
TEST(RegistryStore, AHiveTheUserMayOnlyReadIsReadAndRefusesWrites) {
  test::TestWorld w;
  HKEY k = 0;
  ASSERT_EQ(CreateKey(kLocalMachine, "Software\\Norvane\\Pelorin", kKeyWrite, &k), kOk);
  ASSERT_EQ(SetValue(k, "Version", REG_SZ, "1.0.0", 5), kOk);
  CloseKey(k);
  ResetForTests();  // root's connection closes: no -wal or -shm file is left
  std::string file = HiveFile(kLocalMachine);
  std::string dir = file.substr(0, file.rfind('/'));
  ASSERT_FALSE(std::ifstream(file + "-shm").good());
  ::chmod(dir.c_str(), 0755);
  ::chmod(file.c_str(), 0644);
  for (std::string p = dir; p.size() > 1; p = p.substr(0, p.rfind('/'))) {
    if (p == "/tmp") break;
    ::chmod(p.c_str(), 0755);
  }
  if (::geteuid() == 0) {
    pid_t pid = ::fork();
    if (pid == 0) {
      // An ordinary user, in a process of its own (the hive cache is per process).
      if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(10);
      HKEY r = 0;
      if (OpenKey(kLocalMachine, "Software\\Norvane\\Pelorin", kKeyRead, &r) != kOk) ::_exit(11);
      if (std::string(Get(r, "Version").c_str()) != "1.0.0") ::_exit(12);
      CloseKey(r);
      HKEY wr = 0;
      if (CreateKey(kLocalMachine, "Software\\Other", kKeyWrite, &wr) == kOk) ::_exit(13);
      ::_exit(0);
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0) << "10 setuid, 11 open, 12 value, 13 write allowed";
  }
  EXPECT_EQ(OpenKey(kLocalMachine, "Software\\Other", kKeyRead, &k), kFileNotFound);
}

TEST(RegistryStore, TwoProcessesWritingOneKeyLoseNothing) {
  test::TestWorld w;
  HKEY k = 0;
  ASSERT_EQ(CreateKey(kCurrentUser, "Software\\Race", kKeyWrite, &k), kOk);
  CloseKey(k);
  ResetForTests();
  pid_t kids[2];
  for (int p = 0; p < 2; ++p) {
    kids[p] = fork();
    if (kids[p] == 0) {
      ResetForTests();
      HKEY h = 0;
      if (OpenKey(kCurrentUser, "Software\\Race", kKeyWrite, &h) != kOk) _exit(2);
      for (int i = 0; i < 1000; ++i) {
        std::string name = "p" + std::to_string(p) + "_" + std::to_string(i);
        if (SetValue(h, name, REG_SZ, name.data(), std::uint32_t(name.size())) != kOk) _exit(3);
      }
      _exit(0);
    }
  }
  for (pid_t kid : kids) {
    int st = 0;
    waitpid(kid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
  }
  ASSERT_EQ(OpenKey(kCurrentUser, "Software\\Race", kKeyRead, &k), kOk);
  std::vector<Value> values;
  ASSERT_EQ(EnumValues(k, &values), kOk);
  EXPECT_EQ(values.size(), 2000u);
  CloseKey(k);
}

TEST(RegFile, ExportImportRoundTripsKeysValuesAndTypes) {
  test::TestWorld w;
  HKEY k = 0;
  ASSERT_EQ(CreateKey(kCurrentUser, "Software\\Norvane\\Pelorin", kKeyWrite, &k), kOk);
  std::uint32_t d = 0xfffffffe;
  std::string multi("one\0two\0\0", 9), bin("\x00\x01\xff", 3);
  std::string odd = "line1\r\nline2 \"quoted\" back\\slash \xff\xfe";
  ASSERT_EQ(SetValue(k, "Plain", REG_SZ, "Grüße \"x\" C:\\y", 17), kOk);
  ASSERT_EQ(SetValue(k, "Odd", REG_SZ, odd.data(), std::uint32_t(odd.size())), kOk);
  ASSERT_EQ(SetValue(k, "", REG_SZ, "default", 7), kOk);
  ASSERT_EQ(SetValue(k, "Dw", REG_DWORD, &d, 4), kOk);
  ASSERT_EQ(SetValue(k, "Exp", REG_EXPAND_SZ, "%TEMP%\\x", 8), kOk);
  ASSERT_EQ(SetValue(k, "Multi", REG_MULTI_SZ, multi.data(), std::uint32_t(multi.size())), kOk);
  ASSERT_EQ(SetValue(k, "Bin", REG_BINARY, bin.data(), 3), kOk);
  std::string big(300, 'a');
  ASSERT_EQ(SetValue(k, "Long", REG_BINARY, big.data(), 300), kOk);
  CloseKey(k);
  ASSERT_EQ(CreateKey(kCurrentUser, "Software\\Norvane\\Pelorin\\ProgressBar", kKeyWrite, &k), kOk);
  CloseKey(k);

  std::string text, error;
  ASSERT_TRUE(ExportKey("HKCU\\Software\\Norvane", &text, &error)) << error;
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Norvane\\Pelorin\\ProgressBar]"), std::string::npos);
  EXPECT_NE(text.find("\"Dw\"=dword:fffffffe"), std::string::npos);

  ASSERT_EQ(DeleteKeyTree(kCurrentUser, "Software\\Norvane"), kOk);
  ASSERT_TRUE(ImportText(text, &error)) << error;
  std::string again;
  ASSERT_TRUE(ExportKey("HKCU\\Software\\Norvane", &again, &error)) << error;
  EXPECT_EQ(again, text);
  ASSERT_EQ(OpenKey(kCurrentUser, "Software\\Norvane\\Pelorin", kKeyRead, &k), kOk);
  std::uint32_t type = 0;
  EXPECT_EQ(Get(k, "Odd", &type), odd + '\0');
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(Get(k, "Multi", &type), multi);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(Get(k, "Long"), big);
  CloseKey(k);
}

TEST(RegFile, MalformedTextNamesTheLineAndDeletionsApply) {
  test::TestWorld w;
  std::string error;
  EXPECT_FALSE(ImportText("hello\r\n", &error));
  EXPECT_NE(error.find("line 1"), std::string::npos);
  EXPECT_FALSE(ImportText("Windows Registry Editor Version 5.00\n\n[HKCU\\A]\n\"x\"=dword:xyz\n", &error));
  EXPECT_NE(error.find("line 4"), std::string::npos) << error;
  EXPECT_FALSE(ImportText("Windows Registry Editor Version 5.00\n[HKXX\\A]\n", &error));
  EXPECT_FALSE(ImportText("Windows Registry Editor Version 5.00\n\"v\"=\"outside\"\n", &error));

  ASSERT_TRUE(ImportText("Windows Registry Editor Version 5.00\n[HKCU\\A\\B]\n\"x\"=\"1\"\n\"y\"=\"2\"\n"
                         "[HKCU\\A\\B]\n\"x\"=-\n[-HKCU\\A\\C]\n",
                         &error))
      << error;
  HKEY k = 0;
  ASSERT_EQ(OpenKey(kCurrentUser, "A\\B", kKeyRead, &k), kOk);
  EXPECT_EQ(Get(k, "x"), "<missing>");
  EXPECT_EQ(Get(k, "y"), std::string("2\0", 2));
  CloseKey(k);
  ASSERT_TRUE(ImportText("Windows Registry Editor Version 5.00\n[-HKEY_CURRENT_USER\\A]\n", &error));
  EXPECT_EQ(OpenKey(kCurrentUser, "A", kKeyRead, &k), kFileNotFound);
}
