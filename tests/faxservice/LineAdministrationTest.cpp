// Two fax administrators change the service's lines at the same moment,
// in the daemon's own request code: asking a device takes time (a modem
// answers in seconds), and the service lets go of its lock meanwhile.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "faxservice/daemon/Archive.h"
#include "faxservice/daemon/Requests.h"
#include "faxservice/daemon/State.h"
#include "faxservice/daemon/lines/Line.h"
#include "tests/support/TestWorld.h"

using brevant::faxsvc::Message;
using namespace brevant::faxd;

namespace {

// A kind of line whose device is asked as a modem is: slowly, with the
// service's lock let go.
const bool kSlowKind = RegisterLineKind(
    "slow-device", [](const LineEnv&, const Message&) { return std::unique_ptr<Line>(); },
    [](Message& config, bool tryDevice, Message* report, std::string* why) {
      for (const auto& [k, v] : config.Fields())
        if (k != "device" && k != "label") return (*why = "unknown setting " + k), false;
      if (tryDevice) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      report->Set("modem", "test").Set("max_rate", 14400);
      return true;
    });

class LineAdministration : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kSlowKind);
    std::string why;
    ASSERT_TRUE(archive_.Start(world_.Root() + "/state", &why)) << why;
    ASSERT_TRUE(state_.Open(&why)) << why;
  }
  Message As(const Caller& caller, const Message& request) {
    return requests_.Handle(caller, request, -1).message;
  }
  // The lines whose device is `device`, and one line's own settings.
  int Owners(const std::string& device) {
    int n = 0;
    for (const Message& line : As(alice_, Message("lines")).Items()) n += line.Get("device") == device;
    return n;
  }
  Message LineOf(const std::string& id) {
    for (const Message& line : As(alice_, Message("lines")).Items())
      if (line.Get("id") == id) return line;
    return Message();
  }

  brevant::test::TestWorld world_;
  Archive archive_;
  State state_{world_.Root() + "/state"};
  Requests requests_{state_, archive_, 60000, [] {}};
  Caller alice_{0, 0, 0, "alice", true}, bob_{1, 0, 0, "bob", true};
};

}  // namespace

TEST_F(LineAdministration, TwoAdministratorsChangingLinesAtOnceNeverShareADeviceNorLoseAChange) {
  Message first = As(alice_, Message("line_add").Set("kind", "slow-device").Set("device", "/dev/fax-b"));
  ASSERT_EQ(first.Get("ok"), "1") << first.Get("error");
  const std::string line = first.Get("id");

  for (int round = 0; round < 150; ++round) {
    // One adds a line on a device while the other moves an existing line
    // to it: one of them is refused, whichever asked the device first.
    Message added, moved;
    std::thread a([&] {
      added = As(alice_, Message("line_add").Set("kind", "slow-device").Set("device", "/dev/fax-a"));
    });
    std::thread b(
        [&] { moved = As(bob_, Message("line_update").Set("id", line).Set("device", "/dev/fax-a")); });
    a.join();
    b.join();
    ASSERT_EQ(Owners("/dev/fax-a"), 1)
        << "round " << round << ": added " << added.Get("error") << ", moved " << moved.Get("error");
    EXPECT_NE(added.Get("ok"), moved.Get("ok")) << "round " << round;
    if (added.Get("ok") == "1") {
      ASSERT_EQ(As(alice_, Message("line_remove").Set("id", added.Get("id"))).Get("ok"), "1");
    }

    // Each changes another setting of the same line: both changes stay.
    const std::string label = "round " + std::to_string(round);
    std::thread c([&] { As(alice_, Message("line_update").Set("id", line).Set("label", label)); });
    std::thread d([&] { As(bob_, Message("line_update").Set("id", line).Set("device", "/dev/fax-b")); });
    c.join();
    d.join();
    Message now = LineOf(line);
    ASSERT_EQ(now.Get("device") + " " + now.Get("label"), "/dev/fax-b " + label) << "round " << round;
  }
}
