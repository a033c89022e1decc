// The registry side of the configuration against the real registry store:
// client paths, folders, sender details, operating-system checks, progress
// status seen by a second process, and start-up loading it all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "common/CRegStatus.h"
#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/CoverFolders.h"
#include "common/FaxJob.h"
#include "common/Folders.h"
#include "common/OsCheck.h"
#include "common/SenderInfo.h"
#include "tests/config/Unprivileged.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
using test::TestWorld;
using test::HKCU;
using test::HKLM;

namespace {

std::string ErrorLog(const TestWorld& w) { return TestWorld::ReadFile(w.ProgramDir() + "/Errors.log"); }

}  // namespace

TEST(ClientPaths, FollowTheFaxServiceFoldersUnlessSetAndSaveThatWay) {
  TestWorld w;
  Config() = ClientConfig();
  test::SetRegString(HKLM, "Software\\Microsoft\\Fax\\Inbox", "Folder", "/var/spool/fax/Inbox");
  test::SetRegString(HKLM, "Software\\Microsoft\\Fax\\SentItems", "Folder", "/var/spool/fax/Sent");
  test::SetRegString(HKCU, kPelorinKey, "ForwardEmail", "boss@example.org");
  test::SetRegString(HKCU, kPelorinKey, "SentPath", "/home/anna/Faxes/Sent");
  test::SetRegString(HKCU, kPelorinKey, "InboxPath", "");
  ReadClientPaths();
  EXPECT_EQ(Config().ForwardEmail, "boss@example.org");
  EXPECT_EQ(Config().InboxPath, "/var/spool/fax/Inbox");
  EXPECT_EQ(Config().MSInboxPath, "/var/spool/fax/Inbox");
  EXPECT_EQ(Config().SentPath, "/home/anna/Faxes/Sent");
  EXPECT_EQ(Config().MSSentPath, "/var/spool/fax/Sent");
  EXPECT_EQ(Config().FaxDevice, GetLocalComputerName());
  EXPECT_FALSE(Config().FaxDevice.empty());

  // A folder equal to the fax service's own (in any letter case) is stored
  // as "": follow the fax service.
  Config().InboxPath = "/VAR/spool/fax/inbox";
  Config().ForwardEmail = "";
  WriteClientPaths();
  EXPECT_EQ(test::RegString(HKCU, kPelorinKey, "InboxPath"), "");
  EXPECT_EQ(test::RegString(HKCU, kPelorinKey, "SentPath"), "/home/anna/Faxes/Sent");
  EXPECT_EQ(test::RegString(HKCU, kPelorinKey, "ForwardEmail"), "");
  EXPECT_EQ(ErrorLog(w), "");

  // Values of the wrong type or far too long read as missing, silently.
  Config() = ClientConfig();
  test::SetRegDword(HKCU, kPelorinKey, "ForwardEmail", 5);
  test::SetRegString(HKCU, kPelorinKey, "SentPath", std::string(300, 'x'));
  ReadClientPaths();
  EXPECT_EQ(Config().ForwardEmail, "");
  EXPECT_EQ(Config().SentPath, "/var/spool/fax/Sent");
  EXPECT_EQ(ErrorLog(w), "");
}

TEST(Folders, ProgramSpoolAndTemporaryFolders) {
  TestWorld w;
  // A program folder that does not exist yet is made.
  std::string fresh = w.Root() + "/new/prog/";
  ::setenv("BREVANT_PROGRAM_DIR", fresh.c_str(), 1);
  EXPECT_EQ(GetProgramFolder(), w.Root() + "/new/prog");
  EXPECT_TRUE(std::filesystem::is_directory(w.Root() + "/new/prog"));
  ::setenv("BREVANT_PROGRAM_DIR", w.ProgramDir().c_str(), 1);

  EXPECT_EQ(GetSpoolFolder(), w.ProgramDir() + "/QuorSpool/");
  test::SetRegString(HKLM, kPelorinKey, "DestDir", w.Root() + "/suite/");
  std::filesystem::create_directory(w.Root() + "/suite");
  EXPECT_EQ(GetSpoolFolder(), w.Root() + "/suite/QuorSpool/");
  // An install folder that is not there: the spool folder stays under it
  // (the fax printer uses the same); a "DestDir" that is not a string reads
  // as missing. Neither is an error.
  test::SetRegString(HKLM, kPelorinKey, "DestDir", "/nonexistent/Suite");
  EXPECT_EQ(GetSpoolFolder(), "/nonexistent/Suite/QuorSpool/");
  test::SetRegDword(HKLM, kPelorinKey, "DestDir", 1);
  EXPECT_EQ(GetSpoolFolder(), w.ProgramDir() + "/QuorSpool/");
  // Only the key that was not there yet at the first call is recorded.
  EXPECT_EQ(ErrorLog(w).find("GetSpoolFolder"), std::string::npos) << ErrorLog(w);
  EXPECT_EQ(ErrorLog(w).find("DestDir"), std::string::npos) << ErrorLog(w);

  // Temporary files: unique, empty, named "Fax...".
  EXPECT_EQ(mCommon::GetTempDir(), w.TempDir() + "/");
  std::string a = mCommon::GetTempFile(), b = mCommon::GetTempFile();
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(w.TempDir() + "/Fax", 0), 0u);
  EXPECT_EQ(std::filesystem::file_size(a), 0u);

  // A temporary folder the user may not write: "" and a record.
  std::filesystem::remove(w.ProgramDir() + "/Errors.log");
  test::OpenFolder(w.Root(), false);
  test::OpenFolder(w.ProgramDir(), true);
  test::OpenFolder(w.TempDir(), false);
  std::string denied = "?";
  {
    test::Unprivileged user;
    denied = mCommon::GetTempFile();
  }
  EXPECT_EQ(denied, "");
  EXPECT_NE(ErrorLog(w).find(":mCommon.GetTempFile\""), std::string::npos) << ErrorLog(w);
}

TEST(SenderInfo, ElevenValuesOfTheFaxServiceKey) {
  TestWorld w;
  FaxJobRecord& j = FaxJob();
  j.SenderAddress = "Ringstraße 5\nBonn";
  j.SenderCompany = "";
  j.SenderEmail = "anna@example.org";
  j.SenderfaxNumber = "+49 228 1";
  j.SenderFullName = "Anna Müller";
  j.SenderWorkPhone = "+49 228 2";
  mCommon::SetSenderInfo();
  EXPECT_EQ(test::RegString(HKCU, kUserInfoKey, "MailBox"), "anna@example.org");
  EXPECT_EQ(test::RegString(HKCU, kUserInfoKey, "FaxNumber"), "+49 228 1");
  EXPECT_EQ(test::RegString(HKCU, kUserInfoKey, "OfficePhone"), "+49 228 2");
  EXPECT_EQ(test::RegString(HKCU, kUserInfoKey, "Address"), "Ringstraße 5\nBonn");
  CWinReg r;
  ASSERT_TRUE(r.InitForRead(HKCU, kUserInfoKey));
  EXPECT_EQ(r.ValueType("Company"), 1u);  // written empty, not deleted
  r.CloseKey();

  // Another program changes the values; one too long and one a number
  // read as missing, silently.
  test::SetRegString(HKCU, kUserInfoKey, "FullName", "Anna Schmidt");
  test::SetRegString(HKCU, kUserInfoKey, "Title", std::string(256, 't'));
  test::SetRegDword(HKCU, kUserInfoKey, "Department", 12);
  j.SenderTitle = "old";
  mCommon::GetSenderInfo();
  EXPECT_EQ(j.SenderFullName, "Anna Schmidt");
  EXPECT_EQ(j.SenderTitle, "");
  EXPECT_EQ(j.SenderDepartment, "");
  EXPECT_EQ(j.SenderAddress, "Ringstraße 5\nBonn");
  EXPECT_EQ(ErrorLog(w), "");
}

TEST(OsCheck, VersionRecordChoosesTheFaxServiceEdition) {
  TestWorld w;
  // No record: Windows XP, build 2600.
  EXPECT_EQ(mCommon::CheckXP(), "XP");
  EXPECT_EQ(mCommon::GetOSDescription(), "Windows NT Win version: 5.1 Build:  2600");
  EXPECT_EQ(ErrorLog(w), "");

  const std::string key = kWindowsVersionKey;
  for (auto [version, xp] : {std::pair<const char*, const char*>{"5.0", ""}, {"5.2", "XP"}, {"6.0", ""},
                             {"10.0", ""}, {"5.10", "XP"}}) {
    test::SetRegString(HKLM, key, "CurrentVersion", version);
    EXPECT_EQ(mCommon::CheckXP(), xp) << version;
  }
  test::SetRegString(HKLM, key, "CurrentVersion", "5.0");
  test::SetRegString(HKLM, key, "CurrentBuildNumber", "2195");
  EXPECT_EQ(mCommon::GetOSDescription(), "Windows NT Win version: 5.0 Build:  2195");

  // An unusable record: the query fails, both give "" and say why.
  for (auto bad : {"5", "five.one", "5.1.2", ""}) {
    test::SetRegString(HKLM, key, "CurrentVersion", bad);
    if (std::string(bad).empty()) test::SetRegDword(HKLM, key, "CurrentVersion", 5);
    std::filesystem::remove(w.ProgramDir() + "/Errors.log");
    EXPECT_EQ(mCommon::CheckXP(), "") << bad;
    EXPECT_EQ(mCommon::GetOSDescription(), "") << bad;
    EXPECT_NE(ErrorLog(w).find(":mCommon.GetOSDescription\""), std::string::npos) << bad;
  }
  EXPECT_FALSE(mCommon::GetSystemDescription().empty());
}

TEST(CoverFolders, TheCommonFolderByEditionAndWhatCountsAsTheServersTemplate) {
  TestWorld w;
  const std::string shell = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
  test::SetRegString(HKLM, shell, "Common AppData", "/srv/Data");
  test::SetRegString(HKLM, shell, "Common Documents", "/srv/Docs");
  test::SetRegString(HKLM, "Software\\Microsoft\\Fax\\Setup", "ServerCoverPageDir", "Fax\\Covers");
  test::SetRegString(HKCU, shell, "Personal", "/home/anna");
  test::SetRegString(HKCU, "Software\\Microsoft\\Fax\\Setup", "CoverPageDir", "Fax");
  EXPECT_EQ(mCommon::PersonalCoverFolder(), "/home/anna/Fax");
  for (const char* xp : {"5.1", "5.2"}) {
    test::SetRegString(HKLM, kWindowsVersionKey, "CurrentVersion", xp);
    EXPECT_EQ(mCommon::CommonCoverFolder(), "/srv/Data/Fax/Covers") << xp;
    // Anywhere in the path, in any letter case.
    EXPECT_TRUE(mCommon::IsServerCoverPage("/SRV/data/fax/covers/Generic.cov")) << xp;
    EXPECT_TRUE(mCommon::IsServerCoverPage("/mnt/srv/Data/Fax/Covers/old/Memo.cov")) << xp;
    EXPECT_FALSE(mCommon::IsServerCoverPage("/home/anna/Fax/Generic.cov")) << xp;
  }
  test::SetRegString(HKLM, kWindowsVersionKey, "CurrentVersion", "6.0");
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
    // Any other value or type is not a cancel and stays.
    ASSERT_EQ(w.RunTool("brevant-reg", "add " + key + " -v Abort -t REG_DWORD -d 2 -f").exitCode, 0);
    EXPECT_FALSE(s.Aborted());
    EXPECT_NE(w.RunTool("brevant-reg", "query " + key + " -v Abort").out.find("0x2"), std::string::npos);
    ASSERT_EQ(w.RunTool("brevant-reg", "add " + key + " -v Abort -d 1 -f").exitCode, 0);
    EXPECT_FALSE(s.Aborted());
  }  // released: Done
  auto q = w.RunTool("brevant-reg", "query " + key);
  EXPECT_EQ(q.exitCode, 0);
  EXPECT_EQ(q.out.find("REG_"), std::string::npos) << q.out;
}

TEST(StartUp, LoadsGroupFileSenderAndClientPaths) {
  TestWorld w;
  TestWorld::WriteFile(w.ProgramDir() + "/FaxGroup.xml", "<Groups><ProgramType>many</ProgramType></Groups>");
  // An unknown command word: start-up runs, then nothing is done.
  auto r = w.RunTool("brevant", "'nothing;0;'");
  EXPECT_EQ(r.exitCode, 0) << r.err;
  std::string log = ErrorLog(w);
  EXPECT_NE(log.find("13,\"nothing;0;Type mismatch"), std::string::npos) << log;
  EXPECT_NE(log.find(":Brevant.mMisc.Main\""), std::string::npos) << log;

  // With a good file the run ends normally.
  std::filesystem::remove(w.ProgramDir() + "/Errors.log");
  TestWorld::WriteFile(w.ProgramDir() + "/FaxGroup.xml", "<Groups><ProgramType>1</ProgramType></Groups>");
  r = w.RunTool("brevant", "'nothing;0;'");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(ErrorLog(w).find("mMisc.Main"), std::string::npos) << ErrorLog(w);
  EXPECT_NE(TestWorld::ReadFile(w.ProgramDir() + "/brevant.log").find("Main - END"), std::string::npos);

  // An installed copy (programs in <prefix>/lib/brevant) reads the file
  // every user shares from <prefix>/etc/brevant, not from the user's
  // program folder.
  const std::string prefix = w.Root() + "/usr";
  std::filesystem::create_directories(prefix + "/lib/brevant");
  std::filesystem::copy_file(test::BinDir() + "/brevant", prefix + "/lib/brevant/brevant");
  TestWorld::WriteFile(prefix + "/etc/brevant/FaxGroup.xml", "<Groups><ProgramType>1</ProgramType></Groups>");
  TestWorld::WriteFile(w.ProgramDir() + "/FaxGroup.xml", "<Groups><ProgramType>0</ProgramType></Groups>");
  r = w.RunArgs(prefix + "/lib/brevant/brevant", {"sendnow;0;Ann#;5551234#;/x.pdf#"});
  EXPECT_NE(r.err.find("Pelorin: You should set Fax Mail in Setup for using Pelorin."), std::string::npos) << r.err;
  std::filesystem::remove(prefix + "/etc/brevant/FaxGroup.xml");
  r = w.RunArgs(prefix + "/lib/brevant/brevant", {"sendnow;0;;;/x.pdf#"});
  EXPECT_EQ(r.err.find("Fax Mail"), std::string::npos) << "without the shared file: the defaults";
  EXPECT_NE(r.err.find("Pelorin: Please dial a fax number."), std::string::npos) << r.err;
}
