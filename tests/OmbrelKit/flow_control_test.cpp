#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "OmbrelKit/connection_health.h"
#include "OmbrelKit/route_quality.h"
#include "OmbrelKit/video_backpressure.h"
#include "OmbrelKit/video_delivery_window.h"

namespace ombrel {
namespace {

TEST(VideoBackpressureTest, QueueBudgetFollowsTheBitrateBetweenItsBounds) {
  const struct {
    int kbps;
    int budget;
  } cases[] = {
      {0, 4'096},
      {819, 4'096},
      {-5, 4'096},
      {std::numeric_limits<int>::min(), 4'096},
      {820, 4'100},
      {5'000, 25'000},
      {12'800, 64'000},
      {1'000'000, 64'000},
      {std::numeric_limits<int>::max(), 64'000},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VideoBackpressure::queueBudgetBytes(c.kbps), c.budget) << c.kbps;
  }
}

TEST(VideoBackpressureTest, ReducedBitrateStaysBetweenFloorAndBase) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    int current, target;
    double factor;
    int minimum, expected;
  } cases[] = {
      {10'000, 8'000, 0.5, 5'000, 5'000},  // the floor holds
      {10'000, 8'000, 0.5, 0, 4'000},      // floor of 1: the plain cut
      {10'000, 8'000, 2.0, 5'000, 8'000},  // never above the base
      {10'000, 8'000, 0.7499, 0, 5'999},   // truncated toward zero
      {3'000, 8'000, 0.5, 5'000, 3'000},   // a floor above the base is the base
      {0, 0, 0.5, 0, 1},                   // the base is at least 1
      {-7, 100, 0.5, -3, 1},
      {10'000, 8'000, -1.0, 100, 100},  // negative factor: the floor
      {10'000, 8'000, nan, 100, 100},   // not a number: the deepest cut, no undefined cast
      {10'000, 8'000, inf, 100, 8'000},
      {std::numeric_limits<int>::max(), std::numeric_limits<int>::max(), 1e300, 0,
       std::numeric_limits<int>::max()},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VideoBackpressure::reducedBitrate(c.current, c.target, c.factor, c.minimum),
              c.expected)
        << c.current << " " << c.target << " " << c.factor << " " << c.minimum;
  }
}

TEST(VideoDeliveryWindowTest, AcknowledgeReleasesTheFrameAndEveryOlderOne) {
  VideoDeliveryWindow window;
  EXPECT_TRUE(window.mayEncode());
  window.sent(1);
  EXPECT_TRUE(window.mayEncode());
  window.sent(2);
  EXPECT_FALSE(window.mayEncode());
  window.acknowledge(7);  // unknown: nothing changes
  EXPECT_EQ(window.pendingCount(), 2u);
  EXPECT_FALSE(window.mayEncode());
  window.acknowledge(2);
  EXPECT_EQ(window.pendingCount(), 0u);
  EXPECT_TRUE(window.mayEncode());

  // Only the first matching entry and those before it go; later ones stay.
  for (std::uint64_t pts : {10, 20, 30, 20}) window.sent(pts);
  window.acknowledge(20);
  EXPECT_EQ(window.pendingCount(), 2u);
  window.acknowledge(20);
  EXPECT_EQ(window.pendingCount(), 0u);
}

TEST(RouteQualityTest, ThreeConsecutiveSlowSamplesMeanASlowRoute) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    double rtt;
    bool slow;
    int count;
  } steps[] = {
      {1'600, false, 1}, {1'600, false, 2}, {1'600, true, 3},    {1'500, true, 4},
      {900, false, 0},   {1'600, false, 1}, {nan, false, 1},     {inf, false, 1},
      {-1, false, 1},    {1'600, false, 2}, {1'499.9, false, 0},
  };
  RouteQuality quality;
  for (const auto& s : steps) {
    EXPECT_EQ(quality.observe(s.rtt), s.slow) << s.rtt;
    EXPECT_EQ(quality.slowSamples(), s.count) << s.rtt;
  }
}

TEST(ConnectionHealthTest, StallsWhenNoResponseWithinTheTimeout) {
  ConnectionHealth health(10);
  EXPECT_FALSE(health.isStalled(1'000));  // not running
  health.acknowledge(5);                  // before start: no effect
  EXPECT_FALSE(health.lastResponse());
  health.start(0);
  EXPECT_FALSE(health.isStalled(9.9));
  EXPECT_TRUE(health.isStalled(10));
  health.acknowledge(5);
  EXPECT_FALSE(health.isStalled(14.9));
  EXPECT_TRUE(health.isStalled(15));
  health.acknowledge(2);  // never moves back
  EXPECT_EQ(health.lastResponse(), 5.0);
  health.acknowledge(std::numeric_limits<double>::quiet_NaN());
  EXPECT_EQ(health.lastResponse(), 5.0);
  health.stop();
  EXPECT_FALSE(health.isStalled(100));
  for (double bad : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_THROW(ConnectionHealth{bad}, std::invalid_argument) << bad;
  }
}

}  // namespace
}  // namespace ombrel
