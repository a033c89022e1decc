// The Send Fax wizard driven as a user drives it: from the command line
// through every page to "Finish", and the recipients page on its own.
#include <QListWidget>
#include <QTimer>

#include "tests/wizard/WizardFixture.h"
#include "wizard/frmAddressBook.h"

namespace brevant::test {
namespace {

frmEditRecipient* EditDialog() {
  for (QWidget* w : QApplication::topLevelWidgets())
    if (auto* d = dynamic_cast<frmEditRecipient*>(w); d && d->isVisible()) return d;
  return nullptr;
}

// What the far end receives is judged by the arrival tests; here what the
// pages offer and what the run stores for the next one.
TEST_F(WizardTest, NewRunThroughEveryPageToFinishFillsTheFaxJob) {
  std::string folder = MakeTemplates({"Generic.cov", "Urgent.Memo.cov", "Scan.emf"});
  std::string doc = world.Root() + "/letter.pdf";
  frmCover::SetFilePicker([&](QWidget*) { return QString::fromStdString("  " + doc + " "); });
  Run("new;0;Ann#;5551234#;", [&] {
    ASSERT_NE(frmNew::Loaded(), nullptr);
    Click(Button(frmNew::Loaded(), "btnNext"));
    frmCover* cover = frmCover::Loaded();
    ASSERT_NE(cover, nullptr);
    // Only ".cov" files of the common folder are offered, named up to the first dot.
    ASSERT_EQ(cover->cbCover->count(), 2);
    EXPECT_EQ(cover->cbCover->itemText(1), "Urgent");
    EXPECT_TRUE(cover->chkCover->isChecked());  // "new" asks for a cover page
    cover->cbCover->setCurrentIndex(1);
    Type(cover->txtSubject, "  Quarterly figures ");
    Type(cover->rtbNote, "Two pages follow.");
    Click(cover->cmdBrowse);
    EXPECT_EQ(Rows(cover->lstAttachments), QStringList{QString::fromStdString(doc)});
    Click(Button(cover, "cmdNext"));
    frmSend* send = frmSend::Loaded();
    ASSERT_NE(send, nullptr);
    send->optPriorityHigh->click();
    send->optSchDiscount->click();
    Click(Button(send, "btnNext"));
    frmFinish* finish = frmFinish::Loaded();
    ASSERT_NE(finish, nullptr);
    EXPECT_EQ(finish->lblSubject->text() + "|" + finish->lblCover->text() + "|" + finish->lblSend->text(),
              "Quarterly figures|Urgent.Memo.cov|Discount period");
    Click(Button(finish, "OKButton"));
  });
  EXPECT_EQ(FaxJob().FaxPriority, 2);
  EXPECT_EQ(FaxJob().FaxSchedule, 2);
  EXPECT_EQ(calls, (std::vector<std::string>{"image", "msfax"}));
  EXPECT_EQ(RegString(HKCU, kPelorin, "SetCoverPage"), "0");  // the end of the run resets the request
  EXPECT_EQ(RegString(HKCU, kPelorin, "CoverPageSubject"), "Quarterly figures");
  EXPECT_EQ(RegString(HKCU, kPelorin, "CoverPageNote"), "Two pages follow.");
  EXPECT_EQ(RegString(HKCU, kUserInfo, "CoverPageFile"), folder + "/Urgent.Memo.cov");
  EXPECT_TRUE(ui::LoadedForms().empty());
}

TEST_F(WizardTest, RecipientsAreTypedCheckedEditedAndRemoved) {
  Run("new;0;;;", [&] {
    frmNew* page = frmNew::Loaded();
    ASSERT_NE(page, nullptr);
    Click(Button(page, "btnNext"));
    EXPECT_EQ(recorder.messages,
              std::vector<std::string>{"Send Fax Wizard: Please enter the recipient's name."});

    // "Add" follows the number check as the user types.
    Type(page->txtTo, "Carol");
    for (auto [number, good] : std::vector<std::pair<const char*, bool>>{{"+49 (30) 123-456", true},
                                                                         {"9,,123p456", true},
                                                                         {"0049/30/1234", true},
                                                                         {" 5551234 ", true},
                                                                         {"030.1234", false},
                                                                         {" - - ", false},
                                                                         {"12D34", false},
                                                                         {"+", false},
                                                                         {"555x", false}}) {
      page->txtFaxNumber->setText(number);
      EXPECT_EQ(page->cmdAdd->isEnabled(), good) << number;
    }
    Click(Button(page, "btnNext"));
    EXPECT_EQ(recorder.messages.back(), "Send Fax Wizard: Please enter valid fax number.");
    page->txtFaxNumber->clear();
    Type(page->txtFaxNumber, "+49 (30) 123-456");
    Click(page->cmdAdd);
    EXPECT_TRUE(page->txtTo->text().isEmpty() && page->txtFaxNumber->text().isEmpty());
    // The same recipient again only empties the boxes.
    Type(page->txtTo, " Carol");
    Type(page->txtFaxNumber, "+49 (30) 123-456 ");
    Click(page->cmdAdd);
    Type(page->txtTo, "Dave");
    Type(page->txtFaxNumber, "555 0101");
    Click(page->cmdAdd);
    EXPECT_EQ(Rows(page->lvRecipients), (QStringList{"Carol|+49 (30) 123-456", "Dave|555 0101"}));

    // Edit: the dialog shows the row; OK takes both texts as typed, Escape
    // leaves the row as it was.
    page->lvRecipients->setCurrentItem(page->lvRecipients->topLevelItem(0));
    for (bool ok : {true, false}) {
      Soon([&] {
        frmEditRecipient* d = EditDialog();
        ASSERT_NE(d, nullptr);
        EXPECT_EQ(d->txtNumber->text(), "+49 (30) 123-456");
        d->txtName->setText(ok ? "Caroline " : "Nobody");
        ok ? Click(d->findChild<QPushButton*>("cmdOK")) : QTest::keyClick(d, Qt::Key_Escape);
      });
      Click(page->cmdEdit);
      EXPECT_EQ(page->lvRecipients->topLevelItem(0)->text(0), "Caroline ");
    }
    page->lvRecipients->setCurrentItem(page->lvRecipients->topLevelItem(1));
    Click(page->cmdRemove);
    EXPECT_EQ(Rows(page->lvRecipients), QStringList{"Caroline |+49 (30) 123-456"});

    // Rows in the list and a half-typed recipient: "Next >" stays.
    Type(page->txtTo, "Eve");
    Click(Button(page, "btnNext"));
    EXPECT_EQ(recorder.messages.back(), "Send Fax Wizard: Please enter the recipient's fax number.");
    EXPECT_EQ(frmNew::Loaded(), page);
    // Enter is "Next >", and a valid typed recipient joins the list first.
    Type(page->txtFaxNumber, "5550199");
    QTest::keyClick(page->txtFaxNumber, Qt::Key_Return);
    ASSERT_NE(frmCover::Loaded(), nullptr);
    EXPECT_EQ(recorder.messages.size(), 3u);  // no message on the way
    // Back from the cover page rebuilds the list from the fax job.
    Click(Button(frmCover::Loaded(), "cmdBack"));
    frmNew* again = frmNew::Loaded();
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(Rows(again->lvRecipients), (QStringList{"Caroline |+49 (30) 123-456", "Eve|5550199"}));
    Type(again->txtTo, "Frank");
    Type(again->txtFaxNumber, "5551000");
    Click(again->cmdAdd);
    QTest::keyClick(again, Qt::Key_Escape);  // Cancel: the new row is lost
  });
  const FaxJobRecord& job = FaxJob();
  ASSERT_EQ(job.g_arrFaxName.Count(), 2u);
  EXPECT_EQ(job.g_arrFaxName[2], "Eve");
  EXPECT_EQ(job.g_arrFaxNumber[2], "5550199");
  EXPECT_TRUE(ui::LoadedForms().empty());
}

TEST_F(WizardTest, AddressBookAddsEveryEntryWithANumber) {
  Run("new;0;;;", [&] {
    frmNew* page = frmNew::Loaded();
    ASSERT_NE(page, nullptr);
    Click(page->cmdAddress);  // no mail session on this machine
    EXPECT_EQ(recorder.messages, std::vector<std::string>{"Error: Please install CDO."});
    EXPECT_EQ(page->lvRecipients->topLevelItemCount(), 0);

    // A list inside a list is opened too.
    WizardHooks().AddressBook = [](std::vector<AddressEntry>* picked) {
      AddressEntry list{"Sales", "", {}, {}};
      list.members.push_back({"Frank", "frank@example.org", {"", "5551111"}, {}});
      list.members.push_back({"Gina", "gina@example.org", {}, {}});            // no number
      list.members.push_back({"Office Fax", "FAX@+1 555 2222", {"999"}, {}});  // number from the address
      AddressEntry inner{"Night shift", "", {}, {{"Hal", "hal@example.org", {"5553333"}, {}}}};
      list.members.push_back(inner);
      picked->push_back(list);
      picked->push_back({"Frank", "frank@example.org", {"5551111"}, {}});  // already there
      return true;
    };
    Click(page->cmdAddress);
    EXPECT_EQ(Rows(page->lvRecipients),
              (QStringList{"Frank|5551111", "Office Fax|+1 555 2222", "Hal|5553333"}));

    // The address book over the contacts: "AddressBook", the contact moved
    // to the "To" list with "Choice", then OK.
    const std::string contacts = world.Root() + "/contacts";
    ::setenv("BREVANT_CONTACTS_DIR", contacts.c_str(), 1);
    TestWorld::WriteFile(contacts + "/ivy.vcf",
                         "BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Ivy Lane\r\n"
                         "TEL;TYPE=FAX,WORK:5554444\r\nEND:VCARD\r\n");
    WizardHooks().AddressBook = &PickFromContacts;
    std::string title;
    QTimer::singleShot(100, [&] {
      auto* book = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (!book) return;
      title = book->windowTitle().toStdString();
      book->findChild<QListWidget*>("lstContacts")->item(0)->setSelected(true);
      book->findChild<QPushButton*>("cmdChoice")->click();
      book->findChild<QListWidget*>("lstTo")->count() == 1 ? book->accept() : book->reject();
    });
    Click(page->cmdAddress);
    ::unsetenv("BREVANT_CONTACTS_DIR");
    EXPECT_EQ(title, "AddressBook");
    EXPECT_EQ(Rows(page->lvRecipients).last(), "Ivy Lane|5554444");
    // The close box unloads the page; it is not "Cancel", so the run does
    // not end through exitApp and the cover page request stays.
    page->close();
  });
  const std::string trace = TestWorld::ReadFile(TraceLogPath());
  EXPECT_NE(trace.find("frmNew->Form_Unload"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("frmNew->cmdCancel_Click"), std::string::npos) << trace;
  EXPECT_EQ(trace.find("exitApp("), std::string::npos) << trace;
}

}  // namespace
}  // namespace brevant::test
