// Repair steps against real shared libraries (tools/components) and the real
// registry store.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Logging.h"
#include "maintenance/Installation.h"
#include "tests/maintenance/UiRecorder.h"
#include "tests/support/TestWorld.h"

using namespace brevant;
namespace fs = std::filesystem;

namespace {

std::string Fixture(const std::string& kind) { return std::string(BREVANT_COMPONENTS_DIR) + "/component-" + kind + ".so"; }

struct Office {
  Office(bool outlook, bool word, bool excel) {
    mInstallation::SetOfficeProbes({[=] { return outlook; }, [=] { return word; }, [=] { return excel; }});
  }
  ~Office() { mInstallation::SetOfficeProbes({}); }
};

// A program folder with the suite's libraries (good ones unless stated) and a
// system folder holding Redemption.dll.
std::string InstallSuite(const test::TestWorld& w, const std::vector<std::string>& files) {
  for (const auto& f : files) fs::copy_file(Fixture("good"), w.ProgramDir() + "/" + f, fs::copy_options::overwrite_existing);
  std::string sys = w.Root() + "/system";
  fs::create_directories(sys);
  fs::copy_file(Fixture("good"), sys + "/Redemption.dll", fs::copy_options::overwrite_existing);
  CWinReg reg;
  reg.InitForWrite(CWinReg::HKEY_LOCAL_MACHINE, kPelorinKey, true);
  reg.SetString("SystemDir", sys);
  return sys;
}

}  // namespace

TEST(Registration, EntryOutcomesOfRealLibraries) {
  test::TestWorld w;
  std::string log = w.Root() + "/components.log";
  ::setenv("BREVANT_COMPONENT_LOG", log.c_str(), 1);

  EXPECT_TRUE(mInstallation::RegisterServerDll(Fixture("good"), true));
  EXPECT_TRUE(mInstallation::RegisterServerDll(Fixture("good"), false));
  EXPECT_EQ(test::TestWorld::ReadFile(log), "register component-good.so\nunregister component-good.so\n");
  EXPECT_EQ(test::TestWorld::ReadFile(ErrorLogPath()), "");

  test::TestWorld::WriteFile(w.ProgramDir() + "/NotALibrary.dll", "MZ this is text\n");
  for (const std::string& bad : {Fixture("noentry"), Fixture("refuses"), Fixture("crashes"),
                                 w.ProgramDir() + "/Missing.dll", w.ProgramDir() + "/NotALibrary.dll"}) {
    EXPECT_FALSE(mInstallation::RegisterServerDll(bad, true)) << bad;
  }
  // Only the good library ever wrote to the log; each failure has a record
  // naming its library, and this process survived the crash.
  EXPECT_EQ(test::TestWorld::ReadFile(log), "register component-good.so\nunregister component-good.so\n");
  std::string errors = test::TestWorld::ReadFile(ErrorLogPath());
  for (const char* name : {"component-noentry.so", "component-refuses.so", "component-crashes.so", "Missing.dll",
                           "NotALibrary.dll"}) {
    EXPECT_NE(errors.find(name), std::string::npos) << name;
  }
  EXPECT_NE(errors.find("no registration entry"), std::string::npos);
  EXPECT_NE(errors.find("mInstallation.RegisterServerDll"), std::string::npos);
  ::unsetenv("BREVANT_COMPONENT_LOG");
}

TEST(Registration, AHangingLibraryIsStoppedWithinTenSeconds) {
  test::TestWorld w;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(mInstallation::RegisterServerDll(Fixture("hangs"), true));
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_LT(took, std::chrono::seconds(12));
  EXPECT_NE(test::TestWorld::ReadFile(ErrorLogPath()).find("did not return within 10 s"), std::string::npos);
}

TEST(Repair, FilesAndRegistrationFollowTheInstalledOfficePrograms) {
  test::TestWorld w;
  test::UiRecorder ui;
  Office office(true, true, false);  // no Excel
  std::string log = w.Root() + "/components.log";
  ::setenv("BREVANT_COMPONENT_LOG", log.c_str(), 1);
  InstallSuite(w, {"QuorSendTo.dll", "QuorIE.dll", "Pelorin.dll", "PelorinAddin.dll", "QuorWordAddin.dll"});

  // Without Excel its add-in is neither checked nor registered.
  EXPECT_TRUE(mInstallation::CheckFiles(w.ProgramDir()));
  EXPECT_TRUE(mInstallation::RegDll(w.ProgramDir()));
  EXPECT_EQ(test::TestWorld::ReadFile(log),
            "register QuorSendTo.dll\nregister QuorIE.dll\nregister Pelorin.dll\nregister PelorinAddin.dll\n"
            "register QuorWordAddin.dll\nregister Redemption.dll\n");
  EXPECT_TRUE(ui.messages.empty());

  // With Excel its missing add-in fails the check and the registration.
  {
    Office withExcel(true, true, true);
    EXPECT_FALSE(mInstallation::CheckFiles(w.ProgramDir()));
  }
  Office noExcel(true, true, false);

  // A missing QuorIE.dll: the check fails, its registration fails with a
  // message and a record, and the others still register. Names ignore case.
  fs::remove(w.ProgramDir() + "/QuorIE.dll");
  fs::rename(w.ProgramDir() + "/Pelorin.dll", w.ProgramDir() + "/pelorin.DLL");
  fs::remove(log);
  EXPECT_FALSE(mInstallation::CheckFiles(w.ProgramDir()));
  EXPECT_FALSE(mInstallation::RegDll(w.ProgramDir()));
  std::string path = w.ProgramDir() + "/QuorIE.dll";
  EXPECT_EQ(ui.messages, std::vector<std::string>{"Pelorin: " + path + " - registration unsuccessful."});
  EXPECT_EQ(test::TestWorld::ReadFile(log),
            "register QuorSendTo.dll\nregister pelorin.DLL\nregister PelorinAddin.dll\n"
            "register QuorWordAddin.dll\nregister Redemption.dll\n");
  std::string errors = test::TestWorld::ReadFile(ErrorLogPath());
  EXPECT_NE(errors.find("Cannot registrate:" + path), std::string::npos) << errors;
  EXPECT_NE(errors.find("124"), std::string::npos);
  ::unsetenv("BREVANT_COMPONENT_LOG");
}

TEST(Repair, AddinKeysInTheLocalMachineStore) {
  test::TestWorld w;
  test::UiRecorder ui;
  struct Row {
    const char* key;
    const char* friendly;
  };
  const Row word{"Software\\Microsoft\\Office\\Word\\Addins\\QuorWordAddin.ConnectWord", "Outlook Word"};
  const Row outlook{"Software\\Microsoft\\Office\\Outlook\\Addins\\PelorinAddin.ConnectOutlook", "Outlook Fax"};
  const Row excel{"Software\\Microsoft\\Office\\Excel\\Addins\\QuorExcelAddin.ConnectExcel", "Excel Fax"};
  auto expectKey = [](const Row& r) {
    CWinReg reg;
    ASSERT_TRUE(reg.InitForRead(CWinReg::HKEY_LOCAL_MACHINE, r.key)) << r.key;
    EXPECT_EQ(reg.GetDword("CommandLineSafe"), 0);
    EXPECT_EQ(reg.GetString("CommandLineSafe"), "");  // a DWORD, not text
    EXPECT_EQ(reg.GetDword("LoadBehavior"), 3);
    EXPECT_EQ(reg.GetString("Description"), "Add-In Orlimex");
    EXPECT_EQ(reg.GetString("FriendlyName"), r.friendly);
  };
  {
    // Without Word or Excel: the Word key is skipped; Excel's is still written.
    Office office(true, false, false);
    EXPECT_TRUE(mInstallation::RegisterAddin());
    expectKey(outlook);
    expectKey(excel);
    CWinReg reg;
    EXPECT_FALSE(reg.InitForRead(CWinReg::HKEY_LOCAL_MACHINE, word.key));
  }
  {
    Office office(true, true, true);
    EXPECT_TRUE(mInstallation::RegisterAddin());
    expectKey(word);
  }
  EXPECT_TRUE(ui.messages.empty());
}
