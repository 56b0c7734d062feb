#include "Ombrel_Remote_Host/session/session_rules.h"

#include <gtest/gtest.h>

namespace ombrel {
namespace {

TEST(CleanDeviceNameTest, Table) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"My iPhone", "My iPhone"},
      {"\u200B\u200C\u200D\uFEFF", "未知裝置"},  // only zero-width characters
      {"", "未知裝置"},
      {"  a\n\tb  \r\n c ", "a b c"},          // controls become folded spaces
      {"\u202Eevil\u202C name", "evil name"},  // direction overrides dropped
      {"\u3164\uFFA0", "未知裝置"},            // Hangul fillers
      {std::string(50, 'x'), std::string(40, 'x')},
      {std::string(39, 'x') + " y", std::string(39, 'x')},  // cut leaves no trailing space
      {"王小明的 iPad", "王小明的 iPad"},
      {std::string(39, 'a') + "e\u0301z", std::string(39, 'a') + "e\u0301"},  // accent kept
      {"bad\xFFutf8", "bad\uFFFDutf8"},
  };
  for (const auto& c : cases) EXPECT_EQ(SessionRules::cleanDeviceName(c.in), c.out) << c.in;
}

TEST(IsInternetAddressTest, Table) {
  struct Case {
    const char* address;
    bool internet;
  };
  const Case cases[] = {
      {"8.8.8.8", true},
      {"203.0.113.9", true},
      {"192.168.1.20", false},
      {"10.1.2.3", false},
      {"172.16.0.1", false},
      {"172.32.0.1", true},
      {"100.64.0.1", false},
      {"100.127.255.255", false},
      {"100.128.0.1", true},
      {"169.254.3.4", false},
      {"127.0.0.1", false},
      {"0.1.2.3", false},
      {"::", false},
      {"::1", false},
      {"::ffff:192.168.0.1", false},
      {"::ffff:8.8.4.4", true},
      {"fd12::1", false},
      {"fe80::1%en0", false},
      {"2001:db8::1", true},
      {"", false},
      {"ICE", false},
      {"192.168.1.1%eth0", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SessionRules::isInternetAddress(c.address), c.internet) << c.address;
}

TEST(PairingBackoffTest, ThreePromptsPer120Seconds) {
  PairingBackoff backoff;
  EXPECT_FALSE(backoff.shouldRefuse(0));
  EXPECT_FALSE(backoff.shouldRefuse(1));
  EXPECT_FALSE(backoff.shouldRefuse(2));
  EXPECT_TRUE(backoff.shouldRefuse(3));    // fourth within 120 s
  EXPECT_TRUE(backoff.shouldRefuse(120));  // the first is exactly 120 s old: still counted
  EXPECT_FALSE(backoff.shouldRefuse(120.5));
  EXPECT_TRUE(backoff.shouldRefuse(121));
}

TEST(HostCapabilitiesTest, OrderAndConditions) {
  const std::vector<std::string> base = {
      "hevc",   "h264",   "audio", "clipboard",      "multiDisplay",        "cursor",
      "120fps", "refine", "wake",  "clipboardImage", "clipboardImagePaste", "clipboardTextPaste",
      "ai"};
  auto with = [&](std::vector<std::string> extra) {
    auto out = base;
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
  };
  struct Case {
    bool limited, relayed, ice;
    std::vector<std::string> expected;
  } cases[] = {
      {false, false, false, with({"virtualDisplay", "privacy"})},
      {false, false, true, with({"virtualDisplay", "privacy"})},
      {false, true, true, with({"virtualDisplay", "privacy", "corvane-ice-v1"})},
      {false, true, false, with({"virtualDisplay", "privacy"})},
      {true, true, true, base},
      {true, false, false, base},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SessionRules::hostCapabilities(c.limited, c.relayed, c.ice), c.expected)
        << c.limited << c.relayed << c.ice;
  }
}

TEST(GrantSecondsTest, ClampsMinutes) {
  struct Case {
    std::int64_t minutes;
    double seconds;
  } cases[] = {{2, 300}, {5, 300}, {120, 7200}, {1440, 86400}, {5000, 86400}, {-3, 300}};
  for (const auto& c : cases) EXPECT_EQ(SessionRules::grantSeconds(c.minutes), c.seconds);
}

TEST(OsNameTest, KernelReleases) {
  EXPECT_EQ(SessionRules::osName("6.1.0-18-amd64"), "Linux 6.1");
  EXPECT_EQ(SessionRules::osName("5.15.153.1-microsoft-standard-WSL2"), "Linux 5.15");
  EXPECT_EQ(SessionRules::osName("6.8"), "Linux 6.8");
  EXPECT_EQ(SessionRules::osName("weird"), "Linux");
  EXPECT_EQ(SessionRules::osName("6."), "Linux");
  EXPECT_EQ(SessionRules::osName().rfind("Linux ", 0), 0u);
}

}  // namespace
}  // namespace ombrel
