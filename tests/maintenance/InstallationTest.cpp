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
using test::TestWorld;

namespace {

std::string Fixture(const std::string& kind) {
  return std::string(BREVANT_COMPONENTS_DIR) + "/component-" + kind + ".so";
}

struct Office {
  Office(bool outlook, bool word, bool excel) {
    mInstallation::SetOfficeProbes({[=] { return outlook; }, [=] { return word; }, [=] { return excel; }});
  }
  ~Office() { mInstallation::SetOfficeProbes({}); }
};

}  // namespace

TEST(Registration, EntryOutcomesOfRealLibraries) {
  TestWorld w;
  std::string log = w.Root() + "/components.log";
  ::setenv("BREVANT_COMPONENT_LOG", log.c_str(), 1);
  const std::string good = "register component-good.so\nunregister component-good.so\n";
  EXPECT_TRUE(mInstallation::RegisterServerDll(Fixture("good"), true));
  EXPECT_TRUE(mInstallation::RegisterServerDll(Fixture("good"), false));
  EXPECT_EQ(TestWorld::ReadFile(log), good);
  EXPECT_EQ(TestWorld::ReadFile(ErrorLogPath()), "");

  // Each failure is traced with its library and why (the error record is the
  // caller's), this process survives the crash, and a hanging library is
  // stopped within ten seconds.
  TestWorld::WriteFile(w.ProgramDir() + "/NotALibrary.dll", "MZ this is text\n");
  auto t0 = std::chrono::steady_clock::now();
  for (const std::string& bad : {Fixture("noentry"), Fixture("refuses"), Fixture("crashes"), Fixture("hangs"),
                                 w.ProgramDir() + "/Missing.dll", w.ProgramDir() + "/NotALibrary.dll"}) {
    EXPECT_FALSE(mInstallation::RegisterServerDll(bad, true)) << bad;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(14));
  EXPECT_EQ(TestWorld::ReadFile(log), good);
  EXPECT_EQ(TestWorld::ReadFile(ErrorLogPath()), "");
  std::string trace = TestWorld::ReadFile(TraceLogPath());
  for (const char* part : {"component-noentry.so", "component-refuses.so", "component-crashes.so",
                           "Missing.dll", "NotALibrary.dll", "no registration entry",
                           "mInstallation.RegisterServerDll", "did not return within 10 s"}) {
    EXPECT_NE(trace.find(part), std::string::npos) << part;
  }
  ::unsetenv("BREVANT_COMPONENT_LOG");
}

namespace {

std::string Component(const std::string& name) {
  return test::BinDir() + "/" + name + ".dll";
}
bool Has(const std::string& file, const std::string& text) {
  return TestWorld::ReadFile(file).find(text) != std::string::npos;
}

}  // namespace

TEST(Components, EachInstallsItsIntegrationForTheUserRemovesItAndRepairBringsItBack) {
  TestWorld w;
  const std::string home = w.Root() + "/home", data = home + "/.local/share";
  fs::create_directories(data);
  ::setenv("HOME", home.c_str(), 1);
  ::setenv("XDG_DATA_HOME", data.c_str(), 1);
  ::setenv("XDG_CONFIG_HOME", (home + "/.config").c_str(), 1);
  ::setenv("BREVANT_MAILDIR", (home + "/Maildir").c_str(), 1);
  const std::string send = test::BinDir() + "/brevant-send-files", apps = data + "/applications/";
  const std::string entry = apps + "brevant-sendto.desktop", script = data + "/nautilus/scripts/Send to fax";
  const std::string thunar = data + "/Thunar/sendto/brevant-sendto.desktop";
  const std::string page = apps + "brevant-sendpage.desktop", link = apps + "brevant-faxlink.desktop";
  const std::string progId = "Software\\Classes\\Pelorin.Application";
  const char* suite[] = {"QuorSendTo", "QuorIE", "Pelorin", "PelorinAddin", "Redemption"};

  for (const char* c : suite)
    ASSERT_TRUE(mInstallation::RegisterServerDll(Component(c), true))
        << c << TestWorld::ReadFile(ErrorLogPath());
  EXPECT_TRUE(Has(entry, "Exec=\"" + send + "\" %F\n"));
  EXPECT_TRUE(Has(entry, "application/vnd.oasis.opendocument.text;"));
  EXPECT_EQ(TestWorld::ReadFile(thunar), TestWorld::ReadFile(entry));
  EXPECT_TRUE(Has(script, "exec \"" + send + "\" \"$@\""));
  EXPECT_EQ(fs::status(script).permissions() & fs::perms::owner_exec, fs::perms::owner_exec);
  EXPECT_TRUE(Has(page, "MimeType=text/html;"));
  EXPECT_TRUE(Has(link, "MimeType=x-scheme-handler/fax;"));
  EXPECT_TRUE(Has(home + "/.config/mimeapps.list", "x-scheme-handler/fax=brevant-faxlink.desktop"));
  EXPECT_EQ(test::RegString(test::HKCU, progId, "Library"), fs::canonical(Component("Pelorin")).string());
  EXPECT_TRUE(fs::is_directory(home + "/Maildir/new"));
  // A "fax:" link becomes the wizard's one recipient; nothing else of the
  // link reaches the command line.
  std::string copy = w.Root() + "/linkbin";
  fs::create_directories(copy);
  fs::copy_file(test::BinDir() + "/brevant-fax-link", copy + "/brevant-fax-link");
  TestWorld::WriteFile(copy + "/brevant", "#!/bin/sh\nprintf '%s' \"$1\" > '" + copy + "/args'\n");
  ::chmod((copy + "/brevant").c_str(), 0755);
  ASSERT_EQ(::system(("'" + copy + "/brevant-fax-link' 'fax:+49%2030-1234;isub=5#;x'").c_str()), 0);
  EXPECT_EQ(TestWorld::ReadFile(copy + "/args"), "new;0;+49 30-1234#;+49 30-1234#;");

  for (const char* c : suite) EXPECT_TRUE(mInstallation::RegisterServerDll(Component(c), false)) << c;
  for (const auto& f : {entry, script, thunar, page, link}) EXPECT_FALSE(fs::exists(f)) << f;
  EXPECT_EQ(test::RegString(test::HKCU, progId, "Library"), "<no key>");
  EXPECT_TRUE(fs::is_directory(home + "/Maildir/new")) << "nobody's mail is deleted";

  // Repair over the built suite (Redemption.dll beside the programs)
  // succeeds and brings the removed registrations back.
  test::UiRecorder ui;
  Office office(true, false, false);
  test::SetRegString(test::HKLM, kPelorinKey, "SystemDir", test::BinDir());
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
  ASSERT_EQ(::geteuid(), 0u) << "runs as root";
  ASSERT_EQ(::system("command -v soffice unopkg runuser >/dev/null 2>&1"), 0) << "no LibreOffice or runuser";
  TestWorld w;
  std::string dir = w.Root() + "/lo";
  fs::create_directories(dir + "/home");
  fs::create_directories(dir + "/run");
  for (const char* f : {"QuorWordAddin.dll", "QuorWordAddin.oxt", "QuorExcelAddin.dll", "QuorExcelAddin.oxt",
                        "brevant-regsvr"})
    fs::copy_file(test::BinDir() + "/" + f, dir + "/" + f);
  // What "Send as Fax" starts, recorded.
  TestWorld::WriteFile(dir + "/bin/brevant-send-files",
                       "#!/bin/sh\nprintf '%s\\n' \"$@\" >> '" + dir + "/sent'\n");
  TestWorld::WriteFile(dir + "/note one.txt", "Hello fax\n");
  TestWorld::WriteFile(dir + "/sums.csv", "1,2\n3,4\n");
  // The world is the test's own; the folders above it only need to let the
  // user pass.
  for (std::string p = w.Root(); p.size() > 1; p = fs::path(p).parent_path().string()) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) ::chmod(p.c_str(), (st.st_mode & 07777) | S_IXGRP | S_IXOTH);
  }
  ::system(("chmod -R a+rwX '" + dir + "' && chmod 0755 '" + dir + "/bin/brevant-send-files'").c_str());
  auto run = [&](const std::string& cmd) {
    return ::system(("runuser -u nobody -- env -u BREVANT_RUNTIME_DIR HOME='" + dir + "/home' TMPDIR='" +
                     dir + "' XDG_RUNTIME_DIR='" + dir + "/run' PATH='" + dir + "/bin:/usr/bin:/bin' " + cmd +
                     " 2>/dev/null")
                        .c_str());
  };
  auto regsvr = [&](const std::string& args) { return run("'" + dir + "/brevant-regsvr' " + args); };
  auto listed = [&] {
    EXPECT_EQ(run("unopkg list > '" + dir + "/list'"), 0);
    return TestWorld::ReadFile(dir + "/list");
  };
  ASSERT_EQ(regsvr("'" + dir + "/QuorWordAddin.dll'"), 0);
  ASSERT_EQ(regsvr("'" + dir + "/QuorExcelAddin.dll'"), 0);
  std::string list = listed();
  EXPECT_NE(list.find("com.norvane.pelorin.writer"), std::string::npos) << list;
  EXPECT_NE(list.find("com.norvane.pelorin.calc"), std::string::npos) << list;

  // A macro of the user's own opens a text file in Writer, a CSV in Calc
  // and a new, unsaved Writer document, and runs the menu's command in each.
  ASSERT_EQ(run("soffice --headless --norestore --terminate_after_init >/dev/null"), 0);
  std::string module = dir + "/home/.config/libreoffice/4/user/basic/Standard/Module1.xba";
  ASSERT_TRUE(fs::exists(module));
  auto send = [&](const std::string& url, const std::string& lib) {
    return "  doc = StarDesktop.loadComponentFromURL(\"" + url +
           "\", \"_blank\", 0, Array())\n"
           "  helper.executeDispatch(doc.getCurrentController().getFrame(), \"vnd.sun.star.script:" +
           lib +
           ".SendFax.SendAsFax?language=Basic&amp;location=application\", \"\", 0, Array())\n"
           "  doc.close(True)\n";
  };
  TestWorld::WriteFile(
      module,
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE script:module PUBLIC \"-//OpenOffice.org//DTD OfficeDocument 1.0//EN\" \"module.dtd\">\n"
      "<script:module xmlns:script=\"http://openoffice.org/2000/script\" script:name=\"Module1\" "
      "script:language=\"StarBasic\">\nSub Drive\n  Dim doc As Object, helper As Object\n"
      "  helper = createUnoService(\"com.sun.star.frame.DispatchHelper\")\n" +
          send("file://" + dir + "/note%20one.txt", "PelorinWriterFax") +
          send("file://" + dir + "/sums.csv", "PelorinCalcFax") +
          send("private:factory/swriter", "PelorinWriterFax") +
          "  StarDesktop.terminate()\nEnd Sub\n</script:module>\n");
  ::chmod(module.c_str(), 0666);
  ASSERT_EQ(run("timeout 90 soffice --headless --norestore macro:///Standard.Module1.Drive"), 0);
  // An unsaved document goes as a PDF in the user's own temporary folder.
  const std::string pdf = dir + "/run/brevant/tmp/Untitled 1.pdf";
  EXPECT_EQ(TestWorld::ReadFile(dir + "/sent"), dir + "/note one.txt\n" + dir + "/sums.csv\n" + pdf + "\n");
  EXPECT_EQ(TestWorld::ReadFile(pdf).substr(0, 5), "%PDF-") << "an unsaved document as PDF";

  ASSERT_EQ(regsvr("/u '" + dir + "/QuorWordAddin.dll'"), 0);
  list = listed();
  EXPECT_EQ(list.find("com.norvane.pelorin.writer"), std::string::npos);
  EXPECT_NE(list.find("com.norvane.pelorin.calc"), std::string::npos);
}
