// The registry side of the configuration against the real registry store:
// client paths, folders, operating-system checks, progress
// status seen by a second process, and start-up loading it all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "common/CRegStatus.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/CoverFolders.h"
#include "common/Folders.h"
#include "common/OsCheck.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
using test::HKCU;
using test::HKLM;
using test::RegString;
using test::SetRegDword;
using test::SetRegString;
using test::TestWorld;

// (The window that sets them is driven in tests/cover/ConfigDialogsTest.)
TEST(ClientPaths, FollowTheFaxServiceFoldersUnlessSetAndSaveThatWay) {
  TestWorld w;
  Config() = ClientConfig();
  SetRegString(HKLM, "Software\\Microsoft\\Fax\\Inbox", "Folder", "/var/spool/fax/Inbox");
  SetRegString(HKLM, "Software\\Microsoft\\Fax\\SentItems", "Folder", "/var/spool/fax/Sent");
  SetRegString(HKCU, kPelorinKey, "SentPath", "/home/anna/Faxes/Sent");
  SetRegString(HKCU, kPelorinKey, "ForwardEmail", "boss@example.org");
  ReadClientPaths();
  const ClientConfig& c = Config();
  EXPECT_EQ(
      c.ForwardEmail + "|" + c.InboxPath + "|" + c.MSInboxPath + "|" + c.SentPath + "|" + c.MSSentPath,
      "boss@example.org|/var/spool/fax/Inbox|/var/spool/fax/Inbox|/home/anna/Faxes/Sent|/var/spool/fax/Sent");
  // A folder equal to the fax service's own in any letter case is stored
  // as "": follow the fax service. A cleared address is stored cleared.
  Config().InboxPath = "/VAR/spool/fax/inbox";
  Config().ForwardEmail = "";
  WriteClientPaths();
  EXPECT_EQ(RegString(HKCU, kPelorinKey, "InboxPath"), "");
  EXPECT_EQ(RegString(HKCU, kPelorinKey, "SentPath"), "/home/anna/Faxes/Sent");
  EXPECT_EQ(RegString(HKCU, kPelorinKey, "ForwardEmail"), "");
  EXPECT_EQ(w.Errors(), "");
}

TEST(Folders, ProgramSpoolAndTemporaryFolders) {
  TestWorld w;
  // A program folder that does not exist yet is made.
  ::setenv("BREVANT_PROGRAM_DIR", (w.Root() + "/new/prog/").c_str(), 1);
  EXPECT_EQ(GetProgramFolder(), w.Root() + "/new/prog");
  EXPECT_TRUE(std::filesystem::is_directory(w.Root() + "/new/prog"));
  ::setenv("BREVANT_PROGRAM_DIR", w.ProgramDir().c_str(), 1);

  EXPECT_EQ(GetSpoolFolder(), w.ProgramDir() + "/QuorSpool/");
  SetRegString(HKLM, kPelorinKey, "DestDir", w.Root() + "/suite/");
  EXPECT_EQ(GetSpoolFolder(), w.Root() + "/suite/QuorSpool/");
  // An install folder that is not there: the spool folder stays under it
  // (the fax printer uses the same); a "DestDir" that is not a string reads
  // as missing. Neither is an error.
  SetRegString(HKLM, kPelorinKey, "DestDir", "/nonexistent/Suite");
  EXPECT_EQ(GetSpoolFolder(), "/nonexistent/Suite/QuorSpool/");
  SetRegDword(HKLM, kPelorinKey, "DestDir", 1);
  EXPECT_EQ(GetSpoolFolder(), w.ProgramDir() + "/QuorSpool/");
  EXPECT_EQ(w.Errors().find("DestDir"), std::string::npos) << w.Errors();

  // Temporary files: in the user's own folder of the runtime folder (made
  // 0700), unique, empty, named "Fax...".
  EXPECT_EQ(mCommon::GetTempDir(), w.PrivateTempDir() + "/");
  EXPECT_EQ(std::filesystem::status(w.PrivateTempDir()).permissions(), std::filesystem::perms::owner_all);
  std::string a = mCommon::GetTempFile(), b = mCommon::GetTempFile();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(w.PrivateTempDir() + "/Fax", 0), 0u);
  EXPECT_EQ(std::filesystem::file_size(a), 0u);
}

TEST(OsCheck, VersionRecordChoosesTheFaxServiceEditionAndTheCoverFolders) {
  TestWorld w;
  EXPECT_EQ(mCommon::CheckXP(), "XP");  // no record: Windows XP
  const std::string key = kWindowsVersionKey;
  for (auto [version, xp] : {std::pair<const char*, const char*>{"5.0", ""},
                             {"5.2", "XP"},
                             {"6.0", ""},
                             {"10.0", ""},
                             {"5.10", "XP"}}) {
    SetRegString(HKLM, key, "CurrentVersion", version);
    EXPECT_EQ(mCommon::CheckXP(), xp) << version;
  }
  EXPECT_EQ(w.Errors(), "");
  // An unusable record: the query fails and both answers are "", with no
  // record (only opening a key that is not there writes one).
  for (auto bad : {"5", "five.one", "5.1.2", ""}) {
    SetRegString(HKLM, key, "CurrentVersion", bad);
    if (!*bad) SetRegDword(HKLM, key, "CurrentVersion", 5);
    EXPECT_EQ(mCommon::CheckXP() + mCommon::GetOSDescription(), "") << bad;
  }
  EXPECT_EQ(w.Errors(), "");

  // The common cover folder by edition, and what counts as the server's
  // template: anywhere in the path, in any letter case.
  const std::string shell = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
  SetRegString(HKLM, shell, "Common AppData", "/srv/Data");
  SetRegString(HKLM, shell, "Common Documents", "/srv/Docs");
  SetRegString(HKLM, "Software\\Microsoft\\Fax\\Setup", "ServerCoverPageDir", "Fax\\Covers");
  SetRegString(HKCU, shell, "Personal", "/home/anna");
  SetRegString(HKCU, "Software\\Microsoft\\Fax\\Setup", "CoverPageDir", "Fax");
  EXPECT_EQ(mCommon::PersonalCoverFolder(), "/home/anna/Fax");
  for (const char* xp : {"5.1", "5.2"}) {
    SetRegString(HKLM, key, "CurrentVersion", xp);
    EXPECT_EQ(mCommon::CommonCoverFolder(), "/srv/Data/Fax/Covers") << xp;
    EXPECT_TRUE(mCommon::IsServerCoverPage("/SRV/data/fax/covers/Generic.cov")) << xp;
    EXPECT_TRUE(mCommon::IsServerCoverPage("/mnt/srv/Data/Fax/Covers/old/Memo.cov")) << xp;
    EXPECT_FALSE(mCommon::IsServerCoverPage("/home/anna/Fax/Generic.cov")) << xp;
  }
  SetRegString(HKLM, key, "CurrentVersion", "6.0");
  EXPECT_EQ(mCommon::CommonCoverFolder(), "/srv/Docs/My Faxes/Common Coverpages");
  EXPECT_TRUE(mCommon::IsServerCoverPage("/srv/docs/my faxes/common coverpages/Generic.cov"));
  EXPECT_FALSE(mCommon::IsServerCoverPage("/srv/Data/Fax/Covers/Generic.cov"));
}

TEST(RegStatus, ProgressIsVisibleToAnotherProcessAndAbortIsReportedOnce) {
  TestWorld w;
  const std::string key = std::string("'HKCU\\") + CRegStatus::kKey + "'";
  {
    CRegStatus s;
    s.SetPos(9);  // before Init: nothing written, nothing breaks
    s.Init(10, 0, 1, 2, "Printing report.pdf");
    s.SetPos(3);
    s.SetRange(1, 12);
    s.SetStatusText("Printing Grüße.odt");
    EXPECT_EQ(s.GetProgressMax(), 12);
    auto q = w.RunTool("brevant-reg", "query " + key);
    ASSERT_EQ(q.exitCode, 0) << q.err;
    for (const char* line : {"ProgressPos    REG_DWORD    0x3", "ProgressMin    REG_DWORD    0x1",
                             "ProgressMax    REG_DWORD    0xc", "ProgressStep    REG_DWORD    0x1",
                             "Caption    REG_SZ    Printing Grüße.odt"})
      EXPECT_NE(q.out.find(line), std::string::npos) << q.out;
    // The progress window cancels: reported once, then reset to 0.
    EXPECT_FALSE(s.Aborted());
    ASSERT_EQ(w.RunTool("brevant-reg", "add " + key + " -v Abort -t REG_DWORD -d 1 -f").exitCode, 0);
    EXPECT_TRUE(s.Aborted());
    EXPECT_FALSE(s.Aborted());
    EXPECT_NE(w.RunTool("brevant-reg", "query " + key + " -v Abort").out.find("0x0"), std::string::npos);
  }  // released: Done
  auto q = w.RunTool("brevant-reg", "query " + key);
  EXPECT_EQ(q.exitCode, 0);
  EXPECT_EQ(q.out.find("REG_"), std::string::npos) << q.out;
}

TEST(StartUp, LoadsGroupFileSenderAndClientPaths) {
  TestWorld w;
  // A hand-edited group file that cannot be read is recorded once by its
  // reader; the command still runs, with the defaults.
  TestWorld::WriteFile(w.ProgramDir() + "/FaxGroup.xml",
                       "<Groups><ProgramType>&amp;H1</ProgramType></Groups>");
  auto r = w.RunTool("brevant", "help");
  EXPECT_NE(r.err.find("Pelorin: Help"), std::string::npos) << r.err;
  EXPECT_NE(w.Errors().find(":CXmlGroups.ReadCfgProps\""), std::string::npos) << w.Errors();
  EXPECT_EQ(w.Errors().find("mMisc.Main"), std::string::npos) << w.Errors();

  // An installed copy (programs in <prefix>/lib/brevant) reads the file
  // every user shares from <prefix>/etc/brevant, not from the user's
  // program folder.
  const std::string prefix = w.Root() + "/usr";
  std::filesystem::create_directories(prefix + "/lib/brevant");
  std::filesystem::copy_file(test::BinDir() + "/brevant", prefix + "/lib/brevant/brevant");
  TestWorld::WriteFile(prefix + "/etc/brevant/FaxGroup.xml", "<Groups><ProgramType>1</ProgramType></Groups>");
  TestWorld::WriteFile(w.ProgramDir() + "/FaxGroup.xml", "<Groups><ProgramType>0</ProgramType></Groups>");
  r = w.RunArgs(prefix + "/lib/brevant/brevant", {"sendnow;0;Ann#;5551234#;/x.pdf#"});
  EXPECT_NE(r.err.find("Pelorin: You should set Fax Mail in Setup for using Pelorin."), std::string::npos)
      << r.err;
  std::filesystem::remove(prefix + "/etc/brevant/FaxGroup.xml");
  r = w.RunArgs(prefix + "/lib/brevant/brevant", {"sendnow;0;;;/x.pdf#"});
  EXPECT_EQ(r.err.find("Fax Mail"), std::string::npos) << "without the shared file: the defaults";
  EXPECT_NE(r.err.find("Pelorin: Please dial a fax number."), std::string::npos) << r.err;
}
