#include "Ombrel_Remote_Host/controller/live_session_registry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ombrel {
namespace {

TEST(ConnectionAdmissionTest, RateLimitPerAddress) {
  ConnectionAdmission admission;
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(admission.allowNewConnection("192.168.1.2", i));
  EXPECT_FALSE(admission.allowNewConnection("192.168.1.2", 20));
  EXPECT_TRUE(admission.allowNewConnection("192.168.1.3", 20));
  EXPECT_FALSE(admission.allowNewConnection("192.168.1.2", 59.9));
  EXPECT_TRUE(admission.allowNewConnection("192.168.1.2", 60.0));  // the oldest left the window
  EXPECT_FALSE(admission.allowNewConnection("192.168.1.2", 60.5));
  EXPECT_EQ(admission.trackedAddresses(), 2u);
  EXPECT_TRUE(admission.allowNewConnection("x", 1000));
  EXPECT_EQ(admission.trackedAddresses(), 1u);
}

TEST(ConnectionAdmissionTest, LiveSessionLimits) {
  ConnectionAdmission admission;
  std::vector<std::string> live(8, "10.0.0.5");
  EXPECT_FALSE(admission.admitDirect(live, "10.0.0.5", 0));  // ninth from one address
  EXPECT_TRUE(admission.admitDirect(live, "10.0.0.6", 0));
  live.assign(48, "");
  EXPECT_TRUE(admission.admitDirect(live, "10.0.0.7", 0));  // relayed ones do not count
  EXPECT_FALSE(ConnectionAdmission::admitRelayed(std::vector<std::string>(16, "")));
  EXPECT_TRUE(ConnectionAdmission::admitRelayed(std::vector<std::string>(15, "")));
  std::vector<std::string> direct;
  for (int i = 0; i < 48; ++i) direct.push_back("10.1.0." + std::to_string(i));
  EXPECT_FALSE(admission.admitDirect(direct, "10.2.0.1", 0));
  // A refused connection is not recorded against the rate limit.
  for (int i = 0; i < 30; ++i)
    admission.admitDirect(live = std::vector<std::string>(8, "h"), "h", 1);
  live.clear();
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(admission.admitDirect(live, "h", 2)) << i;
}

}  // namespace
}  // namespace ombrel
