#include "Ombrel_Remote_Host/video/video_encoder.h"

#include <gtest/gtest.h>
#include <libyuv/convert_from_argb.h>
#include <libyuv/scale_argb.h>
#include <sched.h>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "OmbrelKit/nv_error.h"
#include "Ombrel_Remote_Host/linux/libav/libav_video_encoder_backend.h"
#include "Ombrel_Remote_Host/video/fake/fake_video_encoder_backend.h"
#include "Ombrel_Remote_Host/video/nal_units.h"
#include "Ombrel_Remote_Host/video/video_frame_packager.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/thread_priority.h"

// libx265 3.5 loses a few small blocks of every encoder it opens (FrameFilter::init); closing the
// encoder through libavcodec does not free them. Not ours to fix; LeakSanitizer reads this list.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace ombrel {
namespace {

// ---- pictures -------------------------------------------------------------------------------

// Smooth gradients with a bright square and a band of stripes that move with `t`: content an
// encoder can code well, so decoded pictures must come close to the source.
PixelBufferRef movingPattern(int width, int height, int t) {
  auto buffer = PixelBuffer::allocate(width, height);
  std::uint8_t* p = buffer->mutableData();
  const int squareX = (t * 7) % (width - width / 5), squareY = (t * 3) % (height - height / 5);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t* px = p + y * buffer->stride + x * 4;
      px[0] = static_cast<std::uint8_t>((x + t * 4) * 255 / (width + 1));   // blue
      px[1] = static_cast<std::uint8_t>((y + t * 2) * 255 / (height + 1));  // green
      px[2] = static_cast<std::uint8_t>(((x + y) / 8 + t) % 2 ? 200 : 60);  // red stripes
      px[3] = 0x5A;  // padding byte: must not matter
      if (x >= squareX && x < squareX + width / 5 && y >= squareY && y < squareY + height / 5) {
        px[0] = px[1] = px[2] = 250;
      }
    }
  }
  return buffer;
}

// The moving pattern with fresh grain on top: the grain cannot be predicted, so how much of
// it survives, and so the frame size, follows the rate control.
PixelBufferRef grainy(int width, int height, int t) {
  auto buffer = std::const_pointer_cast<PixelBuffer>(movingPattern(width, height, t));
  std::mt19937 random(static_cast<unsigned>(t));
  std::uint8_t* p = buffer->mutableData();
  for (std::size_t k = 0; k < buffer->stride * static_cast<std::size_t>(height); ++k) {
    p[k] = static_cast<std::uint8_t>(std::clamp(int(p[k]) + int(random() % 25) - 12, 0, 255));
  }
  return buffer;
}

// The luma plane libyuv makes of a picture (scaled first when asked).
std::vector<std::uint8_t> lumaOf(const PixelBuffer& picture, int width, int height) {
  std::vector<std::uint8_t> scaled;
  const std::uint8_t* pixels = picture.data;
  int stride = static_cast<int>(picture.stride);
  if (picture.width != width || picture.height != height) {
    scaled.resize(std::size_t(width) * height * 4);
    libyuv::ARGBScale(pixels, stride, int(picture.width), int(picture.height), scaled.data(),
                      width * 4, width, height, libyuv::kFilterBilinear);
    pixels = scaled.data();
    stride = width * 4;
  }
  std::vector<std::uint8_t> y(std::size_t(width) * height);
  std::vector<std::uint8_t> u(std::size_t(width / 2) * (height / 2)), v(u.size());
  libyuv::ARGBToI420(pixels, stride, y.data(), width, u.data(), width / 2, v.data(), width / 2,
                     width, height);
  return y;
}

double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b) {
  double sum = 0;
  for (std::size_t k = 0; k < a.size(); ++k) sum += (double(a[k]) - b[k]) * (double(a[k]) - b[k]);
  const double mse = sum / double(a.size());
  return mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
}

// ---- stream inspection ----------------------------------------------------------------------

std::vector<int> unitTypes(VideoCodec codec, const VideoFrame& frame) {
  std::vector<int> types;
  const auto units = nal::splitLengthPrefixed(frame.payload);
  if (!units) return {-1};
  for (ByteView unit : *units) types.push_back(nal::unitType(codec, unit));
  return types;
}

bool hasIdr(VideoCodec codec, const VideoFrame& frame) {
  for (int type : unitTypes(codec, frame)) {
    if (nal::isIdr(codec, type)) return true;
  }
  return false;
}

// Reads unsigned Exp-Golomb codes and bits from an RBSP (emulation bytes are rare this early in
// a parameter set and do not occur in the ones tested here).
struct BitReader {
  ByteView data;
  std::size_t bit = 0;
  int u(int n) {
    int v = 0;
    for (int k = 0; k < n; ++k, ++bit) v = (v << 1) | ((data[bit / 8] >> (7 - bit % 8)) & 1);
    return v;
  }
  int ue() {
    int zeros = 0;
    while (u(1) == 0) ++zeros;
    return (1 << zeros) - 1 + u(zeros);
  }
};

// Decodes stream frames with libavcodec, fed as Annex-B the way a client rebuilds them.
class Decoder {
 public:
  explicit Decoder(VideoCodec codec) {
    const AVCodec* decoder =
        avcodec_find_decoder(codec == VideoCodec::h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_HEVC);
    context_ = avcodec_alloc_context3(decoder);
    context_->thread_count = 1;
    EXPECT_EQ(avcodec_open2(context_, decoder, nullptr), 0);
    frame_ = av_frame_alloc();
    packet_ = av_packet_alloc();
  }
  ~Decoder() {
    av_packet_free(&packet_);
    av_frame_free(&frame_);
    avcodec_free_context(&context_);
  }

  // The decoded luma plane, or empty when the decoder gave no picture.
  std::vector<std::uint8_t> decode(const VideoFrame& frame) {
    std::vector<Bytes> units = frame.parameterSets;
    const auto payload = nal::splitLengthPrefixed(frame.payload);
    if (!payload) return {};
    for (ByteView unit : *payload) units.emplace_back(unit.begin(), unit.end());
    Bytes annexB = nal::toAnnexB(units);
    packet_->data = annexB.data();
    packet_->size = static_cast<int>(annexB.size());
    if (avcodec_send_packet(context_, packet_) < 0) return {};
    if (avcodec_receive_frame(context_, frame_) < 0) return {};
    std::vector<std::uint8_t> y(std::size_t(frame_->width) * frame_->height);
    for (int row = 0; row < frame_->height; ++row) {
      std::copy_n(frame_->data[0] + row * frame_->linesize[0], frame_->width,
                  y.begin() + std::ptrdiff_t(row) * frame_->width);
    }
    av_frame_unref(frame_);
    return y;
  }

 private:
  AVCodecContext* context_ = nullptr;
  AVFrame* frame_ = nullptr;
  AVPacket* packet_ = nullptr;
};

// Collects what an encoder emits; the encoder calls in from its output thread.
struct Collector {
  std::mutex lock;
  std::condition_variable changed;
  std::vector<VideoFrame> frames;
  void attach(VideoEncoder& encoder) {
    encoder.onFrame = [this](VideoFrame frame) {
      std::lock_guard guard(lock);
      frames.push_back(std::move(frame));
      changed.notify_all();
    };
  }
  // The limit only stops a broken test hanging.
  bool waitFor(std::size_t count) {
    std::unique_lock guard(lock);
    return changed.wait_for(guard, std::chrono::seconds(60),
                            [&] { return frames.size() >= count; });
  }
};

std::string failureText(const std::function<void()>& create) {
  try {
    create();
  } catch (const NVError& error) {
    EXPECT_EQ(error.kind(), NVError::Kind::invalid);
    return error.errorDescription();
  }
  return "no error";
}

// ---- the real encoders ----------------------------------------------------------------------

class RealEncoderTest : public ::testing::TestWithParam<VideoCodec> {};

TEST_P(RealEncoderTest, KeyFramesParameterSetsAndPicturesSurviveTheRoundTrip) {
  const VideoCodec codec = GetParam();
  constexpr int width = 640, height = 360, count = 10, forcedAt = 6;
  VideoEncoder encoder(width, height, 60, 4000, codec);
  // No GPU here: the chooser must have come down to the software encoder.
  EXPECT_EQ(encoder.encoderName(), codec == VideoCodec::h264 ? "libx264" : "libx265");
  EXPECT_FALSE(encoder.lowLatencyMode());
  Collector out;
  out.attach(encoder);
  std::vector<PixelBufferRef> sources;
  for (int t = 0; t < count; ++t) {
    sources.push_back(movingPattern(width, height, t));
    if (t == forcedAt) encoder.forceKey = true;
    encoder.encode(sources.back(), 1000 + t * 16'667);
  }
  encoder.invalidate();
  EXPECT_EQ(encoder.inFlight(), 0);
  ASSERT_EQ(out.frames.size(), std::size_t(count));

  const std::vector<int> setTypes =
      codec == VideoCodec::h264 ? std::vector<int>{7, 8} : std::vector<int>{32, 33, 34};
  Decoder decoder(codec);
  for (int t = 0; t < count; ++t) {
    SCOPED_TRACE("frame " + std::to_string(t));
    const VideoFrame& frame = out.frames[std::size_t(t)];
    const bool key = t == 0 || t == forcedAt;
    EXPECT_EQ(frame.isKeyframe, key);
    EXPECT_EQ(hasIdr(codec, frame), key);
    EXPECT_EQ(frame.codec, codec);
    EXPECT_EQ(frame.ptsMicros, std::uint64_t(1000 + t * 16'667));
    EXPECT_EQ(frame.width, width);
    EXPECT_EQ(frame.height, height);
    std::vector<int> types;
    for (const Bytes& set : frame.parameterSets) types.push_back(nal::unitType(codec, set));
    EXPECT_EQ(types, key ? setTypes : std::vector<int>{});
    // Every byte is covered by a length prefix; no SEI, delimiter or parameter set is left in.
    for (int type : unitTypes(codec, frame)) {
      EXPECT_GE(type, 0);
      EXPECT_FALSE(nal::isDropped(codec, type)) << type;
      EXPECT_FALSE(nal::parameterSetSlot(codec, type)) << type;
    }
    const auto decoded = decoder.decode(frame);
    ASSERT_FALSE(decoded.empty());
    EXPECT_GT(psnr(decoded, lumaOf(*sources[std::size_t(t)], width, height)), 30.0);
  }

  // The forced key frame starts a stream of its own: a new decoder needs nothing before it.
  Decoder late(codec);
  for (int t = forcedAt; t < count; ++t) {
    const auto decoded = late.decode(out.frames[std::size_t(t)]);
    ASSERT_FALSE(decoded.empty()) << t;
    EXPECT_GT(psnr(decoded, lumaOf(*sources[std::size_t(t)], width, height)), 30.0) << t;
  }
}

TEST_P(RealEncoderTest, ProfileIsHighWithCabacOrMain) {
  const VideoCodec codec = GetParam();
  VideoEncoder encoder(320, 240, 30, 1000, codec);
  Collector out;
  out.attach(encoder);
  encoder.encode(movingPattern(320, 240, 0), 0);
  encoder.invalidate();
  ASSERT_EQ(out.frames.size(), 1u);
  const auto& sets = out.frames[0].parameterSets;
  if (codec == VideoCodec::h264) {
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0][1], 100) << "profile_idc of High";
    BitReader pps{ByteView(sets[1]).subspan(1)};
    pps.ue();  // pic_parameter_set_id
    pps.ue();  // seq_parameter_set_id
    EXPECT_EQ(pps.u(1), 1) << "entropy_coding_mode_flag (CABAC)";
  } else {
    ASSERT_EQ(sets.size(), 3u);
    // After the two header bytes: VPS id, sub-layer count, nesting flag, then profile space,
    // tier and general_profile_idc.
    EXPECT_EQ(sets[1][3] & 0x1F, 1) << "general_profile_idc of Main";
  }
}

TEST_P(RealEncoderTest, BitRateChangesMoveFrameSizesTheSameWay) {
  const VideoCodec codec = GetParam();
  constexpr int width = 480, height = 272, perPhase = 36;
  auto clock = std::make_shared<ManualClock>();
  VideoEncoder encoder(width, height, 30, 3000, codec, platformVideoEncoderCandidates(codec),
                       clock);
  Collector out;
  out.attach(encoder);
  const std::int64_t phases[] = {3000, 300, 3000};
  unsigned seed = 1;
  for (std::size_t phase = 0; phase < std::size(phases); ++phase) {
    if (phase > 0) {
      // Past the spacing of reopens, so that libx265 takes every change; the encoder reads the
      // clock on its own thread, so it must have caught up first.
      ASSERT_TRUE(out.waitFor(phase * perPhase));
      clock->advance(VideoEncoder::minReopenInterval);
      encoder.bitrateKbps = phases[phase];
      encoder.applyBitrate();
    }
    for (int k = 0; k < perPhase; ++k, ++seed)
      encoder.encode(grainy(width, height, int(seed)), seed);
  }
  encoder.invalidate();
  ASSERT_EQ(out.frames.size(), std::size(phases) * perPhase);
  // libx264 takes the new rate while running, with no key frame; libx265 (through libavcodec) is
  // reopened, so its first frame after each change is a key frame, and no other is.
  EXPECT_EQ(encoder.encoderName() == "libx265", codec == VideoCodec::hevc);
  for (std::size_t k = 1; k < out.frames.size(); ++k) {
    const bool reopened = codec == VideoCodec::hevc && k % perPhase == 0;
    EXPECT_EQ(out.frames[k].isKeyframe, reopened) << k;
  }
  // Average size of each phase's second half of non-key frames, once the rate control settled.
  auto averageSize = [&](std::size_t phase) {
    double sum = 0;
    int n = 0;
    for (int k = perPhase / 2; k < perPhase; ++k) {
      const VideoFrame& frame = out.frames[phase * perPhase + std::size_t(k)];
      if (frame.isKeyframe) continue;
      sum += double(frame.payload.size());
      ++n;
    }
    return sum / n;
  };
  const double high = averageSize(0), low = averageSize(1), highAgain = averageSize(2);
  EXPECT_LT(low, high / 2) << high << " -> " << low;
  EXPECT_GT(highAgain, 2 * low) << low << " -> " << highAgain;
  // 3000 kbit/s at 30 fps is 12,500 bytes a frame; the cap is 1.5 times the rate per second.
  EXPECT_LT(high, 12'500 * 1.5);
  EXPECT_LT(highAgain, 12'500 * 1.5);
}

// The process's threads with their nice value and, for a real-time one, its SCHED_RR priority.
std::map<std::string, ThreadPriority> threadPriorities() {
  std::map<std::string, ThreadPriority> threads;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream in(task.path() / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;  // ended meanwhile
    // After the name: state is field 3; nice is 19, rt_priority 40, policy 41.
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
    if (f.size() < 39) continue;
    const int nice = std::stoi(f[16]), realtime = std::stoi(f[37]), policy = std::stoi(f[38]);
    ThreadPriority priority;
    // A thread below normal keeps its positive nice value in `value`, so it shows.
    if (policy == SCHED_RR)
      priority = {.kind = ThreadPriority::Kind::realtime, .value = realtime};
    else if (policy == SCHED_OTHER)
      priority = {nice < 0 ? ThreadPriority::Kind::nice : ThreadPriority::Kind::normal, nice};
    else
      priority.value = 1000 + policy;
    threads[task.path().filename()] = priority;
  }
  return threads;
}

// The codec's workers do most of the encoding, and libx265 starts new ones each time it reopens
// for a new rate, from the encoder's thread: those must be raised like the first ones.
TEST_P(RealEncoderTest, EveryThreadTheEncoderStartsRunsRaisedAcrossReopens) {
  const PriorityLimits limits = PriorityLimits::current();
  const ThreadPriority workers = plannedPriority(ThreadRole::codecWorkers, limits);
  if (workers.kind == ThreadPriority::Kind::normal) GTEST_SKIP() << "no raise allowed here";
  const VideoCodec codec = GetParam();
  auto clock = std::make_shared<ManualClock>();
  const auto before = threadPriorities();
  VideoEncoder encoder(320, 240, 30, 2000, codec, platformVideoEncoderCandidates(codec), clock);
  Collector out;
  out.attach(encoder);
  encoder.encode(movingPattern(320, 240, 0), 0);
  ASSERT_TRUE(out.waitFor(1));
  clock->advance(VideoEncoder::minReopenInterval);
  encoder.bitrateKbps = 500;
  encoder.applyBitrate();
  encoder.encode(movingPattern(320, 240, 1), 33'333);
  ASSERT_TRUE(out.waitFor(2));
  // After a reopen (hevc) the key frame shows the new encoder made the second picture.
  EXPECT_EQ(out.frames[1].isKeyframe, codec == VideoCodec::hevc);
  const ThreadPriority own = plannedPriority(ThreadRole::encoder, limits);
  // libx265's pool workers lower themselves by 10 nice steps as they start (nice(10)).
  const ThreadPriority pool = ThreadPriority{
      workers.value + 10 < 0 ? ThreadPriority::Kind::nice : ThreadPriority::Kind::normal,
      workers.value + 10};
  int started = 0;
  for (const auto& [tid, priority] : threadPriorities()) {
    if (before.contains(tid)) continue;
    ++started;
    // The encoder's own thread, if the kernel gave it real time, or a worker.
    EXPECT_TRUE(priority == workers || (codec == VideoCodec::hevc && priority == pool) ||
                (own.kind == ThreadPriority::Kind::realtime && priority == own))
        << "thread " << tid << " at " << describe(priority);
  }
  EXPECT_GT(started, 1);  // the encoder's thread and at least one worker
  encoder.invalidate();
}

TEST_P(RealEncoderTest, ScalesPicturesToTheEncodedSize) {
  const VideoCodec codec = GetParam();
  VideoEncoder encoder(320, 180, 30, 2000, codec);
  Collector out;
  out.attach(encoder);
  const PixelBufferRef source = movingPattern(1280, 720, 3);
  encoder.encode(source, 0);
  encoder.invalidate();
  ASSERT_EQ(out.frames.size(), 1u);
  Decoder decoder(codec);
  const auto decoded = decoder.decode(out.frames[0]);
  ASSERT_EQ(decoded.size(), 320u * 180u);
  EXPECT_GT(psnr(decoded, lumaOf(*source, 320, 180)), 28.0);
}

// A capturer's pictures, each the one before with a few rectangles repainted, are converted
// only where they changed since the picture converted last: pictures the streamer skipped and
// a reopen for a new rate (which starts from a fresh input picture) included. The encoder must
// get exactly the input whole pictures give it, so it codes the very same bytes.
TEST_P(RealEncoderTest, ConvertingOnlyWhatChangedCodesTheSameBytesAsWholePictures) {
  const VideoCodec codec = GetParam();
  constexpr int width = 320, height = 240, count = 14;
  auto changes = std::make_shared<PictureChanges>();
  PixelBufferRef first = movingPattern(width, height, 0);
  std::vector<std::uint8_t> screen(first->data, first->data + first->stride * height);
  std::vector<PixelBufferRef> numbered, alone;
  std::mt19937 random(11);
  for (int t = 1; t <= count; ++t) {
    std::vector<PixelRect> rects;
    for (int k = 0; k < 3 && t > 1; ++k) {
      // Odd places and sizes: the conversion must widen them to whole chroma blocks.
      PixelRect r{std::int64_t(random() % 300), std::int64_t(random() % 220),
                  std::int64_t(1 + random() % 19), std::int64_t(1 + random() % 19)};
      const auto colour = static_cast<std::uint32_t>(random());
      for (std::int64_t y = r.y; y < r.y + r.height; ++y) {
        for (std::int64_t x = r.x; x < r.x + r.width; ++x) {
          std::memcpy(&screen[std::size_t(y * width + x) * 4], &colour, 4);
        }
      }
      rects.push_back(r);
    }
    changes->record(std::uint64_t(t), t == 1 ? std::nullopt : std::optional(rects));
    auto picture = PixelBuffer::allocate(width, height);
    std::memcpy(picture->mutableData(), screen.data(), screen.size());
    alone.push_back(picture);
    auto copy = std::make_shared<PixelBuffer>(*picture);
    copy->generation = std::uint64_t(t);
    copy->changes = changes;
    numbered.push_back(copy);
  }

  const auto kind = codec == VideoCodec::h264 ? LibavVideoEncoderBackend::Kind::x264
                                              : LibavVideoEncoderBackend::Kind::x265;
  const std::string name = codec == VideoCodec::h264 ? "libx264" : "libx265";
  const VideoEncoderSettings settings{
      .width = width, .height = height, .bitrateKbps = 800, .codec = codec};
  auto run = [&](const std::vector<PixelBufferRef>& pictures) {
    int status = 0;
    auto backend = LibavVideoEncoderBackend::open(kind, name, settings, status);
    EXPECT_TRUE(backend) << status;
    std::vector<EncodedPacket> packets;
    if (!backend) return packets;
    for (int t = 0; t < count; ++t) {
      if (t == 3 || t == 4 || t == 9) continue;  // dropped at the in-flight gate
      if (t == 7) {
        EXPECT_EQ(backend->setBitrate(400), 0);
      }
      EXPECT_EQ(backend->send(*pictures[std::size_t(t)], 1000 + t * 16'667, false), 0);
      // The streamer's refinement sends the same picture again.
      if (t == 11) {
        EXPECT_EQ(backend->send(*pictures[std::size_t(t)], 1001 + t * 16'667, false), 0);
      }
      EXPECT_EQ(backend->receive(packets), 0);
    }
    EXPECT_EQ(backend->finish(packets), 0);
    return packets;
  };
  const auto expected = run(alone);
  const auto coded = run(numbered);
  ASSERT_EQ(coded.size(), expected.size());
  ASSERT_FALSE(coded.empty());
  for (std::size_t i = 0; i < coded.size(); ++i) {
    EXPECT_TRUE(coded[i].data == expected[i].data) << "packet " << i;
  }
}

TEST_P(RealEncoderTest, HardwareEncodersFailWithoutADeviceAndSoftwareTakesOver) {
  if (std::filesystem::exists("/dev/dri") || std::filesystem::exists("/dev/nvidiactl")) {
    GTEST_SKIP() << "this machine has a GPU device";
  }
  const VideoCodec codec = GetParam();
  const auto candidates = libavVideoEncoderCandidates(codec);
  std::vector<std::string> names;
  for (const auto& candidate : candidates) {
    names.push_back(candidate.name);
    if (!candidate.hardware) continue;
    for (bool lowLatency : {false, true}) {
      int status = 0;
      const auto backend = candidate.open({.width = 320,
                                           .height = 240,
                                           .bitrateKbps = 1000,
                                           .codec = codec,
                                           .lowLatency = lowLatency},
                                          status);
      EXPECT_EQ(backend, nullptr) << candidate.name;
      EXPECT_LT(status, 0) << candidate.name;
    }
  }
  const std::vector<std::string> expected =
      codec == VideoCodec::h264 ? std::vector<std::string>{"h264_vaapi", "h264_nvenc", "libx264"}
                                : std::vector<std::string>{"hevc_vaapi", "hevc_nvenc", "libx265"};
  EXPECT_EQ(names, expected);
  const VideoEncoderChoice choice = chooseVideoEncoder(
      candidates, {.width = 320, .height = 240, .bitrateKbps = 1000, .codec = codec});
  EXPECT_EQ(choice.name, names.back());
  EXPECT_FALSE(choice.lowLatencyMode);
}

INSTANTIATE_TEST_SUITE_P(Codecs, RealEncoderTest,
                         ::testing::Values(VideoCodec::h264, VideoCodec::hevc),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

TEST(VideoEncoderTest, RejectsSizesAStreamFrameCannotCarry) {
  for (const auto& size : {std::pair{0, 240}, std::pair{320, -2}, std::pair{65536, 240}}) {
    EXPECT_EQ(
        failureText([&] { VideoEncoder(size.first, size.second, 60, 1000, VideoCodec::h264); }),
        "無法建立硬體編碼器 (-22)");
  }
}

// ---- the chooser and the encoder's own logic, over scriptable encoders -----------------------

struct ChooserCase {
  const char* name;
  int vaapi;
  int nvenc;
  std::optional<int> nvencLowLatency;
  int software;
  std::vector<std::string> opens;
  std::string chosen;  // empty: creation fails
  bool lowLatencyMode;
  std::string failure;
};

class ChooserTest : public ::testing::TestWithParam<ChooserCase> {};

TEST_P(ChooserTest, TriesHardwareThenLowLatencyHardwareThenSoftware) {
  const ChooserCase& c = GetParam();
  auto record = std::make_shared<FakeVideoEncoderRecord>();
  // Listed software first: the rounds, not the list, put hardware first.
  const std::vector<VideoEncoderCandidate> candidates = {
      fakeVideoEncoderCandidate("x264", false, false, {.openStatus = c.software}, record),
      fakeVideoEncoderCandidate("vaapi", true, false, {.openStatus = c.vaapi}, record),
      fakeVideoEncoderCandidate("nvenc", true, true,
                                {.openStatus = c.nvenc, .lowLatencyOpenStatus = c.nvencLowLatency},
                                record),
  };
  if (c.chosen.empty()) {
    EXPECT_EQ(failureText([&] { VideoEncoder(640, 360, 60, 1000, VideoCodec::h264, candidates); }),
              c.failure);
  } else {
    VideoEncoder encoder(640, 360, 60, 1000, VideoCodec::h264, candidates);
    EXPECT_EQ(encoder.encoderName(), c.chosen);
    EXPECT_EQ(encoder.lowLatencyMode(), c.lowLatencyMode);
  }
  EXPECT_EQ(record->opens, c.opens);
}

const std::vector<std::string> allRounds = {"vaapi lowLatency=0", "nvenc lowLatency=0",
                                            "nvenc lowLatency=1", "x264 lowLatency=0"};

INSTANTIATE_TEST_SUITE_P(
    Cases, ChooserTest,
    ::testing::Values(
        ChooserCase{"FirstHardware", 0, 0, {}, 0, {"vaapi lowLatency=0"}, "vaapi", false, ""},
        ChooserCase{"LowLatencyHardware", -22, -38, 0, 0,
                    std::vector(allRounds.begin(), allRounds.end() - 1), "nvenc", true, ""},
        ChooserCase{"SoftwareLast", -22, -1, {}, 0, allRounds, "x264", false, ""},
        ChooserCase{
            "NothingOpens", -12, -12, {}, -12, allRounds, "", false, "無法建立硬體編碼器 (-12)"},
        ChooserCase{"LastStatusIsReported",
                    -22,
                    -1,
                    {},
                    -2,
                    allRounds,
                    "",
                    false,
                    "無法建立硬體編碼器 (-2)"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ChooserTest, NoCandidatesAtAll) {
  EXPECT_EQ(failureText([] { VideoEncoder(640, 360, 60, 1000, VideoCodec::hevc, {}); }),
            "無法建立硬體編碼器 (-1)");
}

// Holds the fake encoder inside `send` until released, so a test sees pictures in flight.
struct SendGate {
  std::mutex lock;
  std::condition_variable changed;
  int entered = 0;
  bool open = false;

  void pass() {
    std::unique_lock guard(lock);
    ++entered;
    changed.notify_all();
    changed.wait(guard, [&] { return open; });
  }
  void waitEntered(int n) {
    std::unique_lock guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, std::chrono::seconds(10), [&] { return entered >= n; }));
  }
  void release() {
    std::lock_guard guard(lock);
    open = true;
    changed.notify_all();
  }
};

// Collects the encoder's log lines while it lives. The once-per-process line about thread
// priority comes from whichever encoder thread starts first, so which case sees it depends on
// the tests run before in the same process: it is left out.
class LogLines {
 public:
  LogLines()
      : previous_(log::setSink([this](std::string_view text) {
          if (text.starts_with("Ombrel Remote: capture/encoder threads run at ")) return;
          std::lock_guard guard(lock_);
          lines_.emplace_back(text);
        })) {}
  ~LogLines() { log::setSink(std::move(previous_)); }
  std::vector<std::string> taken() {
    std::lock_guard guard(lock_);
    return lines_;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> lines_;
  log::Sink previous_;
};

class FakeEncoderTest : public ::testing::Test {
 protected:
  std::unique_ptr<VideoEncoder> make(FakeVideoEncoderScript script,
                                     VideoCodec codec = VideoCodec::h264) {
    auto encoder = std::make_unique<VideoEncoder>(
        64, 32, 60, 1000, codec,
        std::vector{fakeVideoEncoderCandidate("fake", false, false, std::move(script), record)},
        clock);
    out.attach(*encoder);
    return encoder;
  }
  PixelBufferRef picture() { return movingPattern(64, 32, 0); }
  // Waits until the fake has been asked for `call`; the limit only stops a broken test hanging.
  bool waitForCall(const std::string& call) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (;;) {
      const auto calls = record->callList();
      if (std::find(calls.begin(), calls.end(), call) != calls.end()) return true;
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  std::shared_ptr<FakeVideoEncoderRecord> record = std::make_shared<FakeVideoEncoderRecord>();
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  Collector out;
};

TEST_F(FakeEncoderTest, KeyFramesComeFirstAndWhenAskedWithTheHeadersSets) {
  const Bytes sps = {0x67, 0x64, 0x00, 0x1F}, pps = {0x68, 0xEE, 0x3C, 0x80};
  auto encoder = make({.header = nal::toAnnexB({sps, pps})});
  for (int t = 0; t < 4; ++t) {
    if (t == 2) encoder->forceKey = true;
    encoder->encode(picture(), t);
  }
  encoder->invalidate();
  EXPECT_EQ(record->callList(),
            (std::vector<std::string>{"send 0 key=1 64x32", "send 1 key=0 64x32",
                                      "send 2 key=1 64x32", "send 3 key=0 64x32", "finish"}));
  ASSERT_EQ(out.frames.size(), 4u);
  for (int t = 0; t < 4; ++t) {
    const VideoFrame& frame = out.frames[std::size_t(t)];
    const bool key = t % 2 == 0;
    EXPECT_EQ(frame.isKeyframe, key) << t;
    EXPECT_EQ(frame.parameterSets, (key ? std::vector<Bytes>{sps, pps} : std::vector<Bytes>{}));
    // The delimiter and SEI of the fake's packets are gone; only the slice is left.
    EXPECT_EQ(unitTypes(VideoCodec::h264, frame), std::vector<int>{key ? 5 : 1}) << t;
    EXPECT_EQ(frame.ptsMicros, std::uint64_t(t));
  }
}

TEST_F(FakeEncoderTest, AFailedPictureLeavesNothingInFlightAndPassesItsKeyFrameOn) {
  auto encoder = make({.sendStatuses = {0, -5}});
  encoder->encode(picture(), 10);
  encoder->forceKey = true;
  encoder->encode(picture(), 11);  // refused by the encoder
  encoder->encode(picture(), 12);
  encoder->invalidate();
  EXPECT_EQ(record->callList(),
            (std::vector<std::string>{"send 10 key=1 64x32", "send 11 key=1 64x32",
                                      "send 12 key=1 64x32", "finish"}));
  ASSERT_EQ(out.frames.size(), 2u);
  EXPECT_TRUE(out.frames[1].isKeyframe);
  EXPECT_EQ(out.frames[1].ptsMicros, 12u);
  EXPECT_EQ(encoder->inFlight(), 0);
}

// An encoder that takes a picture and then fails to give it back, never gives it back, or holds
// it back must not hold the capture's gate shut: a lost picture is dropped (one log line per run
// of failures tells of it) and the key frame asked for goes with the next pictures until one
// comes out.
TEST_F(FakeEncoderTest, APictureAcceptedButNotReturnedDoesNotHoldTheGate) {
  struct Case {
    const char* name;
    FakeVideoEncoderScript script;
    std::int64_t keyAskedAt;
    std::vector<std::pair<std::uint64_t, bool>> frames;  // (pts, key) as they come out
    std::size_t lostLines;
  };
  const Case cases[] = {
      {"receive fails", {.receiveStatuses = {0, -5}}, 11, {{10, true}, {12, true}, {13, false}}, 1},
      {"two in a row fail", {.receiveStatuses = {0, -5, -5}}, 11, {{10, true}, {13, true}}, 1},
      {"two runs of failures",
       {.receiveStatuses = {0, -5, 0, -5}},
       11,
       {{10, true}, {12, true}},
       2},
      {"nothing comes out", {.swallowedSends = {1}}, 11, {{10, true}, {12, true}, {13, false}}, 0},
      // An older picture coming out is not the key frame that was asked for.
      {"held back, then the key picture is lost",
       {.swallowedSends = {2}, .heldSends = {1}},
       12,
       {{10, true}, {11, false}, {13, true}},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    record = std::make_shared<FakeVideoEncoderRecord>();
    out.frames.clear();
    LogLines lines;
    auto encoder = make(c.script);
    for (std::int64_t pts = 10; pts < 14; ++pts) {
      if (pts == c.keyAskedAt) encoder->forceKey = true;
      encoder->encode(picture(), pts);
      if (pts != 11) continue;
      // Rate changes keep their place among pictures: once the encoder reaches this one, it is
      // done with the pictures before it, and the gate is open again.
      encoder->applyBitrate();
      ASSERT_TRUE(waitForCall("bitrate 1000"));
      EXPECT_EQ(encoder->inFlight(), 0);
    }
    encoder->invalidate();

    std::vector<std::pair<std::uint64_t, bool>> frames;
    for (const VideoFrame& frame : out.frames) {
      frames.emplace_back(frame.ptsMicros, frame.isKeyframe);
    }
    EXPECT_EQ(frames, c.frames);
    EXPECT_EQ(encoder->inFlight(), 0);
    std::vector<std::string> expectedLines = {"Ombrel Remote: video encoder fake 64x32"};
    expectedLines.insert(expectedLines.end(), c.lostLines,
                         "Ombrel Remote: fake lost a picture (-5)");
    EXPECT_EQ(lines.taken(), expectedLines);
  }
}

TEST_F(FakeEncoderTest, CountsPicturesInFlightUntilTheyComeOut) {
  SendGate gate;
  auto encoder = make({.beforeSend = [&] { gate.pass(); }});
  EXPECT_EQ(encoder->inFlight(), 0);
  encoder->encode(picture(), 1);
  gate.waitEntered(1);
  EXPECT_EQ(encoder->inFlight(), 1);
  encoder->encode(picture(), 2);
  EXPECT_EQ(encoder->inFlight(), 2);
  gate.release();
  encoder->invalidate();  // completes both before returning
  EXPECT_EQ(out.frames.size(), 2u);
  EXPECT_EQ(encoder->inFlight(), 0);
}

TEST_F(FakeEncoderTest, BitRateChangesKeepTheirPlaceAmongPicturesAndTeardownEndsEverything) {
  auto encoder = make({});
  encoder->encode(picture(), 1);
  encoder->bitrateKbps = 2500;
  encoder->applyBitrate();
  encoder->encode(movingPattern(128, 64, 0), 2);  // scaled by the backend, passed as is
  encoder->invalidate();
  encoder->encode(picture(), 3);
  encoder->applyBitrate();
  encoder->invalidate();
  EXPECT_EQ(record->callList(), (std::vector<std::string>{"send 1 key=1 64x32", "bitrate 2500",
                                                          "send 2 key=0 128x64", "finish"}));
  EXPECT_EQ(out.frames.size(), 2u);
}

// An encoder that changes its rate in place takes every change at once and sends no key frame
// for it. One that must reopen (a key frame each time) takes at most one change per interval,
// counted from its opening and from its last reopen: later changes wait for the first picture
// past the interval, the latest wins, and one that brings back the running rate costs nothing.
TEST_F(FakeEncoderTest, RateChangesCostNoKeyFrameInPlaceAndAreSpacedOutWhereTheEncoderReopens) {
  constexpr double interval = VideoEncoder::minReopenInterval;
  struct Step {
    enum { rate, picture, wait } kind;
    double value;  // kbit/s, presentation time, or seconds
  };
  struct Case {
    const char* name;
    bool reopens;
    std::vector<Step> steps;
    std::vector<std::string> calls;        // after the first send
    std::vector<std::uint64_t> keyFrames;  // presentation times
  };
  const Case cases[] = {
      {"in place: at once, no key frame",
       false,
       {{Step::rate, 2000}, {Step::picture, 2}, {Step::rate, 500}, {Step::picture, 3}},
       {"bitrate 2000", "send 2 key=0 64x32", "bitrate 500", "send 3 key=0 64x32"},
       {1}},
      {"reopening: held until the interval is over, the latest wins",
       true,
       {{Step::wait, 1},
        {Step::rate, 2000},
        {Step::picture, 2},
        {Step::rate, 1500},
        {Step::wait, interval - 1},
        {Step::picture, 3}},
       {"send 2 key=0 64x32", "bitrate 1500", "send 3 key=0 64x32"},
       {1, 3}},
      {"reopening: the interval counts again from the last reopen",
       true,
       {{Step::wait, interval},
        {Step::rate, 2000},
        {Step::picture, 2},
        {Step::wait, interval / 2},
        {Step::rate, 700},
        {Step::picture, 3},
        {Step::wait, interval / 2},
        {Step::picture, 4}},
       {"bitrate 2000", "send 2 key=0 64x32", "send 3 key=0 64x32", "bitrate 700",
        "send 4 key=0 64x32"},
       {1, 2, 4}},
      {"reopening: back to the running rate before it was taken",
       true,
       {{Step::rate, 2000}, {Step::rate, 1000}, {Step::wait, interval}, {Step::picture, 2}},
       {"send 2 key=0 64x32"},
       {1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    record = std::make_shared<FakeVideoEncoderRecord>();
    clock = std::make_shared<ManualClock>();
    out.frames.clear();
    auto encoder = make({.reopensForBitrate = c.reopens});
    encoder->encode(picture(), 1);
    ASSERT_TRUE(waitForCall("send 1 key=1 64x32"));
    std::string lastSend;
    for (const Step& step : c.steps) {
      switch (step.kind) {
        case Step::rate:
          encoder->bitrateKbps = std::int64_t(step.value);
          encoder->applyBitrate();
          break;
        case Step::picture:
          encoder->encode(picture(), std::int64_t(step.value));
          lastSend = "send " + std::to_string(std::int64_t(step.value)) + " key=0 64x32";
          break;
        case Step::wait:
          // The encoder reads the clock when it reaches a picture: let it reach the last one.
          if (!lastSend.empty()) {
            ASSERT_TRUE(waitForCall(lastSend));
          }
          clock->advance(step.value);
          break;
      }
    }
    encoder->invalidate();
    std::vector<std::string> expected = {"send 1 key=1 64x32"};
    expected.insert(expected.end(), c.calls.begin(), c.calls.end());
    expected.push_back("finish");
    EXPECT_EQ(record->callList(), expected);
    std::vector<std::uint64_t> keys;
    for (const VideoFrame& frame : out.frames) {
      if (frame.isKeyframe) keys.push_back(frame.ptsMicros);
    }
    EXPECT_EQ(keys, c.keyFrames);
  }
}

TEST_F(FakeEncoderTest, NegativeTimesBecomeZero) {
  auto encoder = make({}, VideoCodec::hevc);
  encoder->encode(picture(), -5);
  encoder->invalidate();
  ASSERT_EQ(out.frames.size(), 1u);
  EXPECT_EQ(out.frames[0].ptsMicros, 0u);
  EXPECT_EQ(unitTypes(VideoCodec::hevc, out.frames[0]), std::vector<int>{19});
}

// The debug switch is read once per process, so each value runs in a fresh process of its own.
int debugLinesFor(const char* value) {
  if (value) {
    setenv("NEROVALDE_DEBUG", value, 1);
  } else {
    unsetenv("NEROVALDE_DEBUG");
  }
  std::atomic<int> lines = 0;
  log::setSink([&](std::string_view text) {
    if (text.starts_with("[encoder] lowLatency=0 avg encode ") && text.ends_with(" ms")) ++lines;
  });
  {
    VideoEncoder encoder(64, 32, 60, 1000, VideoCodec::h264,
                         {fakeVideoEncoderCandidate("fake", false, false, {},
                                                    std::make_shared<FakeVideoEncoderRecord>())});
    for (int t = 0; t < 150; ++t) encoder.encode(movingPattern(64, 32, t), t);
  }
  return lines;
}

TEST(VideoEncoderDebugTest, OneLinePerSixtyFramesOnlyWhenTheSwitchIsExactlyOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const std::pair<const char*, int> cases[] = {{"1", 2},    {nullptr, 0}, {"0", 0},
                                               {"true", 0}, {"1 ", 0},    {"", 0}};
  for (auto [value, lines] : cases) {
    EXPECT_EXIT(std::exit(debugLinesFor(value)), ::testing::ExitedWithCode(lines), "")
        << (value ? value : "(unset)");
  }
}

}  // namespace
}  // namespace ombrel
