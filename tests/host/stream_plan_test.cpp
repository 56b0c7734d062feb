#include "Ombrel_Remote_Host/stream/stream_plan.h"

#include <gtest/gtest.h>

namespace ombrel {
namespace {

using StreamPlan::Size;

TEST(StreamPlanTest, CaptureSizeTable) {
  struct Case {
    Size display, maximum, expected;
  };
  const Case cases[] = {
      {{2880, 1800}, {1920, 1080}, {1728, 1080}},
      {{2880, 1800}, {4000, 4000}, {2880, 1800}},  // never upscales
      {{1366, 768}, {1000, 1000}, {1000, 562}},    // 562.2 -> 562
      {{1365, 767}, {5000, 5000}, {1364, 766}},    // odd made even
      {{1920, 1080}, {0, 0}, {2, 2}},              // nonsense maximum still encodable
      {{0, 1080}, {1920, 1080}, {0, 0}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(StreamPlan::captureSize(c.display.width, c.display.height, c.maximum.width,
                                      c.maximum.height),
              c.expected)
        << c.display.width << "x" << c.display.height;
  }
}

TEST(StreamPlanTest, CodecCapFpsAndStartBitrate) {
  EXPECT_EQ(StreamPlan::requestedMaximum(VideoCodec::h264, 3840, 2160), (Size{1920, 1200}));
  EXPECT_EQ(StreamPlan::requestedMaximum(VideoCodec::hevc, 3840, 2160), (Size{3840, 2160}));
  EXPECT_EQ(StreamPlan::requestedMaximum(VideoCodec::h264, 1280, 720), (Size{1280, 720}));
  EXPECT_EQ(StreamPlan::clampFps(5), 10);
  EXPECT_EQ(StreamPlan::clampFps(240), 120);
  EXPECT_EQ(StreamPlan::clampFps(60), 60);
  EXPECT_EQ(StreamPlan::startBitrate(8000, 2000), 2000);
  EXPECT_EQ(StreamPlan::startBitrate(8000, 20000), 8000);
  EXPECT_EQ(StreamPlan::startBitrate(8000, std::nullopt), 8000);
}

}  // namespace
}  // namespace ombrel
