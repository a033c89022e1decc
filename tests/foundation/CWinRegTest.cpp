// CWinReg over the real registry store.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/CWinReg.h"
#include "tests/support/TestWorld.h"

using namespace brevant;

TEST(CWinReg, StringSizesTypesBooleansAndAFailedOpen) {
  test::TestWorld w;
  CWinReg reg;
  EXPECT_FALSE(reg.SetString("x", "y"));  // no key open
  ASSERT_TRUE(reg.InitForWrite(CWinReg::HKEY_CURRENT_USER, "Software\\Norvane\\Pelorin", true));
  // Strings up to 255 bytes come back from GetString, up to 65,555 from
  // GetLongString; a value of the other type reads as empty or 0.
  std::string s255(255, 'a'), s256(256, 'b'), s65555(65555, 'c');
  for (const auto& [name, value] : {std::pair<const char*, std::string>{"s255", s255},
                                    {"s256", s256},
                                    {"s65555", s65555},
                                    {"s65556", std::string(65556, 'd')},
                                    {"caps", "YES"},
                                    {"truth", "true"}})
    EXPECT_TRUE(reg.SetString(name, value)) << name;
  EXPECT_TRUE(reg.SetDword("neg", -5));
  EXPECT_TRUE(reg.SetYesNo("on", true) && reg.SetExpandString("exp", "$HOME/x"));
  std::string read;
  for (const char* name : {"s255", "s256", "neg", "on", "exp"}) read += reg.GetString(name) + "|";
  EXPECT_EQ(read, s255 + "|||yes|$HOME/x|");
  EXPECT_EQ(reg.GetLongString("s256"), s256);
  EXPECT_EQ(reg.GetLongString("s65555"), s65555);
  EXPECT_EQ(reg.GetLongString("s65556"), "");
  EXPECT_EQ(reg.GetDword("neg"), -5);
  EXPECT_EQ(reg.GetDword("s255"), 0);
  EXPECT_TRUE(reg.GetYesNo("on") && reg.GetYesNo("caps"));
  EXPECT_FALSE(reg.GetYesNo("truth") || reg.GetYesNo("missing"));

  // Read access does not write.
  ASSERT_TRUE(reg.InitForRead(CWinReg::HKEY_CURRENT_USER, "Software\\Norvane\\Pelorin"));
  EXPECT_FALSE(reg.SetString("x", "y"));
  EXPECT_EQ(reg.GetString("x"), "");

  // A failed open closes the key and writes one record.
  EXPECT_FALSE(reg.InitForRead(CWinReg::HKEY_CURRENT_USER, "Software\\Missing"));
  EXPECT_FALSE(reg.IsOpen());
  std::string log = w.Errors();
  EXPECT_NE(log.find("0,\"failed open for 131097 access "
                     "-2147483647\\Software\\Missing\",\"foundation_tests:CWinReg.InitForAccess\""),
            std::string::npos)
      << log;
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
}
