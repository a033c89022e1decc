// The fax monitor against a running fax service: its lists, search, viewer
// and failures as the user sees them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDate>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QProgressBar>
#include <QSortFilterProxyModel>
#include <QSpinBox>
#include <QStandardItemModel>
#include <QStatusBar>
#include <cstring>
#include <fstream>
#include <vector>

#include "faxservice/client/FaxService.h"
#include "tests/faxservice/FaxTestSupport.h"
#include "tests/support/QtApp.h"
#include "tools/brevant-faxmon/FaxMonitor.h"

namespace brevant {
namespace {

using faxsvc::Message;

TEST(FaxMonitor, FollowsTheLineListsSearchesShowsAndExplainsFailures) {
  test::EnsureWidgetApplication();
  test::TestWorld world;
  test::FaxDaemon daemon(world);
  ASSERT_TRUE(daemon.Start());
  std::string fax = test::MakeFaxTiff(world.TempDir() + "/p.tif", 3);
  auto submit = [&](const std::string& number, const std::string& name) {
    return daemon.Call(Message("submit").Set("file", fax).Set("number", number).Set("name", name)).Get("id");
  };
  faxmon::FaxMonitor monitor;
  auto* label = monitor.findChild<QLabel*>("lblTransmission");
  auto* bar = monitor.findChild<QProgressBar*>("pbTransmission");
  ASSERT_TRUE(label && bar);
  ASSERT_TRUE(monitor.Refresh());
  EXPECT_FALSE(label->isVisibleTo(&monitor)) << "nothing is on the line";

  // Paced to 10 times real time, the monitor goes through the pages.
  daemon.Call(Message("line_set").Set("pace", "10"));
  std::string id = submit("555 0101", "Anna Berg");
  std::vector<std::string> seen;
  int mostSent = -1;
  ASSERT_TRUE(test::WaitFor(
      [&] {
        bool finished = daemon.Job(id).GetInt("status") == faxsvc::kJobCompleted;
        monitor.Refresh();
        if (label->isVisibleTo(&monitor)) {
          if (seen.empty() || seen.back() != label->text().toStdString())
            seen.push_back(label->text().toStdString());
          EXPECT_EQ(bar->maximum(), 3);
          EXPECT_TRUE(bar->isVisibleTo(&monitor));
          mostSent = std::max(mostSent, bar->value());
        }
        return finished;
      },
      60));
  const std::vector<std::string> pages{"Sending fax to 555 0101: page 1 of 3",
                                       "Sending fax to 555 0101: page 2 of 3",
                                       "Sending fax to 555 0101: page 3 of 3"};
  EXPECT_EQ(seen, pages);
  EXPECT_GE(mostSent, 2) << "the bar counts the pages the far end confirmed";
  monitor.Refresh();
  EXPECT_FALSE(label->isVisibleTo(&monitor) || bar->isVisibleTo(&monitor)) << "the fax has left the line";

  // One more sent, one the far end cuts off (no attempts left), one received.
  daemon.Call(Message("line_set").Set("pace", "0"));
  ASSERT_TRUE(daemon.WaitJob(submit("555 0202", "Bo Lind"), faxsvc::kJobCompleted));
  daemon.Call(Message("line_set").Set("hangup_after", "1").Set("retries", "0"));
  ASSERT_TRUE(daemon.WaitJob(submit("555 0303", "Cy"), faxsvc::kJobRetriesExceeded));
  daemon.Call(Message("line_set").Set("ring_seconds", "0").Set("hangup_after", "0"));
  daemon.Call(Message("device_set").Set("id", 1).Set("receive_mode", 1).Set("rings", 1));
  daemon.Call(Message("call").Set("file", fax).Set("from", "030 999"));
  ASSERT_TRUE(test::WaitFor([&] { return daemon.Archive("in").GetInt("count") == 1; }, 30));

  ASSERT_TRUE(monitor.Refresh());
  EXPECT_EQ(monitor.Devices()->rowCount(), 1);
  EXPECT_EQ(monitor.Devices()->item(0, 1)->text(), "Loopback");
  EXPECT_EQ(monitor.Devices()->item(0, 3)->text(), "Automatically");
  auto* memory = monitor.findChild<QWidget*>("lvT38Memory");
  ASSERT_NE(memory, nullptr);
  EXPECT_FALSE(memory->isVisibleTo(&monitor)) << "no SIP line, nothing learnt of numbers";
  EXPECT_EQ(monitor.Sent()->rowCount(), 2);
  EXPECT_EQ(monitor.Sent()->item(0, 5)->text(), "14400");  // the report: bit rate
  EXPECT_EQ(monitor.Received()->rowCount(), 1);
  EXPECT_EQ(monitor.Received()->item(0, 1)->text(), "030 999");
  // The line that carried each fax.
  EXPECT_EQ(monitor.Sent()->item(0, 8)->text(), "Brevant Loopback Modem");
  EXPECT_EQ(monitor.Received()->item(0, 5)->text(), "Brevant Loopback Modem");
  EXPECT_EQ(monitor.Queue()->rowCount(), 0);
  ASSERT_EQ(monitor.Failures()->rowCount(), 1);
  EXPECT_EQ(monitor.Failures()->item(0, 2)->text(), "555 0303");
  EXPECT_TRUE(monitor.Failures()->item(0, 5)->text().contains("hung up after page 1"));
  EXPECT_TRUE(monitor.statusBar()->currentMessage().contains("555 0303"));
  // Search by number, by name (any case) and by date.
  for (const auto& [text, rows] : std::vector<std::pair<QString, int>>{
           {"0202", 1}, {"anna", 1}, {QDate::currentDate().toString("yyyy-MM-dd"), 2}, {"no such fax", 0}}) {
    monitor.SentSearch()->setText(text);
    EXPECT_EQ(monitor.SentView()->rowCount(), rows) << text.toStdString();
  }
  monitor.SentSearch()->setText("anna");
  EXPECT_EQ(monitor.SentView()->index(0, 1).data().toString(), "555 0101");
  // The viewer shows the received fax's three pages.
  monitor.ViewFax(true, 0);
  auto* viewer = monitor.findChild<QDialog*>("faxViewer");
  ASSERT_NE(viewer, nullptr);
  EXPECT_EQ(viewer->findChild<QSpinBox*>("page")->maximum(), 3);
  EXPECT_FALSE(viewer->findChild<QLabel*>("image")->pixmap().isNull());
  viewer->close();
  // A SIP line: its kind, its registration state as the service reports
  // it (the registrar's answer), and how calls to each number go.
  ASSERT_NE(test::AddSipLineWithoutRegistrar(daemon), "");
  ASSERT_TRUE(monitor.Refresh());
  ASSERT_EQ(monitor.Devices()->rowCount(), 2);
  EXPECT_EQ(monitor.Devices()->item(1, 1)->text(), "SIP");
  EXPECT_TRUE(
      monitor.Devices()->item(1, 6)->text().startsWith("registration at 127.0.0.1:9 as alice failed: "))
      << monitor.Devices()->item(1, 6)->text().toStdString();
  EXPECT_TRUE(memory->isVisibleTo(&monitor));
  ASSERT_EQ(monitor.T38Memory()->rowCount(), 2);
  EXPECT_EQ(monitor.T38Memory()->item(0, 0)->text() + " " + monitor.T38Memory()->item(0, 1)->text(),
            "5552002 T.38");
  EXPECT_EQ(monitor.T38Memory()->item(1, 0)->text() + " " + monitor.T38Memory()->item(1, 1)->text(),
            "5553003 G.711 audio (T.38 did not work)");
  // The service gone: the monitor says so instead of hanging.
  daemon.Stop();
  EXPECT_FALSE(monitor.Refresh());
  EXPECT_TRUE(monitor.statusBar()->currentMessage().contains("cannot be reached"));
}

// Peak and current memory of this process in kB ("VmHWM", "VmRSS").
long MemoryKb(const char* field) {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field, 0) == 0) return std::atol(line.c_str() + std::strlen(field) + 1);
  return -1;
}

using FaxMonitorHostile = test::FaxUsers;

// Another user's fax of 40 pages of the longest length the service takes:
// its 112 KB hold 1.4 GB of pixels. The administrator's viewer decodes the
// page on screen alone, straight at the size it is shown.
TEST_F(FaxMonitorHostile, AFaxOfManyLongPagesCostsTheViewerOnePage) {
  test::EnsureWidgetApplication();
  ASSERT_TRUE(daemon.Start());
  daemon.Call(Message("line_set").Set("pace", "0"));
  faxsvc::FaxPage page = faxsvc::BlankPage();
  page.height = int(faxsvc::kMaxFaxRows);
  page.pixels.assign(std::size_t(page.width) * page.height, 0);
  std::fill_n(page.pixels.begin() + std::ptrdiff_t(page.width) * (page.height - 100), page.width * 50, 1);
  const std::string one = shared.Path() + "/one.tif", fax = shared.Path() + "/long.tif";
  std::string why;
  ASSERT_TRUE(faxsvc::WriteFaxTiff(one, {page}, "", &why)) << why;
  page = {};
  ASSERT_TRUE(faxsvc::ConcatFaxTiffs(std::vector<std::string>(40, one), fax, &why)) << why;
  ASSERT_EQ(::chown(fax.c_str(), alice.Uid(), alice.Gid()), 0);
  std::string id = As(alice, Message("submit").Set("file", fax).Set("number", "555 0101")).Get("id");
  ASSERT_TRUE(daemon.WaitJob(id, faxsvc::kJobCompleted, 120));

  faxmon::FaxMonitor monitor;
  ASSERT_TRUE(monitor.Refresh());
  ASSERT_EQ(monitor.Sent()->rowCount(), 1);
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  const long before = MemoryKb("VmRSS");
  monitor.ViewFax(false, 0);
  auto* pages = monitor.findChild<QDialog*>("faxViewer")->findChild<QSpinBox*>("page");
  EXPECT_EQ(pages->maximum(), 40);
  pages->setValue(40);
  // 20000 rows at fine resolution drawn 700 pixels wide, with the band near
  // the page's end.
  const QImage shown = pages->parent()->findChild<QLabel*>("image")->pixmap().toImage();
  EXPECT_EQ(std::to_string(shown.width()) + "x" + std::to_string(shown.height()), "700x8433");
  EXPECT_LT(qGray(shown.pixel(350, 8433 * 19925 / 20000)), 64);
  EXPECT_EQ(qGray(shown.pixel(350, 4000)), 255);
  const long grown = MemoryKb("VmHWM") - before;
  RecordProperty("viewer_peak_kb", std::to_string(grown));
  EXPECT_LT(grown, 100 * 1024) << "the viewer's peak grew by " << grown << " kB";
}

}  // namespace
}  // namespace brevant
