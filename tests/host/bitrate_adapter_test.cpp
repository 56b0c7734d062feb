#include "Ombrel_Remote_Host/stream/bitrate_adapter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <functional>
#include <string>

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

// The window minimum shows as the delay cut: with a 40 ms over the minimum being queueing, a
// latest RTT of minimum + 100 ms must cut, and one of minimum + 10 ms must not.
bool cutsAt(BitrateAdapter& adapter, double now, double latest) {
  adapter.setBitrate(3000);
  adapter.recordRtt(now, latest);
  return adapter.tick(now, 0, 0, true, false).apply.has_value();
}

TEST(BitrateAdapterTest, RttHistoryStaysBoundedUnderAFloodOfReports) {
  struct Case {
    const char* name;
    std::function<double(int)> rtt;  // RTT of report i
  };
  const Case cases[] = {
      {"rising", [](int i) { return 10.0 + i * 0.001; }},
      {"falling", [](int i) { return 200.0 - i * 0.001; }},
      {"constant", [](int) { return 50.0; }},
      {"sawtooth", [](int i) { return 10.0 + (i % 5000) * 0.01; }},
      {"noisy", [](int i) { return 30.0 + std::fmod(i * 7919.0, 97.0); }},
  };
  constexpr int kReports = 100000;
  for (const auto& c : cases) {
    BitrateAdapter adapter;
    adapter.reset(3000, 3000);
    std::deque<std::pair<double, double>> all;  // what a full scan of the window would see
    std::size_t largest = 0;
    for (int i = 0; i < kReports; ++i) {
      double now = i * 0.0005;  // 2000 reports a second: 50 s, past the 30 s window
      adapter.recordRtt(now, c.rtt(i));
      all.emplace_back(now, c.rtt(i));
      while (now - all.front().first > BitrateAdapter::rttWindow) all.pop_front();
      largest = std::max(largest, adapter.rttSampleCount());
    }
    EXPECT_LE(largest, BitrateAdapter::kMaxRttSamples) << c.name;
    double now = (kReports - 1) * 0.0005;
    double minimum = std::min_element(all.begin(), all.end(), [](auto& a, auto& b) {
                       return a.second < b.second;
                     })->second;
    if (std::string(c.name) == "rising") {
      // More rising candidates than the cap: the oldest go, the minimum may only rise.
      EXPECT_GE(adapter.rttSampleCount(), 1u);
      continue;
    }
    BitrateAdapter probe = adapter;
    EXPECT_TRUE(cutsAt(probe, now, minimum + 100)) << c.name;
    probe = adapter;
    EXPECT_FALSE(cutsAt(probe, now, minimum + 10)) << c.name;
  }
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
