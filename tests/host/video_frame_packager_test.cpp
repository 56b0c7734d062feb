#include "Ombrel_Remote_Host/video/video_frame_packager.h"

#include <gtest/gtest.h>

#include "Ombrel_Remote_Host/video/nal_units.h"

namespace ombrel {
namespace {

// Bare units with the right header bytes; the bodies end in a stop bit like real ones.
const Bytes sps264 = {0x67, 0x64, 0x00, 0x1F, 0xAC}, pps264 = {0x68, 0xEE, 0x3C, 0x80};
const Bytes vps = {0x40, 0x01, 0x0C, 0x01}, sps265 = {0x42, 0x01, 0x01, 0x60},
            pps265 = {0x44, 0x01, 0xC1, 0x72};

Bytes length16(const Bytes& unit) {
  return concat(Bytes{std::uint8_t(unit.size() >> 8), std::uint8_t(unit.size())}, unit);
}

Bytes avcC(const Bytes& sps, const Bytes& pps) {
  return concat(Bytes{0x01, 0x64, 0x00, 0x1F, 0xFF, 0xE1}, length16(sps), Bytes{0x01},
                length16(pps));
}

Bytes hvcC(const std::vector<Bytes>& units) {
  Bytes out = {0x01};
  out.resize(22, 0);  // profile, tier, level and the rest: not read
  out.push_back(std::uint8_t(units.size()));
  for (const Bytes& unit : units) {
    out.push_back(std::uint8_t(0x80 | ((unit[0] >> 1) & 0x3F)));
    out.insert(out.end(), {0x00, 0x01});
    const Bytes block = length16(unit);
    out.insert(out.end(), block.begin(), block.end());
  }
  return out;
}

Bytes withoutLast(Bytes bytes, std::size_t n) {
  bytes.resize(bytes.size() - n);
  return bytes;
}

struct HeaderCase {
  const char* name;
  VideoCodec codec;
  Bytes header;
  std::vector<Bytes> sets;  // empty: the header is refused
};

class PackagerHeaderTest : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(PackagerHeaderTest, ReadsAnnexBAndConfigurationRecords) {
  const HeaderCase& c = GetParam();
  VideoFramePackager packager(c.codec, 64, 32);
  EXPECT_EQ(packager.setHeader(c.header), !c.sets.empty());
  EXPECT_EQ(packager.parameterSets(), c.sets);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, PackagerHeaderTest,
    ::testing::Values(
        HeaderCase{"H264AnnexB",
                   VideoCodec::h264,
                   // An SEI in the header (x264 writes its version there) is not a set.
                   nal::toAnnexB({sps264, Bytes{0x06, 0x05, 0x80}, pps264}),
                   {sps264, pps264}},
        HeaderCase{"H264Record", VideoCodec::h264, avcC(sps264, pps264), {sps264, pps264}},
        // Out of order in the header, in order on the frame.
        HeaderCase{"HevcAnnexB",
                   VideoCodec::hevc,
                   nal::toAnnexB({sps265, pps265, vps}),
                   {vps, sps265, pps265}},
        HeaderCase{
            "HevcRecord", VideoCodec::hevc, hvcC({vps, sps265, pps265}), {vps, sps265, pps265}},
        HeaderCase{"TruncatedAvcC", VideoCodec::h264, withoutLast(avcC(sps264, pps264), 2), {}},
        HeaderCase{"TruncatedHvcC", VideoCodec::hevc, withoutLast(hvcC({vps}), 1), {}},
        HeaderCase{"NotARecord", VideoCodec::hevc, Bytes{0x02, 0x00}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PackagerTest, PayloadIsLengthPrefixedWithoutSetsSeiOrDelimiters) {
  VideoFramePackager packager(VideoCodec::h264, 1920, 1080);
  packager.setHeader(nal::toAnnexB({sps264, pps264}));
  const Bytes idr = {0x65, 0x88, 0x84, 0x00, 0x21};
  const Bytes newSps = {0x67, 0x64, 0x00, 0x28, 0xAC};
  // In-band sets replace the header's; 3- and 4-byte start codes and trailing zeros mix.
  const Bytes packet =
      concat(Bytes{0, 0, 0, 1, 0x09, 0xF0, 0, 0, 1}, newSps, Bytes{0, 0, 1, 0x06, 0x05, 0x80, 0, 0},
             Bytes{0, 0, 0, 1}, idr, Bytes{0, 0});
  const auto frame = packager.package(packet, true, 42);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->payload, concat(Bytes{0, 0, 0, 5}, idr));
  EXPECT_EQ(frame->parameterSets, (std::vector<Bytes>{newSps, pps264}));
  EXPECT_EQ(frame->ptsMicros, 42u);
  EXPECT_EQ(frame->width, 1920);
  EXPECT_EQ(frame->height, 1080);
  EXPECT_EQ(frame->codec, VideoCodec::h264);

  const Bytes slice = {0x41, 0x9A, 0x02};
  const auto next = packager.package(nal::toAnnexB({slice}), false, 43);
  ASSERT_TRUE(next);
  EXPECT_TRUE(next->parameterSets.empty());
  EXPECT_EQ(next->payload, concat(Bytes{0, 0, 0, 3}, slice));

  // Nothing to show: only a set and an SEI, or not Annex-B at all.
  EXPECT_FALSE(packager.package(nal::toAnnexB({sps264, Bytes{0x06, 0x05, 0x80}}), true, 44));
  EXPECT_FALSE(packager.package(Bytes{0, 0, 0, 3, 0x41, 0x9A, 0x02}, false, 45));
}

TEST(PackagerTest, HevcDropsBothSeiKindsAndTheDelimiter) {
  VideoFramePackager packager(VideoCodec::hevc, 64, 32);
  const Bytes idr = {0x26, 0x01, 0xAF, 0x80}, suffixSei = {0x50, 0x01, 0x05, 0x80};
  const auto frame = packager.package(
      nal::toAnnexB(
          {{0x46, 0x01, 0x50}, vps, sps265, pps265, {0x4E, 0x01, 0x05, 0x80}, idr, suffixSei}),
      true, 0);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->parameterSets, (std::vector<Bytes>{vps, sps265, pps265}));
  EXPECT_EQ(frame->payload, concat(Bytes{0, 0, 0, 4}, idr));
}

TEST(NalUnitsTest, SplittersFindEveryUnitAndRefuseOverruns) {
  EXPECT_TRUE(nal::splitAnnexB({}).empty());
  EXPECT_TRUE(nal::splitAnnexB(Bytes{0, 0, 0, 0}).empty());
  // Leading bytes before the first start code are no unit; an empty unit is skipped.
  const Bytes stream = {7, 7, 0, 0, 1, 0, 0, 1, 0x41, 1, 0, 0, 0, 1, 0x68};
  const auto units = nal::splitAnnexB(stream);
  ASSERT_EQ(units.size(), 2u);
  EXPECT_EQ(Bytes(units[0].begin(), units[0].end()), (Bytes{0x41, 1}));
  EXPECT_EQ(Bytes(units[1].begin(), units[1].end()), Bytes{0x68});

  EXPECT_EQ(nal::splitLengthPrefixed(Bytes{0, 0, 0, 1, 0x41, 0, 0, 0, 0})->size(), 2u);
  EXPECT_FALSE(nal::splitLengthPrefixed(Bytes{0, 0, 0, 2, 0x41}));
  EXPECT_FALSE(nal::splitLengthPrefixed(Bytes{0, 0, 0}));
}

}  // namespace
}  // namespace ombrel
