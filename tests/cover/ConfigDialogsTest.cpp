// The settings windows driven like a user would: what is stored and shown.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <filesystem>
#include <pugixml.hpp>

#include "common/CWinReg.h"
#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "common/FaxServerConfig.h"
#include "common/Folders.h"
#include "faxjob/CXmlGroups.h"
#include "faxservice/client/HylaFax.h"
#include "platform/emf/Emf.h"
#include "platform/secret/Secrets.h"
#include "receive/ui/ConfigDialogs.h"
#include "receive/ui/ConfigServices.h"
#include "receive/ui/frmConfigureClient.h"
#include "receive/ui/frmFaxServer.h"
#include "tests/maintenance/FakeShell.h"
#include "tests/support/QtApp.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"
#include "tests/support/UiRecorder.h"
#include "wizard/frmSetCover.h"

namespace fs = std::filesystem;
using namespace brevant;
using namespace brevant::test;

namespace {

std::vector<int> g_exitCodes;
void RecordExit(int code) {
  g_exitCodes.push_back(code);
}

// The configuration as start-up loads it.
void StartUp() {
  Config() = ClientConfig();
  CXmlGroups groups;
  groups.ReadCfgProps();
  ReadClientPaths();
}

struct ConfigFixture : ::testing::Test {
  void SetUp() override {
    test::EnsureWidgetApplication();
    g_exitCodes.clear();
    configui::ResetServices();
    SetRegString(HKLM, "Software\\Microsoft\\Fax\\Inbox", "Folder", "/srv/fax/inbox");
    SetRegString(HKLM, "Software\\Microsoft\\Fax\\SentItems", "Folder", "/srv/fax/sent");
    TestWorld::WriteFile(
        world.ProgramDir() + "/FaxGroup.xml",
        "<Groups><EmailFax></EmailFax><ReceiveAll>False</ReceiveAll><ProgramType>0</ProgramType>"
        "<FaxDevice>old</FaxDevice><CoverFolder></CoverFolder><FaxGroupConnect>True</FaxGroupConnect></"
        "Groups>");
    StartUp();
  }
  void TearDown() override { configui::ResetServices(); }
  TestWorld world;
};

}  // namespace

TEST_F(ConfigFixture, SwitchingToTheMailFaxServiceSavesEverySettingWhereItBelongs) {
  // The picker hands back a name with a NUL and junk after it.
  configui::Services().pickFolder = [&](QWidget*, const std::string&, const std::string&) {
    return std::optional<std::string>(std::string("/home/ann/Maildir/.Faxes\0junk", 30));
  };
  configui::frmConfigureClient dlg(RecordExit);
  // What start-up loaded.
  EXPECT_TRUE(dlg.optFaxDevice->isChecked() && !dlg.chkAllIncoming->isChecked());
  EXPECT_EQ(dlg.txtFaxMachine->text().toStdString(), GetLocalComputerName());
  EXPECT_EQ(dlg.txtIncomFolder->text() + "|" + dlg.txtOutgFolder->text(), "/srv/fax/inbox|/srv/fax/sent");

  dlg.optFaxMail->click();
  QTest::keyClicks(dlg.txtServerEmail, "fax@talvane.example");
  dlg.chkAllIncoming->click();
  dlg.txtFaxMachine->setText("faxhost");
  QTest::keyClicks(dlg.txtForwardEmail, "boss@example.com");
  dlg.cmdInboxFolder->click();
  EXPECT_EQ(dlg.txtIncomFolder->text(), "/home/ann/Maildir/.Faxes");
  dlg.OKButton->click();
  EXPECT_EQ(g_exitCodes, std::vector<int>{0});
  pugi::xml_document doc;
  ASSERT_TRUE(doc.load_file((world.ProgramDir() + "/FaxGroup.xml").c_str()));
  std::string saved;  // the elements in their order, with their values
  for (pugi::xml_node n : doc.child("Groups").children())
    saved += std::string(n.name()) +
             (n.name() == std::string("CoverFolder") ? ";" : "=" + std::string(n.child_value()) + ";");
  EXPECT_EQ(saved,
            "EmailFax=fax@talvane.example;ReceiveAll=True;ProgramType=1;FaxDevice=faxhost;CoverFolder;"
            "FaxGroupConnect=True;");
  EXPECT_EQ(RegString(HKCU, kPelorinKey, "ForwardEmail"), "boss@example.com");
  EXPECT_EQ(RegString(HKCU, kPelorinKey, "InboxPath"), "/home/ann/Maildir/.Faxes");
  // The fax service's own folder is stored as "follow the fax service".
  EXPECT_EQ(RegString(HKCU, kPelorinKey, "SentPath"), "");

  // The next run starts on the mail-fax path with these values.
  StartUp();
  EXPECT_EQ(std::to_string(Config().ProgramType) + " " + Config().EmailFax + " " + Config().InboxPath + " " +
                Config().SentPath,
            "1 fax@talvane.example /home/ann/Maildir/.Faxes /srv/fax/sent");
  configui::frmConfigureClient again(RecordExit);
  EXPECT_TRUE(again.optFaxMail->isChecked() && again.chkAllIncoming->isChecked());
}

TEST_F(ConfigFixture, TheFolderBrowserOffersFileSystemFoldersAndHelpOpensTheGuide) {
  // "...": the file-system folder browser (no mail folders), titled with the
  // program folder while the box is empty; the folder picked fills the box.
  const std::string picked = world.Root() + "/faxes";
  fs::create_directories(picked);
  std::string seen;
  QTimer answer;
  QObject::connect(&answer, &QTimer::timeout, [&] {
    if (auto* browser = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      seen = browser->windowTitle().toStdString() +
             (browser->testOption(QFileDialog::ShowDirsOnly) ? "|dirs" : "");
      browser->setDirectory(QString::fromStdString(picked));
      static_cast<QDialog*>(browser)->accept();
    }
  });
  answer.start(20);
  configui::frmConfigureClient dlg(RecordExit);
  dlg.txtIncomFolder->clear();
  dlg.cmdInboxFolder->click();
  EXPECT_EQ(seen, GetProgramFolder() + "|dirs");
  EXPECT_EQ(dlg.txtIncomFolder->text().toStdString(), picked);

  // Help: the user guide built as HTML, in the desktop's browser; a help
  // file that is not there is said.
  const std::string guide = test::BinDir() + "/Pelorin.html", missing = world.Root() + "/Pelorin.chm";
  EXPECT_NE(TestWorld::ReadFile(guide).find("<h2 id=\"installing\">Installing</h2>"), std::string::npos);
  test::FakeShell shell(world);
  UiRecorder ui;
  for (const std::string& help : {guide, missing}) {
    brevant::Run().HelpFile = help;
    dlg.cmdHelp->click();
  }
  EXPECT_EQ(shell.Opened(), guide);
  EXPECT_EQ(ui.messages,
            std::vector<std::string>{"Pelorin: The help file " + missing + " cannot be opened."});
}

TEST_F(ConfigFixture, DisconnectMailAndCancel) {
  std::vector<std::string> mails;
  configui::Services().sendDisconnectMail = [&](const std::string& to) {
    mails.push_back(to);
    return true;
  };
  std::string before = TestWorld::ReadFile(world.ProgramDir() + "/FaxGroup.xml");
  {
    configui::frmConfigureClient dlg(RecordExit);
    dlg.chkAllIncoming->click();
    QTest::keyClicks(dlg.txtServerEmail, "  fax@talvane.example");
    dlg.cmdDisconnect->click();
    EXPECT_EQ(mails, std::vector<std::string>{"  fax@talvane.example"});
    EXPECT_FALSE(dlg.cmdDisconnect->isEnabled() || dlg.chkAllIncoming->isChecked() ||
                 Config().FaxGroupConnect);
    dlg.CancelButton->click();
  }
  EXPECT_EQ(g_exitCodes, std::vector<int>{0});
  // Cancel saves nothing.
  EXPECT_EQ(TestWorld::ReadFile(world.ProgramDir() + "/FaxGroup.xml"), before);
  EXPECT_EQ(RegString(HKCU, kPelorinKey, "ForwardEmail"), "<no key>");
}

namespace {

struct SetCoverFixture : ConfigFixture {
  void SetUp() override {
    ConfigFixture::SetUp();
    std::string covers = test::SourceDir() + "/coverpage/";
    common = world.Root() + "/shared/Coverpages/";
    fs::create_directories(common);
    fs::copy_file(covers + "Generic.cov", common + "Generic.cov");
    fs::copy_file(covers + "Urgent.cov", common + "Urgent.Memo.cov");
    TestWorld::WriteFile(common + "Old.emf", "not listed from here");
    std::string personal = world.Root() + "/home/Covers/";
    fs::create_directories(personal);
    fs::copy_file(covers + "Confidential.cov", personal + "Mine.cov");
    group = world.Root() + "/group/";
    fs::create_directories(group);
    // The group template's page printed beforehand.
    fs::copy_file(covers + "Generic.cov", group + "Team.cov");
    emf::Page page;
    page.Resize(1728, 2292);
    for (int y = 200; y < 400; ++y)
      for (int x = 100; x < 1600; ++x) page.SetBlack(x, y);
    std::string error;
    ASSERT_TRUE(emf::WriteFile(group + "Team.emf", page, &error)) << error;
    const char* shell = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
    SetRegString(HKLM, shell, "Common AppData", world.Root() + "/shared");
    SetRegString(HKLM, "Software\\Microsoft\\Fax\\Setup", "ServerCoverPageDir", "Coverpages");
    SetRegString(HKCU, shell, "Personal", world.Root() + "/home");
    SetRegString(HKCU, "Software\\Microsoft\\Fax\\Setup", "CoverPageDir", "Covers");
    Config().ProgramType = 1;
    Config().CoverFolder = group;
    FaxJob().CoverIndex = 0;
  }
  test::UiRecorder messages;  // the boxes go here, not to stderr
  std::string common, group;
};

std::vector<std::string> Items(QComboBox* cb) {
  std::vector<std::string> out;
  for (int i = 0; i < cb->count(); ++i) out.push_back(cb->itemText(i).toStdString());
  return out;
}

}  // namespace

TEST_F(SetCoverFixture, TheStoredChoiceIsShownAndOkStoresTheNewOne) {
  SetRegString(HKCU, kUserInfoKey, "CoverPageFile", common + "Urgent.Memo.cov");
  SetRegString(HKCU, kPelorinKey, "SetCoverPage", "1");
  SetRegString(HKCU, kPelorinKey, "CoverPageSubject", "Quarterly figures");
  SetRegString(HKCU, kPelorinKey, "CoverPageNote", "See attached.");

  configui::frmSetCover dlg(RecordExit);
  EXPECT_EQ(Items(dlg.cbCover),
            (std::vector<std::string>{"Generic", "Urgent", "Mine(Personal)", "Team(Personal)"}));
  dlg.Activate();
  EXPECT_TRUE(dlg.chkCover->isChecked() && dlg.cbCover->currentIndex() == 1);
  EXPECT_EQ(dlg.txtSubject->text() + "|" + dlg.rtbNote->toPlainText(), "Quarterly figures|See attached.");
  // The urgent page's black band sits at the top of the preview.
  QImage shown = dlg.Picture1->pixmap().toImage();
  ASSERT_FALSE(shown.isNull());
  EXPECT_LT(qGray(shown.pixel(shown.width() / 2, shown.height() / 8)), 60);
  dlg.cbCover->setCurrentIndex(0);
  EXPECT_GT(qGray(dlg.Picture1->pixmap().toImage().pixel(shown.width() / 2, shown.height() / 8)), 200);

  // The group template's printed page shows as it is.
  dlg.cbCover->setCurrentIndex(3);
  QImage drawn = dlg.Picture1->pixmap().toImage();
  ASSERT_FALSE(drawn.isNull());
  EXPECT_LT(qGray(drawn.pixel(drawn.width() / 2, drawn.height() * 300 / 2292)), 128);

  dlg.cbCover->setCurrentIndex(2);
  dlg.txtSubject->setText("  New subject ");
  dlg.rtbNote->setPlainText("\tLine one\nLine two\n ");
  dlg.cmdNext->click();
  EXPECT_TRUE(messages.messages.empty() && g_exitCodes == std::vector<int>{1});
  EXPECT_EQ(RegString(HKCU, kUserInfoKey, "CoverPageFile"), world.Root() + "/home/Covers/Mine.cov");
  // Only blanks are trimmed: a tab and line breaks are part of the note.
  EXPECT_EQ(RegString(HKCU, kPelorinKey, "SetCoverPage") + "|" +
                RegString(HKCU, kPelorinKey, "CoverPageSubject") + "|" +
                RegString(HKCU, kPelorinKey, "CoverPageNote"),
            "1|New subject|\tLine one\nLine two\n");
}

TEST_F(SetCoverFixture, EmptyFieldsUncheckedBoxCancelAndNoTemplates) {
  SetRegString(HKCU, kPelorinKey, "SetCoverPage", "0");
  SetRegString(HKCU, kPelorinKey, "CoverPageSubject", "kept");
  {
    configui::frmSetCover dlg(RecordExit);
    dlg.Activate();
    EXPECT_FALSE(dlg.chkCover->isChecked() || dlg.txtSubject->isEnabled());
    // Checked with nothing to show: the message, nothing stored, still open.
    dlg.chkCover->click();
    dlg.txtSubject->setText("   ");
    dlg.cmdNext->click();
    EXPECT_EQ(messages.messages,
              std::vector<std::string>{"Pelorin: Please enter text in the Note and/or Subject field."});
    EXPECT_TRUE(g_exitCodes.empty());
    EXPECT_EQ(RegString(HKCU, kPelorinKey, "CoverPageSubject"), "kept");
    // Unchecked, Ok stores "0" and the (empty) fields.
    dlg.chkCover->click();
    dlg.cmdNext->click();
    EXPECT_EQ(g_exitCodes, std::vector<int>{1});
    EXPECT_EQ(RegString(HKCU, kPelorinKey, "SetCoverPage") + "|" +
                  RegString(HKCU, kPelorinKey, "CoverPageSubject") + "|" +
                  RegString(HKCU, kUserInfoKey, "CoverPageFile"),
              "0||" + common + "Generic.cov");
  }
  {
    configui::frmSetCover dlg(RecordExit);
    dlg.Activate();
    dlg.chkCover->click();
    dlg.txtSubject->setText("not stored");
    dlg.cmdCancel->click();
    EXPECT_EQ(RegString(HKCU, kPelorinKey, "SetCoverPage"), "0");
  }
  // Without the common folder nothing is listed at all.
  fs::remove_all(common);
  configui::frmSetCover dlg(RecordExit);
  EXPECT_EQ(dlg.cbCover->currentText(), "Cover pages not found.");
  EXPECT_FALSE(dlg.chkCover->isEnabled());
}

TEST_F(ConfigFixture, FaxServerSettingsGoToTheRegistryAndThePasswordToAUserOnlyFile) {
  // Machine-wide values an administrator set are what a user starts from.
  SetRegString(HKLM, faxsvc::kFaxServerKey, "Server", "fax.office.lan");
  configui::frmConfigureClient config(RecordExit);
  {
    configui::frmFaxServer dlg(&config);
    EXPECT_FALSE(dlg.chkUseServer->isChecked() || dlg.txtServer->isEnabled());
    EXPECT_EQ(dlg.txtServer->text(), "fax.office.lan");
    dlg.chkUseServer->click();
    dlg.spnPort->setValue(4600);
    QTest::keyClicks(dlg.txtUser, "anna");
    // Without a password the server's host list lets the computer in; a
    // password is typed only once chosen, under the note that it travels
    // in clear.
    EXPECT_TRUE(dlg.optHostAccess->isChecked() && !dlg.txtPassword->isEnabled());
    EXPECT_TRUE(dlg.lblClearText->text().contains("unencrypted"));
    dlg.optPassword->click();
    QTest::keyClicks(dlg.txtPassword, "s3cret pass");
    dlg.chkPassive->click();
    dlg.OKButton->click();
  }
  EXPECT_EQ(RegString(HKCU, faxsvc::kFaxServerKey, "Service") + "|" +
                RegString(HKCU, faxsvc::kFaxServerKey, "User"),
            "HylaFAX|anna");
  CWinReg reg;
  ASSERT_TRUE(reg.InitForRead(HKCU, faxsvc::kFaxServerKey));
  EXPECT_EQ(reg.ValueType("Password"), 0u);  // never in the registry
  // Without a desktop secret service here, the user-only secrets file.
  EXPECT_EQ(TestWorld::Owner(platform::secrets::FilePath()), std::to_string(::geteuid()) + " 600");
  faxsvc::FaxServerSettings s = faxsvc::ReadFaxServerSettings();
  EXPECT_TRUE(s.hylafax && !s.passive);
  EXPECT_EQ(s.host + ":" + std::to_string(s.port) + " " + s.password, "fax.office.lan:4600 s3cret pass");

  // Cancel keeps what was saved; switching the server off again is kept,
  // and so is host-based access, which keeps no password.
  for (bool ok : {false, true}) {
    configui::frmFaxServer dlg(&config);
    EXPECT_TRUE(dlg.optPassword->isChecked());
    EXPECT_EQ(dlg.txtPassword->text(), "s3cret pass");
    dlg.optHostAccess->click();
    dlg.chkUseServer->click();
    (ok ? dlg.OKButton : dlg.CancelButton)->click();
    s = faxsvc::ReadFaxServerSettings();
    EXPECT_EQ(s.hylafax, !ok);
    EXPECT_EQ(s.password, ok ? "" : "s3cret pass");
  }
}
