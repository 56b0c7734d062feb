#include "CorvaneKit/relay_endpoint.h"

#include <gtest/gtest.h>

namespace ombrel {
namespace {

struct Case {
  const char* text;
  bool ok;
  const char* host;
  int port;
};

class RelayEndpointTest : public ::testing::TestWithParam<Case> {};

TEST_P(RelayEndpointTest, Parses) {
  const Case& c = GetParam();
  auto endpoint = RelayEndpoint::parse(c.text);
  ASSERT_EQ(endpoint.has_value(), c.ok) << c.text;
  if (c.ok) {
    EXPECT_EQ(endpoint->host, c.host);
    EXPECT_EQ(endpoint->port, c.port);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RelayEndpointTest,
    ::testing::Values(Case{"relay.example", true, "relay.example", 47900},
                      Case{"  relay.example:443\n", true, "relay.example", 443},
                      Case{"[2001:db8::1]", true, "2001:db8::1", 47900},
                      Case{"[2001:db8::1]:8080", true, "2001:db8::1", 8080},
                      Case{"2001:db8::1", true, "2001:db8::1", 47900}, Case{"[::1]:", false, "", 0},
                      Case{"[::1]x", false, "", 0}, Case{"[::1", false, "", 0},
                      Case{"[]:80", false, "", 0}, Case{"host:0", false, "", 0},
                      Case{"host:65536", false, "", 0}, Case{"host:65535", true, "host", 65535},
                      Case{"host:", false, "", 0}, Case{"host:+80", false, "", 0},
                      Case{":80", false, "", 0}, Case{"", false, "", 0}, Case{"   ", false, "", 0},
                      Case{"a b", false, "", 0}, Case{"a]b", false, "", 0}));

}  // namespace
}  // namespace ombrel
