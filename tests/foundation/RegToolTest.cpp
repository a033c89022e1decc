// brevant-reg: what a user sees and what lands in the store.
#include <gtest/gtest.h>

#include <sstream>

#include "common/CWinReg.h"
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

TEST(RegTool, AddQueryDeleteAndRoundTripThroughAFile) {
  test::TestWorld w;
  const std::string key = "HKCU\\Software\\Norvane\\Pelorin";
  ASSERT_EQ(Reg({"add", key, "/v", "SetCoverPage", "/d", "1"}), 0);
  ASSERT_EQ(Reg({"add", key, "-v", "Debug", "-t", "REG_DWORD", "-d", "0x10"}), 0);
  ASSERT_EQ(Reg({"add", key, "-v", "Path", "-t", "REG_EXPAND_SZ", "-d", "$HOME/x"}), 0);
  ASSERT_EQ(Reg({"add", key, "-v", "Bin", "-t", "REG_BINARY", "-d", "00ff10"}), 0);
  ASSERT_EQ(Reg({"add", key, "-v", "Multi", "-t", "REG_MULTI_SZ", "-d", "a\\0b"}), 0);
  ASSERT_EQ(Reg({"add", key + "\\ProgressBar"}), 0);

  CWinReg reg;
  ASSERT_TRUE(reg.InitForRead(CWinReg::HKEY_CURRENT_USER, "Software\\Norvane\\Pelorin"));
  EXPECT_EQ(reg.GetString("SetCoverPage"), "1");
  EXPECT_EQ(reg.GetDword("Debug"), 16);
  reg.CloseKey();

  std::string out, err;
  ASSERT_EQ(Reg({"query", "HKEY_CURRENT_USER\\software\\norvane\\pelorin"}, &out), 0);
  EXPECT_NE(out.find("HKEY_CURRENT_USER\\Software\\Norvane\\Pelorin\n"), std::string::npos) << out;
  EXPECT_NE(out.find("    Debug    REG_DWORD    0x10\n"), std::string::npos) << out;
  EXPECT_NE(out.find("    Multi    REG_MULTI_SZ    a\\0b\n"), std::string::npos) << out;
  EXPECT_NE(out.find("    Bin    REG_BINARY    00FF10\n"), std::string::npos) << out;
  EXPECT_NE(out.find("HKEY_CURRENT_USER\\Software\\Norvane\\Pelorin\\ProgressBar\n"), std::string::npos);

  std::string file = w.Root() + "/pelorin.reg";
  ASSERT_EQ(Reg({"export", key, file}), 0);
  ASSERT_EQ(Reg({"delete", "HKCU\\Software\\Norvane", "/f"}), 0);
  EXPECT_EQ(Reg({"query", key}, &out, &err), 1);
  EXPECT_NE(err.find("does not exist"), std::string::npos);
  ASSERT_EQ(Reg({"import", file}), 0);
  std::string again = w.Root() + "/again.reg";
  ASSERT_EQ(Reg({"export", key, again}), 0);
  EXPECT_EQ(test::TestWorld::ReadFile(again), test::TestWorld::ReadFile(file));

  ASSERT_EQ(Reg({"delete", key, "/v", "Debug"}), 0);
  ASSERT_EQ(Reg({"query", key, "/v", "SetCoverPage"}, &out), 0);
  EXPECT_EQ(out.find("Debug"), std::string::npos);
  EXPECT_EQ(Reg({"delete", key, "/v", "Debug"}, &out, &err), 1);
}

TEST(RegTool, BadArgumentsSayWhatIsWrong) {
  test::TestWorld w;
  std::string out, err;
  EXPECT_EQ(Reg({}, &out, &err), 1);
  EXPECT_NE(err.find("usage:"), std::string::npos);
  EXPECT_EQ(Reg({"add", "HKXY\\A", "/v", "x"}, &out, &err), 1);
  EXPECT_NE(err.find("not a registry key"), std::string::npos);
  EXPECT_EQ(Reg({"add", "HKCU\\A", "/v", "x", "/t", "REG_DWORD", "/d", "12abc"}, &out, &err), 1);
  EXPECT_NE(err.find("not a DWORD"), std::string::npos);
  EXPECT_EQ(Reg({"add", "HKCU\\A", "/v", "x", "/t", "REG_QWORD"}, &out, &err), 1);
  EXPECT_EQ(Reg({"import", w.Root() + "/none.reg"}, &out, &err), 1);
  test::TestWorld::WriteFile(w.Root() + "/bad.reg", "Windows Registry Editor Version 5.00\r\n[HKCU\\A]\r\n\"v\"=what\r\n");
  EXPECT_EQ(Reg({"import", w.Root() + "/bad.reg"}, &out, &err), 1);
  EXPECT_NE(err.find("line 3"), std::string::npos) << err;
}
