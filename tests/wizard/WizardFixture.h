#pragma once
// A private world for driving the wizard's windows in this process: the
// real windows under the offscreen platform, a recorder behind the message
// boxes, and recorders behind the pipeline and delivery calls of the finish
// page.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <string>
#include <vector>

#include "common/ClientConfig.h"
#include "common/FaxJob.h"
#include "common/Logging.h"
#include "platform/ui/Ui.h"
#include "tests/support/RegValues.h"
#include "tests/support/TestWorld.h"
#include "tests/support/UiRecorder.h"
#include "wizard/Hooks.h"
#include "wizard/frmCover.h"
#include "wizard/frmEditRecipient.h"
#include "wizard/frmFinish.h"
#include "wizard/frmNew.h"
#include "wizard/frmSend.h"
#include "wizard/frmSender.h"

namespace brevant::test {

using namespace brevant::wizard;
constexpr const char* kPelorin = "Software\\Norvane\\Pelorin";
constexpr const char* kUserInfo = "Software\\Microsoft\\Fax\\UserInfo";

class WizardTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs one command line through the entry procedure while script drives
  // the windows from inside the event loop (the recipients page is modal).
  // Whatever the script leaves open is unloaded afterwards.
  void Run(const std::string& commandLine, const std::function<void()>& script);
  // Runs script once the event loop takes over; for a window opened modal
  // from inside a script.
  static void Soon(const std::function<void()>& script) { QTimer::singleShot(0, script); }

  static void Click(QWidget* button);
  static void ClickCheck(QWidget* box) {
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(6, box->height() / 2));
  }
  static void Type(QWidget* field, const QString& text) {
    field->setFocus();
    QTest::keyClicks(field, text);
  }
  static QPushButton* Button(QWidget* form, const char* name) { return form->findChild<QPushButton*>(name); }
  // A list's rows as "column 0|column 1".
  static QStringList Rows(QTreeWidget* list);

  // Cover templates in a common folder the registry names (XP layout).
  std::string MakeTemplates(const std::vector<std::string>& names);

  TestWorld world;
  UiRecorder recorder;
  // What the finish page asked of the pipeline and the delivery paths.
  std::vector<std::string> calls;
};

}  // namespace brevant::test
