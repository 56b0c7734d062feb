#include "Ombrel_Remote_Host/audio/audio_conversion.h"

#include <gtest/gtest.h>

#include <cmath>

namespace ombrel {
namespace {

TEST(AudioConversionTest, SamplesAndChannels) {
  EXPECT_EQ(AudioConversion::sample(1.0f), 32767);
  EXPECT_EQ(AudioConversion::sample(2.0f), 32767);
  EXPECT_EQ(AudioConversion::sample(NAN), 32767);
  EXPECT_EQ(AudioConversion::sample(-1.0f), -32767);
  EXPECT_EQ(AudioConversion::sample(-3.0f), -32767);
  EXPECT_EQ(AudioConversion::sample(0.5f), 16383);
  EXPECT_EQ(AudioConversion::sample(-0.5f), -16383);

  const float mono[] = {1.0f, -1.0f};
  const float* planes[] = {mono};
  EXPECT_EQ(hexString(AudioConversion::toStereoS16LE(planes, 1, false, 1, 2)),
            "ff7fff7f0180"
            "0180");
  const float interleavedMono[] = {0.5f, 0.0f};
  const float* one[] = {interleavedMono};
  EXPECT_EQ(hexString(AudioConversion::toStereoS16LE(one, 1, true, 1, 2)), "ff3fff3f00000000");
  const float stereo[] = {1.0f, -1.0f};
  const float* both[] = {stereo};
  EXPECT_EQ(hexString(AudioConversion::toStereoS16LE(both, 1, true, 2, 1)), "ff7f0180");
  const float* missing[] = {nullptr};
  EXPECT_EQ(hexString(AudioConversion::toStereoS16LE(missing, 1, false, 1, 1)), "00000000");
  EXPECT_TRUE(AudioConversion::toStereoS16LE(planes, 1, false, 1, 0).empty());
}

}  // namespace
}  // namespace ombrel
