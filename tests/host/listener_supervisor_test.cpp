#include "Ombrel_Remote_Host/controller/listener_supervisor.h"

#include <gtest/gtest.h>

#include "Ombrel_Remote_Host/platform/fake/fake_bonjour_advertiser.h"
#include "host/manual_runtime.h"
#include "support/mailbox.h"

namespace ombrel {
namespace {

class ListenerSupervisorTest : public test::ManualRuntimeTest {
 protected:
  ListenerSupervisorTest() {
    supervisor = onMain([&] {
      auto made = ListenerSupervisor::create(*runtime, advertiser, "HOST-ID", 0);
      auto hear = [this](std::string what) { return [this, what] { heard.put(what); }; };
      made->onPort = hear("port");
      made->onStatus = hear("status");
      made->onReach = hear("reach");
      made->onBonjourStatus = hear("bonjour");
      return made;
    });
  }
  ~ListenerSupervisorTest() override {
    onMain([&] { supervisor->shutdown(); });
    supervisor.reset();
    runtime.reset();
  }

  std::vector<std::string> take(std::size_t count) {
    std::vector<std::string> result;
    while (result.size() < count) {
      auto next = heard.take();
      if (!next) break;
      result.push_back(*next);
    }
    return result;
  }

  std::shared_ptr<FakeBonjourAdvertiser> advertiser = std::make_shared<FakeBonjourAdvertiser>();
  std::shared_ptr<ListenerSupervisor> supervisor;
  test::Mailbox<std::string> heard;
};

// The port is told before the status line (the host prints them in that order), and the
// router mapping and addresses follow only once the advertisement carries the new port.
TEST_F(ListenerSupervisorTest, ReadyIsToldInOrderAndNothingAfterShutdown) {
  onMain([&] { supervisor->start(); });
  EXPECT_EQ(take(4), (std::vector<std::string>{"port", "status", "bonjour", "reach"}));
  onMain([&] {
    EXPECT_NE(supervisor->port(), 0);
    EXPECT_EQ(advertiser->port(), supervisor->port());
    EXPECT_EQ(advertiser->hostID(), "HOST-ID");
    EXPECT_EQ(supervisor->bonjourStatus().state, BonjourState::advertising);
    // Started already: a second start changes nothing.
    supervisor->start();
  });
  advertiser->setState(BonjourState::noDaemon);
  EXPECT_EQ(take(1), std::vector<std::string>{"bonjour"});

  onMain([&] {
    supervisor->stopWith("off");
    EXPECT_EQ(supervisor->port(), 0);
    EXPECT_EQ(supervisor->status(), "off");
  });
  EXPECT_EQ(take(3), (std::vector<std::string>{"bonjour", "port", "status"}));
  onMain([&] {
    supervisor->shutdown();
    supervisor->start();
  });
  advertiser->setState(BonjourState::advertising);
  onMain([] {});
  EXPECT_FALSE(heard.take(std::chrono::milliseconds(200)));
  onMain([&] { EXPECT_EQ(supervisor->port(), 0); });
}

}  // namespace
}  // namespace ombrel
