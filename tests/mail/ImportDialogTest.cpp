// The "Import Faxes" dialog and the small import's progress window, driven
// by their controls.
#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <filesystem>

#include "receive/frmImport.h"
#include "tests/mail/FaxWorld.h"
#include "tests/support/QtApp.h"

using namespace brevant;
using brevant::test::FaxWorld;

namespace {

class ImportDialog : public FaxWorld {
 protected:
  void SetUp() override {
    FaxWorld::SetUp();
    test::EnsureWidgetApplication();
    for (int i = 0; i < 22; ++i)
      AddFax(Store(), "d" + std::to_string(i) + ".tif", "me", "x", i < 5 ? 2 : 24 * 6);
    count = CountFaxes(newest);
  }
  long count = 0;
  DateTime newest{};
};

TEST_F(ImportDialog, OpensOnLastDayAndImportsWithTheBarCountingEveryFax) {
  ASSERT_EQ(count, 22);
  {
    // Modeless: the operation returns with the dialog open; Cancel files
    // nothing and ends the run.
    auto shown = [] {
      for (QWidget* w : QApplication::topLevelWidgets())
        if (w->objectName() == "frmImport" && w->isVisible()) return dynamic_cast<frmImport*>(w);
      return static_cast<frmImport*>(nullptr);
    };
    QTimer::singleShot(2000, [&] {  // a modal dialog would hold the test here
      if (frmImport* d = shown()) d->close();
    });
    RegisterImportWindows();
    int ended = 0;
    RunFaxImport([&] { ++ended; });
    SetImportWindows(nullptr, nullptr);
    frmImport* before = shown();
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(ended, 0);
    QTest::mouseClick(before->CancelButton, Qt::LeftButton);
    EXPECT_EQ(ended, 1);
    EXPECT_TRUE(Items(mail::olFolderInbox).empty());
  }
  frmImport dlg(count, newest);
  dlg.show();
  EXPECT_TRUE(dlg.windowFlags() & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(dlg.optLast->isChecked() && !dlg.optAll->isChecked());
  EXPECT_EQ(dlg.progress->maximum(), 22);
  // While the import runs, Cancel and the close button do nothing.
  int checkedAt = -1;
  QObject::connect(dlg.progress, &QProgressBar::valueChanged, [&](int v) {
    if (v != 7) return;
    checkedAt = v;
    EXPECT_FALSE(dlg.OKButton->isEnabled());
    EXPECT_FALSE(dlg.CancelButton->isEnabled());
    QTest::mouseClick(dlg.CancelButton, Qt::LeftButton);
    dlg.close();
  });
  QTest::mouseClick(dlg.OKButton, Qt::LeftButton);
  EXPECT_EQ(checkedAt, 7);
  EXPECT_EQ(dlg.progress->value(), 22);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_EQ(Items(mail::olFolderInbox).size(), 5u);
}

TEST_F(ImportDialog, SmallImportShowsItsProgressWindowUpToTheLastFax) {
  // Below 20 faxes the import starts at once in its own progress window.
  for (int i = 0; i < 5; ++i) std::filesystem::remove(Store() + "/d" + std::to_string(i) + ".tif");
  int shownMax = -1, lastValue = -1, updates = 0;
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    for (QWidget* w : QApplication::topLevelWidgets()) {
      if (w->objectName() != "frmProgress" || !w->isVisible()) continue;
      auto* bar = w->findChild<QProgressBar*>("progress");
      if (!bar) continue;
      shownMax = bar->maximum();
      if (bar->value() != lastValue) ++updates;
      lastValue = bar->value();
    }
  });
  watch.start(0);
  RegisterImportWindows();  // the import as the program runs it, with its windows
  testing::internal::CaptureStderr();
  int ended = 0;
  RunFaxImport([&] { ++ended; });
  EXPECT_EQ(ended, 1);
  SetImportWindows(nullptr, nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  watch.stop();
  EXPECT_EQ(shownMax, 17);
  EXPECT_EQ(lastValue, 17) << "the bar reaches its end while the window is shown";
  EXPECT_GE(updates, 10) << "the bar moves fax by fax";
  EXPECT_EQ(Items(mail::olFolderInbox).size(), 17u);
  EXPECT_NE(err.find("Import from Fax Console has been successful."), std::string::npos) << err;
  for (QWidget* w : QApplication::topLevelWidgets())
    EXPECT_FALSE(w->objectName() == "frmProgress" && w->isVisible())
        << "the progress window closes after the import";
}

}  // namespace
