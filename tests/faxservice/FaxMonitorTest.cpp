// The fax monitor against a running fax service: what the user sees in its
// lists, the search, the viewer, and a failure with its reason.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDate>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QStatusBar>

#include "platform/faxservice/FaxService.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tools/brevant-faxmon/FaxMonitor.h"

namespace brevant {
namespace {

using faxsvc::Message;

QApplication& App() {
  static int argc = 1;
  static char name[] = "faxmon_tests";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

TEST(FaxMonitor, ListsSearchesShowsAndExplainsFailures) {
  App();
  test::TestWorld world;
  test::FaxDaemon daemon(world);
  ASSERT_TRUE(daemon.Start());
  std::string fax = test::MakeFaxTiff(world.TempDir() + "/m.tif", 3);
  daemon.Call(Message("submit").Set("file", fax).Set("number", "555 0101").Set("name", "Anna Berg"));
  daemon.Call(Message("submit").Set("file", fax).Set("number", "555 0202").Set("name", "Bo Lind"));
  ASSERT_TRUE(test::WaitFor([&] { return daemon.Call(Message("archive").Set("folder", "out")).GetInt("count") == 2; }, 30));
  daemon.Call(Message("line_set").Set("hangup_after", "1").Set("retries", "0"));
  std::string failed = daemon.Call(Message("submit").Set("file", fax).Set("number", "555 0303").Set("name", "Cy")).Get("id");
  ASSERT_TRUE(test::WaitFor([&] {
    return daemon.Call(Message("job").Set("id", failed)).Item(1).GetInt("status") == faxsvc::kJobRetriesExceeded;
  }, 30));
  daemon.Call(Message("line_set").Set("ring_seconds", "0"));
  daemon.Call(Message("device_set").Set("id", 1).Set("receive_mode", 1).Set("rings", 1));
  daemon.Call(Message("call").Set("file", fax).Set("from", "030 999"));
  ASSERT_TRUE(test::WaitFor([&] { return daemon.Call(Message("archive").Set("folder", "in")).GetInt("count") == 1; }, 30));

  faxmon::FaxMonitor monitor;
  ASSERT_TRUE(monitor.Refresh());
  EXPECT_EQ(monitor.Devices()->rowCount(), 1);
  EXPECT_EQ(monitor.Devices()->item(0, 2)->text(), "Automatically");
  EXPECT_EQ(monitor.Sent()->rowCount(), 2);
  EXPECT_EQ(monitor.Received()->rowCount(), 1);
  EXPECT_EQ(monitor.Received()->item(0, 1)->text(), "030 999");
  EXPECT_EQ(monitor.Queue()->rowCount(), 0);
  ASSERT_EQ(monitor.Failures()->rowCount(), 1);
  EXPECT_EQ(monitor.Failures()->item(0, 2)->text(), "555 0303");
  EXPECT_TRUE(monitor.Failures()->item(0, 5)->text().contains("hung up after page 1"));
  EXPECT_TRUE(monitor.statusBar()->currentMessage().contains("555 0303"));
  EXPECT_EQ(monitor.Sent()->item(0, 5)->text(), "14400");  // the report: bit rate

  // Search by number, by name (any case) and by date.
  monitor.SentSearch()->setText("0202");
  EXPECT_EQ(monitor.SentView()->rowCount(), 1);
  monitor.SentSearch()->setText("anna");
  EXPECT_EQ(monitor.SentView()->rowCount(), 1);
  EXPECT_EQ(monitor.SentView()->index(0, 1).data().toString(), "555 0101");
  monitor.SentSearch()->setText(QDate::currentDate().toString("yyyy-MM-dd"));
  EXPECT_EQ(monitor.SentView()->rowCount(), 2);
  monitor.SentSearch()->setText("no such fax");
  EXPECT_EQ(monitor.SentView()->rowCount(), 0);

  // The viewer shows the received fax's three pages.
  monitor.ViewFax(true, 0);
  auto* viewer = monitor.findChild<QDialog*>("faxViewer");
  ASSERT_NE(viewer, nullptr);
  EXPECT_EQ(viewer->findChild<QSpinBox*>("page")->maximum(), 3);
  EXPECT_FALSE(viewer->findChild<QLabel*>("image")->pixmap().isNull());
  viewer->close();

  // The service gone: the monitor says so instead of hanging.
  daemon.Stop();
  EXPECT_FALSE(monitor.Refresh());
  EXPECT_TRUE(monitor.statusBar()->currentMessage().contains("cannot be reached"));
}

}  // namespace
}  // namespace brevant
