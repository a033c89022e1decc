// brevant-reg: what a user sees and what lands in the store.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include "tests/support/TestWorld.h"
#include "tools/brevant-reg/RegTool.h"

using namespace brevant;

namespace {
int Reg(std::vector<std::string> args, std::string* out = nullptr, std::string* err = nullptr) {
  std::ostringstream o, e;
  int rc = regtool::Run(args, o, e);
  if (out) *out = o.str();
  if (err) *err = e.str();
  return rc;
}
}  // namespace

TEST(RegTool, AddQueryAndDelete) {
  test::TestWorld w;
  const std::string key = "HKCU\\Software\\Norvane\\Pelorin";
  // Each value as added, and as the store gives it back to the query.
  const std::vector<std::pair<std::vector<std::string>, std::string>> values = {
      {{"/v", "SetCoverPage", "/d", "1"}, "SetCoverPage    REG_SZ    1"},
      {{"-v", "Debug", "-t", "REG_DWORD", "-d", "0x10"}, "Debug    REG_DWORD    0x10"},
      {{"-v", "Path", "-t", "REG_EXPAND_SZ", "-d", "$HOME/x"}, "Path    REG_EXPAND_SZ    $HOME/x"},
      {{"-v", "Bin", "-t", "REG_BINARY", "-d", "00ff10"}, "Bin    REG_BINARY    00FF10"},
      {{"-v", "Multi", "-t", "REG_MULTI_SZ", "-d", "a\\0b"}, "Multi    REG_MULTI_SZ    a\\0b"}};
  for (const auto& [args, shown] : values) {
    std::vector<std::string> add{"add", key};
    add.insert(add.end(), args.begin(), args.end());
    ASSERT_EQ(Reg(add), 0) << shown;
  }
  ASSERT_EQ(Reg({"add", key + "\\ProgressBar"}), 0);
  std::string out, err;
  ASSERT_EQ(Reg({"query", "HKEY_CURRENT_USER\\software\\norvane\\pelorin"}, &out), 0);
  EXPECT_NE(out.find("HKEY_CURRENT_USER\\Software\\Norvane\\Pelorin\n"), std::string::npos) << out;
  for (const auto& [args, shown] : values)
    EXPECT_NE(out.find("    " + shown + "\n"), std::string::npos) << out;
  EXPECT_NE(out.find("HKEY_CURRENT_USER\\Software\\Norvane\\Pelorin\\ProgressBar\n"), std::string::npos);

  ASSERT_EQ(Reg({"delete", key, "/v", "Debug"}), 0);
  ASSERT_EQ(Reg({"query", key, "/v", "SetCoverPage"}, &out), 0);
  EXPECT_EQ(out.find("Debug"), std::string::npos);
  EXPECT_EQ(Reg({"delete", key, "/v", "Debug"}, &out, &err), 1);
  ASSERT_EQ(Reg({"delete", "HKCU\\Software\\Norvane", "/f"}), 0);
  EXPECT_EQ(Reg({"query", key}, &out, &err), 1);
  EXPECT_NE(err.find("does not exist"), std::string::npos);
}

// A key 40,000 levels deep in an 80 KB file once made a 1.67 GB store: key
// paths keep the registry's bounds (512 levels, names of 255 characters)
// and a deeper one is refused with the line that named it. Every refusal
// says what is wrong.
TEST(RegTool, RefusalsSayWhatIsWrongAndAKeyTooDeepNeverFillsTheStore) {
  test::TestWorld w;
  auto keyOf = [](int levels, const std::string& name) {
    std::string k = "HKEY_CURRENT_USER";
    for (int i = 0; i < levels; ++i) k += "\\" + name;
    return k;
  };
  const std::string head = "Windows Registry Editor Version 5.00\r\n";
  test::TestWorld::WriteFile(w.Root() + "/deep.reg",
                             head + "\r\n[" + keyOf(40000, "a") + "]\r\n\"v\"=\"x\"\r\n");
  test::TestWorld::WriteFile(w.Root() + "/bad.reg", head + "[HKCU\\A]\r\n\"v\"=what\r\n");
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{}, "usage:"},
      {{"add", "HKXY\\A", "/v", "x"}, "not a registry key"},
      {{"add", "HKCU\\A", "/v", "x", "/t", "REG_DWORD", "/d", "12abc"}, "not a DWORD"},
      {{"add", "HKCU\\A", "/v", "x", "/t", "REG_QWORD"}, "unknown type REG_QWORD"},
      {{"import", w.Root() + "/none.reg"}, "cannot read " + w.Root() + "/none.reg"},
      {{"import", w.Root() + "/bad.reg"}, "line 3"},
      {{"import", w.Root() + "/deep.reg"}, "line 3: cannot create key HKEY_CURRENT_USER\\a\\a"},
      {{"import", w.Root() + "/deep.reg"}, "...: the key path has 40000 levels (at most 512)"},
      {{"add", keyOf(513, "c")}, "513 levels (at most 512)"},
      {{"add", "HKCU\\" + std::string(256, 'n')}, "a key name has 256 characters (at most 255)"},
      {{"add", "HKLM\\A", "/v", "AdminPassword", "/d", "x"},
       "is not kept in HKEY_LOCAL_MACHINE, which every user"}};
  auto t0 = std::chrono::steady_clock::now();
  for (const auto& [args, told] : cases) {
    std::string out, err;
    EXPECT_EQ(Reg(args, &out, &err), 1) << told;
    EXPECT_NE(err.find(told), std::string::npos) << err.substr(0, 300);
    if (args.size() == 2 && args[1].ends_with("deep.reg"))
      EXPECT_LT(err.size(), 400u) << "a key is named by its start";
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_LT(std::filesystem::file_size(w.RegistryDir() + "/HKEY_CURRENT_USER.db"), 1u << 20);
  EXPECT_EQ(Reg({"add", keyOf(512, "b")}), 0);
  EXPECT_EQ(Reg({"add", "HKCU\\" + std::string(255, 'n')}), 0);
}
