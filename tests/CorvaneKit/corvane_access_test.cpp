#include "CorvaneKit/corvane_access.h"

#include <vector>

#include <gtest/gtest.h>

namespace ombrel {
namespace {

using Corvane::Path;

struct PathCase {
  const char* address;
  Path expected;
};

class CorvanePathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(CorvanePathTest, Classifies) {
  EXPECT_EQ(Corvane::path(GetParam().address), GetParam().expected) << GetParam().address;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CorvanePathTest,
    ::testing::Values(
        // Private and special IPv4 ranges, with their edges.
        PathCase{"10.0.0.1", Path::local}, PathCase{"127.0.0.1", Path::local},
        PathCase{"169.254.3.4", Path::local}, PathCase{"169.253.3.4", Path::internet},
        PathCase{"172.16.0.1", Path::local}, PathCase{"172.31.255.255", Path::local},
        PathCase{"172.15.0.1", Path::internet}, PathCase{"172.32.0.1", Path::internet},
        PathCase{"192.168.1.20", Path::local}, PathCase{"192.169.1.20", Path::internet},
        PathCase{"203.0.113.5", Path::internet}, PathCase{"8.8.8.8", Path::internet},
        // 100.64.0.0/10 only; the rest of 100/8 is public.
        PathCase{"100.64.0.1", Path::compatibilityVPN},
        PathCase{"100.100.1.1", Path::compatibilityVPN},
        PathCase{"100.127.255.255", Path::compatibilityVPN}, PathCase{"100.63.1.1", Path::internet},
        PathCase{"100.128.1.1", Path::internet}, PathCase{"100.200.1.1", Path::internet},
        // IPv4-mapped IPv6, in either case.
        PathCase{"::ffff:192.168.1.20", Path::local}, PathCase{"::FFFF:10.1.2.3", Path::local},
        PathCase{"::ffff:100.100.1.1", Path::compatibilityVPN},
        PathCase{"::ffff:203.0.113.5", Path::internet},
        // Not four decimal bytes: falls through to the name rules.
        PathCase{"10.0.0.256", Path::internet}, PathCase{"10.0.0", Path::internet},
        PathCase{"10.0.0.1.5", Path::internet}, PathCase{"10..0.1", Path::internet},
        PathCase{"10.0.0.-1", Path::internet}, PathCase{"10.0.0.1 ", Path::internet},
        PathCase{"010.000.000.001", Path::local},
        // IPv6.
        PathCase{"::1", Path::local}, PathCase{"fe80::1", Path::local},
        PathCase{"FE80::1%en0", Path::local}, PathCase{"fd12::1", Path::local},
        PathCase{"fc00::1", Path::local}, PathCase{"fd7a:115c:a1e0::5", Path::compatibilityVPN},
        PathCase{"FD7A:115C:A1E0:ab12::5", Path::compatibilityVPN},
        PathCase{"2001:db8::1", Path::internet}, PathCase{"::2", Path::internet},
        // Names.
        PathCase{"printer.local", Path::local}, PathCase{"Printer.LOCAL", Path::local},
        PathCase{"fdhost", Path::internet}, PathCase{"ICE", Path::internet},
        PathCase{"", Path::internet}, PathCase{"relay.example", Path::internet}));

TEST(CorvanePathRawValue, OnlyZeroToTwo) {
  EXPECT_EQ(Corvane::pathFromRawValue(0), Path::local);
  EXPECT_EQ(Corvane::pathFromRawValue(1), Path::internet);
  EXPECT_EQ(Corvane::pathFromRawValue(2), Path::compatibilityVPN);
  EXPECT_EQ(Corvane::pathFromRawValue(3), std::nullopt);
  EXPECT_EQ(Corvane::pathFromRawValue(-1), std::nullopt);
}

TEST(CorvaneServicesTest, SwitchesAndPaths) {
  EXPECT_EQ(CorvaneServices{}, (CorvaneServices{.linkEnabled = true, .remoteEnabled = true}));
  struct Case {
    CorvaneServices services;
    bool needsListener;
    bool localDirect, localRelayed, internet, vpn;
  };
  const Case cases[] = {
      {{true, true}, true, true, true, true, true},
      {{false, true}, true, true, false, false, false},
      {{true, false}, true, false, false, false, false},
      {{false, false}, false, false, false, false, false},
  };
  for (const Case& c : cases) {
    const CorvaneServices& s = c.services;
    SCOPED_TRACE(::testing::Message() << s.linkEnabled << s.remoteEnabled);
    EXPECT_EQ(s.needsListener(), c.needsListener);
    EXPECT_EQ(s.registersRelay(), s.linkEnabled);
    EXPECT_EQ(s.allowsRemote(Path::local, false), c.localDirect);
    EXPECT_EQ(s.allowsRemote(Path::local, true), c.localRelayed);
    EXPECT_EQ(s.allowsRemote(Path::internet, false), c.internet);
    EXPECT_EQ(s.allowsRemote(Path::compatibilityVPN, false), c.vpn);
  }
  CorvaneServices off{false, false};
  off.enableAll();
  EXPECT_EQ(off, CorvaneServices{});
}

// A session's token against a series of switch changes made after it was taken.
TEST(CorvaneAccessTest, TokensOutliveOnlyUnrelatedChanges) {
  struct Check {
    Path path;
    bool relayed;
    bool allowed;
  };
  struct Case {
    const char* name;
    std::vector<CorvaneServices> changes;
    std::vector<Check> checks;
  };
  const CorvaneServices both{true, true}, linkOff{false, true}, remoteOff{true, false};
  const Case cases[] = {
      {"untouched",
       {},
       {{Path::local, false, true},
        {Path::local, true, true},
        {Path::internet, false, true},
        {Path::compatibilityVPN, false, true}}},
      {"same value again counts as no change",
       {both},
       {{Path::local, true, true}, {Path::internet, false, true}}},
      {"Corvane off and on again",
       {linkOff, both},
       {{Path::local, false, true},
        {Path::local, true, false},
        {Path::internet, false, false},
        {Path::compatibilityVPN, false, false}}},
      {"Corvane off",
       {linkOff},
       {{Path::local, false, true}, {Path::local, true, false}, {Path::internet, false, false}}},
      {"remote off", {remoteOff}, {{Path::local, false, false}, {Path::internet, false, false}}},
      {"remote off and on again",
       {remoteOff, both},
       {{Path::local, false, false}, {Path::internet, false, false}}},
  };
  for (const Case& c : cases) {
    CorvaneAccess access;
    const CorvaneAccess::Token token = access.token();
    for (const CorvaneServices& change : c.changes) access.update(change);
    for (const Check& check : c.checks) {
      EXPECT_EQ(access.allows(token, check.path, check.relayed), check.allowed)
          << c.name << ": path " << static_cast<int>(check.path) << " relayed " << check.relayed;
    }
    // A token taken now is judged by the switches alone.
    const CorvaneAccess::Token fresh = access.token();
    const CorvaneServices now = access.services();
    for (Path path : {Path::local, Path::internet, Path::compatibilityVPN}) {
      for (bool relayed : {false, true}) {
        EXPECT_EQ(access.allows(fresh, path, relayed), now.allowsRemote(path, relayed)) << c.name;
      }
    }
  }
}

TEST(CorvaneAccessTest, CountersAdvancePerSwitch) {
  CorvaneAccess access(CorvaneServices{false, true});
  EXPECT_EQ(access.token(), (CorvaneAccess::Token{0, 0}));
  access.update({true, true});
  EXPECT_EQ(access.token(), (CorvaneAccess::Token{0, 1}));
  access.update({false, false});
  EXPECT_EQ(access.token(), (CorvaneAccess::Token{1, 2}));
  access.update({false, false});
  EXPECT_EQ(access.token(), (CorvaneAccess::Token{1, 2}));
  EXPECT_EQ(access.services(), (CorvaneServices{false, false}));
  // Remote access off refuses every path, even with a current token.
  for (Path path : {Path::local, Path::internet, Path::compatibilityVPN}) {
    EXPECT_FALSE(access.allows(access.token(), path, false));
  }
}

}  // namespace
}  // namespace ombrel
