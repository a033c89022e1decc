// Repair steps against real shared libraries (tools/components) and the real
// registry store.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/Logging.h"
#include "maintenance/Installation.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"
#include "tests/support/UiRecorder.h"

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

}  // namespace

TEST(Registration, EntryOutcomesOfRealLibraries) {
  test::TestWorld w;
  std::string log = w.Root() + "/components.log";
  ::setenv("BREVANT_COMPONENT_LOG", log.c_str(), 1);
  const std::string good = "register component-good.so\nunregister component-good.so\n";
  EXPECT_TRUE(mInstallation::RegisterServerDll(Fixture("good"), true));
  EXPECT_TRUE(mInstallation::RegisterServerDll(Fixture("good"), false));
  EXPECT_EQ(test::TestWorld::ReadFile(log), good);
  EXPECT_EQ(test::TestWorld::ReadFile(ErrorLogPath()), "");

  // Each failure has a record naming its library, this process survives the
  // crash, and a hanging library is stopped within ten seconds.
  test::TestWorld::WriteFile(w.ProgramDir() + "/NotALibrary.dll", "MZ this is text\n");
  auto t0 = std::chrono::steady_clock::now();
  for (const std::string& bad : {Fixture("noentry"), Fixture("refuses"), Fixture("crashes"), Fixture("hangs"),
                                 w.ProgramDir() + "/Missing.dll", w.ProgramDir() + "/NotALibrary.dll"}) {
    EXPECT_FALSE(mInstallation::RegisterServerDll(bad, true)) << bad;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(14));
  EXPECT_EQ(test::TestWorld::ReadFile(log), good);
  std::string errors = test::TestWorld::ReadFile(ErrorLogPath());
  for (const char* part : {"component-noentry.so", "component-refuses.so", "component-crashes.so", "Missing.dll",
                           "NotALibrary.dll", "no registration entry", "mInstallation.RegisterServerDll",
                           "did not return within 10 s"}) {
    EXPECT_NE(errors.find(part), std::string::npos) << part;
  }
  ::unsetenv("BREVANT_COMPONENT_LOG");
}

TEST(Repair, AddinKeysInTheLocalMachineStore) {
  test::TestWorld w;
  test::UiRecorder ui;
  const std::string office = "Software\\Microsoft\\Office\\";
  const std::string word = office + "Word\\Addins\\QuorWordAddin.ConnectWord";
  auto expectKey = [](const std::string& key, const char* friendly) {
    CWinReg reg;
    ASSERT_TRUE(reg.InitForRead(CWinReg::HKEY_LOCAL_MACHINE, key)) << key;
    EXPECT_EQ(reg.GetDword("CommandLineSafe"), 0);
    EXPECT_EQ(reg.GetString("CommandLineSafe"), "");  // a DWORD, not text
    EXPECT_EQ(reg.GetDword("LoadBehavior"), 3);
    EXPECT_EQ(reg.GetString("Description"), "Add-In Orlimex");
    EXPECT_EQ(reg.GetString("FriendlyName"), friendly);
  };
  {
    // Without Word or Excel: the Word key is skipped; Excel's is still written.
    Office without(true, false, false);
    EXPECT_TRUE(mInstallation::RegisterAddin());
    expectKey(office + "Outlook\\Addins\\PelorinAddin.ConnectOutlook", "Outlook Fax");
    expectKey(office + "Excel\\Addins\\QuorExcelAddin.ConnectExcel", "Excel Fax");
    EXPECT_EQ(test::RegString(test::HKLM, word, "FriendlyName"), "<no key>");
  }
  Office all(true, true, true);
  EXPECT_TRUE(mInstallation::RegisterAddin());
  expectKey(word, "Outlook Word");
  EXPECT_TRUE(ui.messages.empty());
}

namespace {

// The user's desktop folders inside the world.
struct UserHome {
  explicit UserHome(const test::TestWorld& w) : home(w.Root() + "/home"), data(home + "/.local/share") {
    fs::create_directories(data);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", data.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
    ::setenv("BREVANT_MAILDIR", (home + "/Maildir").c_str(), 1);
  }
  ~UserHome() {
    for (const char* v : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "BREVANT_MAILDIR", "BREVANT_COMPONENT_DIR"}) ::unsetenv(v);
  }
  std::string home, data;
};

std::string Component(const std::string& name) { return test::BinDir() + "/" + name + ".dll"; }

}  // namespace

TEST(Components, EachInstallsItsIntegrationForTheUserRemovesItAndRepairBringsItBack) {
  test::TestWorld w;
  UserHome user(w);
  const std::string send = test::BinDir() + "/brevant-send-files";
  const std::string entry = user.data + "/applications/brevant-sendto.desktop";
  const std::string script = user.data + "/nautilus/scripts/Send to fax";
  const std::string thunar = user.data + "/Thunar/sendto/brevant-sendto.desktop";
  const std::string page = user.data + "/applications/brevant-sendpage.desktop";
  const std::string link = user.data + "/applications/brevant-faxlink.desktop";
  const std::string progId = "Software\\Classes\\Pelorin.Application";

  for (const char* c : {"QuorSendTo", "QuorIE", "Pelorin", "PelorinAddin", "Redemption"})
    ASSERT_TRUE(mInstallation::RegisterServerDll(Component(c), true)) << c << test::TestWorld::ReadFile(ErrorLogPath());

  auto has = [](const std::string& file, const std::string& text) {
    return test::TestWorld::ReadFile(file).find(text) != std::string::npos;
  };
  EXPECT_TRUE(has(entry, "Exec=\"" + send + "\" %F\n"));
  EXPECT_TRUE(has(entry, "application/vnd.oasis.opendocument.text;"));
  EXPECT_EQ(test::TestWorld::ReadFile(thunar), test::TestWorld::ReadFile(entry));
  EXPECT_TRUE(has(script, "exec \"" + send + "\" \"$@\""));
  EXPECT_EQ(fs::status(script).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
  EXPECT_TRUE(has(page, "MimeType=text/html;"));
  EXPECT_TRUE(has(link, "MimeType=x-scheme-handler/fax;"));
  EXPECT_TRUE(has(user.home + "/.config/mimeapps.list", "x-scheme-handler/fax=brevant-faxlink.desktop"));
  EXPECT_EQ(test::RegString(test::HKCU, progId, "Library"), fs::canonical(Component("Pelorin")).string());
  EXPECT_TRUE(fs::is_directory(user.home + "/Maildir/new"));
  {
    // A "fax:" link becomes the wizard's one recipient; nothing else of the
    // link reaches the command line.
    std::string copy = w.Root() + "/linkbin";
    fs::create_directories(copy);
    fs::copy_file(test::BinDir() + "/brevant-fax-link", copy + "/brevant-fax-link");
    test::TestWorld::WriteFile(copy + "/brevant", "#!/bin/sh\nprintf '%s' \"$1\" > '" + copy + "/args'\n");
    ::chmod((copy + "/brevant").c_str(), 0755);
    ::chmod((copy + "/brevant-fax-link").c_str(), 0755);
    ASSERT_EQ(::system(("'" + copy + "/brevant-fax-link' 'fax:+49%2030-1234;isub=5#;x'").c_str()), 0);
    EXPECT_EQ(test::TestWorld::ReadFile(copy + "/args"), "new;0;+49 30-1234#;+49 30-1234#;");
  }

  for (const char* c : {"QuorSendTo", "QuorIE", "Pelorin", "PelorinAddin", "Redemption"})
    EXPECT_TRUE(mInstallation::RegisterServerDll(Component(c), false)) << c;
  for (const auto& f : {entry, script, thunar, page, link}) EXPECT_FALSE(fs::exists(f)) << f;
  EXPECT_EQ(test::RegString(test::HKCU, progId, "Library"), "<no key>");
  EXPECT_TRUE(fs::is_directory(user.home + "/Maildir/new")) << "nobody's mail is deleted";

  // Repair over the built suite (the office add-ins have a test of their
  // own) succeeds and brings the removed registrations back.
  test::UiRecorder ui;
  Office office(true, false, false);
  test::SetRegString(test::HKLM, kPelorinKey, "SystemDir", test::BinDir());  // Redemption.dll beside the programs
  ASSERT_EQ(mInstallation::GetComponentFolder(), test::BinDir());
  EXPECT_TRUE(mInstallation::CheckFiles(mInstallation::GetComponentFolder()));
  EXPECT_TRUE(mInstallation::RegDll(mInstallation::GetComponentFolder()));
  for (const auto& f : {entry, script, thunar, page, link}) EXPECT_TRUE(fs::exists(f)) << f;
  EXPECT_TRUE(ui.messages.empty());
}

// LibreOffice refuses extensions of root's own; the add-ins are registered
// as an ordinary user ("nobody") with a home inside the world, and "Send as
// Fax" is run on a document in that user's LibreOffice.
TEST(Components, SendAsFaxFromLibreOfficeHandsTheDocumentOver) {
  if (::geteuid() != 0 || ::system("command -v soffice unopkg runuser >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "needs root, LibreOffice and runuser";
  test::TestWorld w;
  std::string dir = w.Root() + "/lo";
  fs::create_directories(dir + "/home");
  fs::create_directories(dir + "/bin");
  for (const char* f : {"QuorWordAddin.dll", "QuorWordAddin.oxt", "QuorExcelAddin.dll", "QuorExcelAddin.oxt",
                        "brevant-regsvr"})
    fs::copy_file(test::BinDir() + "/" + f, dir + "/" + f);
  // What "Send as Fax" starts, recorded.
  test::TestWorld::WriteFile(dir + "/bin/brevant-send-files", "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + dir + "/sent'\n");
  test::TestWorld::WriteFile(dir + "/note one.txt", "Hello fax\n");
  test::TestWorld::WriteFile(dir + "/sums.csv", "1,2\n3,4\n");
  // The world is the test's own; the folders above it only need to let the
  // user pass.
  for (std::string p = w.Root(); p.size() > 1; p = fs::path(p).parent_path().string()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) ::chmod(p.c_str(), (st.st_mode & 07777) | S_IXGRP | S_IXOTH);
  }
  ::system(("chmod -R a+rwX '" + dir + "'").c_str());
  ::chmod((dir + "/bin/brevant-send-files").c_str(), 0755);
  std::string as = "runuser -u nobody -- env HOME='" + dir + "/home' TMPDIR='" + dir + "' PATH='" + dir +
                   "/bin:/usr/bin:/bin' ";
  auto run = [&](const std::string& cmd) { return ::system((as + cmd + " 2>/dev/null").c_str()); };

  ASSERT_EQ(run("'" + dir + "/brevant-regsvr' '" + dir + "/QuorWordAddin.dll'"), 0);
  ASSERT_EQ(run("'" + dir + "/brevant-regsvr' '" + dir + "/QuorExcelAddin.dll'"), 0);
  ASSERT_EQ(run("unopkg list > '" + dir + "/list'"), 0);

  // A macro of the user's own opens a text file in Writer, a CSV in Calc
  // and a new, unsaved Writer document, and runs the menu's command in each.
  ASSERT_EQ(run("soffice --headless --norestore --terminate_after_init >/dev/null"), 0);
  std::string module = dir + "/home/.config/libreoffice/4/user/basic/Standard/Module1.xba";
  ASSERT_TRUE(fs::exists(module));
  auto send = [&](const std::string& url, const std::string& lib) {
    return "  doc = StarDesktop.loadComponentFromURL(\"" + url + "\", \"_blank\", 0, Array())\n"
           "  helper.executeDispatch(doc.getCurrentController().getFrame(), \"vnd.sun.star.script:" + lib +
           ".SendFax.SendAsFax?language=Basic&amp;location=application\", \"\", 0, Array())\n"
           "  doc.close(True)\n";
  };
  test::TestWorld::WriteFile(
      module,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE script:module PUBLIC \"-//OpenOffice.org//DTD OfficeDocument 1.0//EN\" \"module.dtd\">\n"
      "<script:module xmlns:script=\"http://openoffice.org/2000/script\" script:name=\"Module1\" "
      "script:language=\"StarBasic\">\nSub Drive\n  Dim doc As Object, helper As Object\n"
      "  helper = createUnoService(\"com.sun.star.frame.DispatchHelper\")\n" +
          send("file://" + dir + "/note%20one.txt", "PelorinWriterFax") +
          send("file://" + dir + "/sums.csv", "PelorinCalcFax") + send("private:factory/swriter", "PelorinWriterFax") +
          "  StarDesktop.terminate()\nEnd Sub\n</script:module>\n");
  ::chmod(module.c_str(), 0666);
  ASSERT_EQ(run("timeout 90 soffice --headless --norestore macro:///Standard.Module1.Drive"), 0);

  std::string list = test::TestWorld::ReadFile(dir + "/list");
  EXPECT_NE(list.find("com.norvane.pelorin.writer"), std::string::npos) << list;
  EXPECT_NE(list.find("com.norvane.pelorin.calc"), std::string::npos) << list;
  std::string sent = test::TestWorld::ReadFile(dir + "/sent");
  EXPECT_EQ(sent, dir + "/note one.txt\n" + dir + "/sums.csv\n" + dir + "/Untitled 1.pdf\n");
  EXPECT_EQ(test::TestWorld::ReadFile(dir + "/Untitled 1.pdf").substr(0, 5), "%PDF-") << "an unsaved document as PDF";

  ASSERT_EQ(run("'" + dir + "/brevant-regsvr' /u '" + dir + "/QuorWordAddin.dll'"), 0);
  ASSERT_EQ(run("unopkg list > '" + dir + "/list'"), 0);
  list = test::TestWorld::ReadFile(dir + "/list");
  EXPECT_EQ(list.find("com.norvane.pelorin.writer"), std::string::npos);
  EXPECT_NE(list.find("com.norvane.pelorin.calc"), std::string::npos);
}
