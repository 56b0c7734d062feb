#include "Ombrel_Remote_Host/stream/bitrate_adapter.h"

#include <gtest/gtest.h>

namespace ombrel {
namespace {

TEST(BitrateAdapterTest, SkipCutThresholds) {
  struct Case {
    std::int64_t encoded;
    std::int64_t skipped;
    bool cut;
  };
  const Case cases[] = {{25, 2, false}, {25, 3, true}, {19, 2, false}, {19, 3, true},
                        {20, 2, false}, {20, 3, true}, {0, 3, true},   {0, 2, false}};
  for (const auto& c : cases) {
    BitrateAdapter adapter;
    adapter.reset(8000, 8000);
    auto tick = adapter.tick(1, c.encoded, c.skipped, true, false);
    EXPECT_EQ(tick.apply.has_value(), c.cut) << c.encoded << "/" << c.skipped;
    EXPECT_EQ(tick.bitrateKbps, c.cut ? 5600 : 8000);
    EXPECT_EQ(tick.encodedFrames, c.encoded);
    EXPECT_EQ(tick.skippedFrames, c.skipped);
  }
}

TEST(BitrateAdapterTest, StartBitrateRisesAfterThreeCalmSeconds) {
  BitrateAdapter adapter;
  adapter.reset(8000, 2000);
  std::int64_t encoded = 0;
  std::vector<std::int64_t> rates;
  for (int second = 1; second <= 7; ++second) {
    encoded += 60;
    rates.push_back(adapter.tick(second, encoded, 0, true, false).bitrateKbps);
  }
  // 2800 x 1.15 is 3219.999... in binary floating point: the rise truncates it.
  EXPECT_EQ(rates, (std::vector<std::int64_t>{2000, 2000, 2800, 3719, 4776, 5992, 7390}));
  encoded += 60;
  EXPECT_EQ(adapter.tick(8, encoded, 0, true, false).bitrateKbps, 8000);  // capped at target
  encoded += 60;
  EXPECT_FALSE(adapter.tick(9, encoded, 0, true, false).apply.has_value());
}

TEST(BitrateAdapterTest, DelayCutIsSpacedAndFloored) {
  BitrateAdapter adapter;
  adapter.reset(3000, 3000);
  adapter.recordRtt(0.0, 20);
  adapter.recordRtt(0.5, 80);  // 60 ms over the minimum: queueing
  auto first = adapter.tick(2.0, 60, 0, true, false);
  ASSERT_TRUE(first.apply.has_value());
  EXPECT_EQ(*first.apply, 2250);
  // Within 1.5 s of the last delay cut only the skip rule may cut; the delay resets calm.
  auto second = adapter.tick(3.0, 120, 0, true, false);
  EXPECT_FALSE(second.apply.has_value());
  EXPECT_EQ(adapter.calmSeconds(), 0);
  auto third = adapter.tick(3.6, 180, 0, true, false);
  EXPECT_EQ(third.apply.value_or(0), 1687);
  auto fourth = adapter.tick(5.2, 240, 0, true, false);
  EXPECT_EQ(fourth.apply.value_or(0), 1500);  // unpaced floor
  adapter.reset(3000, 300);
  adapter.recordRtt(10, 10);
  EXPECT_EQ(adapter.tick(20, 300, 100, true, true).bitrateKbps, 256);  // paced floor
}

TEST(BitrateAdapterTest, SmallDelayIsNotQueueingAndOldSamplesAge) {
  BitrateAdapter adapter;
  adapter.reset(3000, 3000);
  adapter.recordRtt(0, 100);
  adapter.recordRtt(1, 150);  // 50 ms over, but not over 0.6 x 100
  EXPECT_FALSE(adapter.tick(2, 60, 0, true, false).apply.has_value());
  adapter.recordRtt(40, 150);  // the 100 ms sample has aged out: no delay at all
  adapter.tick(41, 120, 0, true, false);
  EXPECT_EQ(adapter.calmSeconds(), 1);
}

TEST(BitrateAdapterTest, NonAdaptiveOnlyReports) {
  BitrateAdapter adapter;
  adapter.reset(8000, 2000);
  for (int s = 1; s < 10; ++s) {
    auto tick = adapter.tick(s, s * 10, s * 10, false, false);
    EXPECT_FALSE(tick.apply.has_value());
    EXPECT_EQ(tick.bitrateKbps, 2000);
    EXPECT_EQ(tick.skippedFrames, 10);
  }
}

}  // namespace
}  // namespace ombrel
