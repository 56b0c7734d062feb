#include "OmbrelKit/video_frame.h"

#include <gtest/gtest.h>

#include "OmbrelKit/nv_error.h"

namespace ombrel {
namespace {

void expectTruncated(auto decode, const Bytes& body) {
  try {
    decode(body);
    ADD_FAILURE() << "decoded " << hexString(body);
  } catch (const NVError& e) {
    EXPECT_EQ(e.kind(), NVError::Kind::truncated) << hexString(body);
  }
}

TEST(VideoFrameTest, MinimalFrameIsFourteenBytesAndRoundTrips) {
  VideoFrame frame;
  auto body = frame.encoded();
  EXPECT_EQ(body.size(), 14u);
  EXPECT_EQ(VideoFrame::decode(body), frame);
}

TEST(VideoFrameTest, LayoutMatchesTheWire) {
  VideoFrame frame{.isKeyframe = true,
                   .codec = VideoCodec::h264,
                   .ptsMicros = 0x0102030405060708,
                   .width = 1920,
                   .height = 1080,
                   .parameterSets = {{0x67, 0x42}, {0x68}},
                   .payload = {0, 0, 0, 1, 0x65}};
  auto body = frame.encoded();
  EXPECT_EQ(hexString(body),
            "03"
            "0102030405060708"
            "0780"
            "0438"
            "02"
            "00026742"
            "000168"
            "0000000165");
  EXPECT_EQ(VideoFrame::decode(body), frame);
}

TEST(VideoFrameTest, ShortBodiesAreTruncated) {
  auto decode = [](const Bytes& b) { return VideoFrame::decode(b); };
  Bytes header(13, 0);  // the count byte is missing
  expectTruncated(decode, header);
  // One parameter set announcing five bytes with three left.
  expectTruncated(decode, concat(Bytes(13, 0), Bytes{1, 0, 5, 1, 2, 3}));
  // Two announced, one present.
  expectTruncated(decode, concat(Bytes(13, 0), Bytes{2, 0, 1, 9}));
}

TEST(VideoFrameTest, FlagBits) {
  struct Case {
    std::uint8_t flags;
    bool keyframe;
    VideoCodec codec;
  };
  for (auto c : {Case{0x03, true, VideoCodec::h264}, Case{0x00, false, VideoCodec::hevc},
                 Case{0xFC, false, VideoCodec::hevc}, Case{0x01, true, VideoCodec::hevc},
                 Case{0x02, false, VideoCodec::h264}}) {
    Bytes body(14, 0);
    body[0] = c.flags;
    auto frame = VideoFrame::decode(body);
    EXPECT_EQ(frame.isKeyframe, c.keyframe) << int(c.flags);
    EXPECT_EQ(frame.codec, c.codec) << int(c.flags);
  }
}

TEST(AudioFrameTest, FiveBytesDecodeWithEmptyPcmFourAreTruncated) {
  auto frame = AudioFrame::decode(Bytes{0, 0, 0xBB, 0x80, 2});
  EXPECT_EQ(frame.sampleRate, 48000u);
  EXPECT_EQ(frame.channels, 2);
  EXPECT_TRUE(frame.pcm.empty());
  expectTruncated([](const Bytes& b) { return AudioFrame::decode(b); }, Bytes{0, 0, 0xBB, 0x80});

  AudioFrame full{.sampleRate = 44100, .channels = 1, .pcm = {1, 2, 3, 4}};
  EXPECT_EQ(hexString(full.encoded()), "0000ac440101020304");
  EXPECT_EQ(AudioFrame::decode(full.encoded()), full);
}

}  // namespace
}  // namespace ombrel
