// "FaxGroup.xml": every way the file can be bad, and a file that cannot be
// written. The round trip of its values is replayed from the fuzz corpus
// (tests/fuzz/corpus/faxgroup) and shown in the configuration window's test.
#include <gtest/gtest.h>

#include <filesystem>

#include "common/ClientConfig.h"
#include "common/Errors.h"
#include "faxjob/CXmlGroups.h"
#include "tests/support/TestUser.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
using test::TestWorld;

namespace {

std::string GroupFile(const TestWorld& w) {
  return w.ProgramDir() + "/FaxGroup.xml";
}

// Reads the file into a configuration that starts from known odd values.
bool ReadWith(const TestWorld& w, const std::string* text) {
  if (text) TestWorld::WriteFile(GroupFile(w), *text);
  Config() = ClientConfig();
  Config().ProgramType = 7;
  Config().ReceiveAll = false;
  Config().EmailFax = "kept@example.org";
  Config().CoverFolder = "";
  CXmlGroups g;
  return g.ReadCfgProps();
}

}  // namespace

TEST(GroupFile, MissingEmptyOrBrokenFilesGiveTheDefaults) {
  TestWorld w;
  // Missing (a new installation) or present but unreadable: the defaults,
  // the address kept, no error record; a bad file is left for the
  // administrator to repair.
  for (const char* bad :
       {static_cast<const char*>(nullptr), "", "<Groups><EmailFax>a@b</EmailFax><Progr",
        "EmailFax=a@b\nProgramType=1\n", "<?xml version=\"1.0\"?>", "<Groups><EmailFax>a</Groups>"}) {
    SCOPED_TRACE(bad ? bad : "missing");
    std::filesystem::remove(w.ProgramDir() + "/Errors.log");
    std::string text = bad ? bad : "";
    EXPECT_FALSE(ReadWith(w, bad ? &text : nullptr));
    EXPECT_EQ(Config().ProgramType, 0);
    EXPECT_TRUE(Config().ReceiveAll);
    EXPECT_FALSE(Config().FaxGroupConnect);
    EXPECT_EQ(Config().EmailFax, "kept@example.org");
    EXPECT_EQ(Config().CoverFolder, w.ProgramDir() + "/coverpage/");
    EXPECT_EQ(w.Errors(), "");
    if (bad) {
      EXPECT_EQ(TestWorld::ReadFile(GroupFile(w)), text);
    }
  }

  // Only the root: read like a file whose elements are all empty.
  std::string bare = "<Groups/>";
  EXPECT_TRUE(ReadWith(w, &bare));
  EXPECT_EQ(Config().ProgramType, 0);
  EXPECT_EQ(Config().EmailFax, "");
  EXPECT_EQ(Config().CoverFolder, w.ProgramDir() + "/coverpage/");
}

TEST(GroupFile, UnknownRepeatedAndBadValues) {
  TestWorld w;
  // Unknown elements are ignored, the first of a repeated one wins, text
  // around values and line breaks do not matter.
  std::string odd =
      "<Groups>\r\n  <Colour>blue</Colour>\r\n  <ProgramType> 1 </ProgramType>\r\n"
      "  <ProgramType>2</ProgramType><ReceiveAll>false</ReceiveAll><ReceiveAll>True</ReceiveAll>"
      "<EmailFax>first@example.org</EmailFax><EmailFax>second@example.org</EmailFax>"
      "<FaxGroupConnect>TRUE</FaxGroupConnect></Groups>";
  EXPECT_TRUE(ReadWith(w, &odd));
  EXPECT_EQ(Config().ProgramType, 1);
  EXPECT_FALSE(Config().ReceiveAll);
  EXPECT_EQ(Config().EmailFax, "first@example.org");
  EXPECT_FALSE(Config().FaxGroupConnect);

  // A value that is not a number or not a Boolean makes the file unreadable:
  // one record of the reader, and the defaults (only an empty text is no
  // value, blanks are not).
  for (auto [text, number] : {std::pair<std::string, std::string>{"<ProgramType>two</ProgramType>", "13"},
                              {"<ProgramType>40000</ProgramType>", "6"},
                              {"<ReceiveAll>yes</ReceiveAll>", "13"},
                              {"<ProgramType>   </ProgramType>", "13"},
                              {"<FaxGroupConnect> </FaxGroupConnect>", "13"}}) {
    SCOPED_TRACE(text);
    std::filesystem::remove(w.ProgramDir() + "/Errors.log");
    std::string file = "<Groups>" + text + "</Groups>";
    EXPECT_FALSE(ReadWith(w, &file));
    EXPECT_EQ(Config().ProgramType, 0);
    EXPECT_TRUE(Config().ReceiveAll);
    EXPECT_EQ(Config().CoverFolder, w.ProgramDir() + "/coverpage/");
    EXPECT_EQ(w.Errors().rfind(number + ",", 0), 0u) << w.Errors();
    EXPECT_NE(w.Errors().find(":CXmlGroups.ReadCfgProps\""), std::string::npos) << w.Errors();
  }

  // Switches may also be numbers; anything but 0 is True.
  std::string numeric = "<Groups><ReceiveAll>0</ReceiveAll></Groups>";
  EXPECT_TRUE(ReadWith(w, &numeric));
  EXPECT_FALSE(Config().ReceiveAll);
}

TEST(GroupFile, AFileThatCannotBeWrittenStaysAsItWas) {
  TestWorld w;
  const std::string old = "<Groups><EmailFax>old@example.org</EmailFax></Groups>";
  TestWorld::WriteFile(GroupFile(w), old);
  Config() = ClientConfig();
  Config().EmailFax = "new@example.org";

  // A program folder an ordinary user may not write.
  test::TestUser user;
  ASSERT_TRUE(user.Made()) << user.Problem();
  std::filesystem::permissions(w.Root(), std::filesystem::perms(0555));
  std::filesystem::permissions(w.ProgramDir(), std::filesystem::perms(0555));
  EXPECT_EQ(user.Run([] {
    try {
      CXmlGroups().WriteCfgProps();
    } catch (const VbError& e) {
      return e.Number() == kErrPermission ? 0 : 2;
    }
    return 1;
  }),
            0);
  EXPECT_EQ(TestWorld::ReadFile(GroupFile(w)), old);
  std::filesystem::permissions(w.ProgramDir(), std::filesystem::perms(0777));

  // A folder in the file's place is not replaced.
  std::filesystem::remove(GroupFile(w));
  std::filesystem::create_directory(GroupFile(w));
  EXPECT_THROW(CXmlGroups().WriteCfgProps(), VbError);
  EXPECT_TRUE(std::filesystem::is_directory(GroupFile(w)));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(w.ProgramDir()), {}), 1);  // no leftovers

  // Replacing keeps the file's permissions.
  std::filesystem::remove(GroupFile(w));
  TestWorld::WriteFile(GroupFile(w), old);
  ::chmod(GroupFile(w).c_str(), 0664);
  CXmlGroups().WriteCfgProps();
  EXPECT_EQ(std::filesystem::status(GroupFile(w)).permissions(), std::filesystem::perms(0664));
  EXPECT_NE(TestWorld::ReadFile(GroupFile(w)).find("new@example.org"), std::string::npos);
}
