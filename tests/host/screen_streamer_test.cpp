#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <ostream>
#include <thread>

#include "Ombrel_Remote_Host/audio/fake/fake_audio_capturer.h"
#include "Ombrel_Remote_Host/screen/fake/fake_screen_capturer.h"
#include "Ombrel_Remote_Host/stream/screen_streamer.h"
#include "Ombrel_Remote_Host/video/fake/fake_video_encoder_backend.h"
#include "base/clock.h"
#include "base/runtime.h"
#include "support/mailbox.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using Completion = std::optional<NVError>;

// Waits for something another thread does; the limit only stops a broken test from hanging.
template <typename Predicate>
bool eventually(Predicate predicate) {
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class ScreenStreamerTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t display = 7;

  std::shared_ptr<ScreenStreamer> make(FakeVideoEncoderScript script = {}) {
    ScreenStreamer::Environment environment{
        .openCapturer = [this](std::uint32_t id) -> std::unique_ptr<ScreenCapturer> {
          std::lock_guard lock(mutex_);
          ++opens_;
          if (id != display || displayGone_) return nullptr;
          auto capturer = std::make_unique<FakeScreenCapturer>(DisplayRect{id, 0, 0, 64, 48});
          capturer->setFailGrabs(failScreenshots_);
          // The first one is the stream's; later ones take screenshots.
          if (!stream_) stream_ = capturer.get();
          return capturer;
        },
        .encoders = {fakeVideoEncoderCandidate("fake", true, false, script, record_)},
        .ownWindows = [] { return std::vector<std::uint64_t>{42}; },
        .openAudio = [this]() -> std::shared_ptr<AudioCapturer> {
          std::lock_guard lock(mutex_);
          audio_ = std::make_shared<FakeAudioCapturer>(audioConfig_);
          return audio_;
        }};
    auto streamer = ScreenStreamer::create(runtime_, environment);
    streamer->onVideo = [this](VideoFrame frame) { frames_.put(std::move(frame)); };
    streamer->onStopped = [this](Completion error) { stops_.put(std::move(error)); };
    return streamer;
  }

  Completion start(const std::shared_ptr<ScreenStreamer>& streamer, std::uint32_t id = display,
                   bool audio = false) {
    test::Mailbox<Completion> done;
    streamer->start(id, 64, 48, 60, 4000, VideoCodec::h264, audio,
                    [&](Completion error) { done.put(std::move(error)); });
    auto result = done.take();
    EXPECT_TRUE(result.has_value());
    return result.value_or(NVError::closed());
  }

  // The first picture comes out, the second reaches the encoder (the second call counted by
  // `sends`), then a third is captured.
  void threePictures(const std::atomic<int>& sends) {
    stream()->script({CaptureResult::ok, 0x00112233});
    ASSERT_TRUE(frames_.take());
    stream()->script({CaptureResult::ok, 0x00445566});
    ASSERT_TRUE(eventually([&] { return sends == 2; }));
    stream()->script({CaptureResult::ok, 0x00778899});
  }

  // An encoder that keeps the second picture (the second send, counted by `sends`) until the
  // test sets `release_`.
  FakeVideoEncoderScript holdingSecondPicture(std::atomic<int>& sends) {
    FakeVideoEncoderScript script;
    script.beforeSend = [&sends, released = released_] {
      if (++sends == 2) released.wait();
    };
    return script;
  }

  // Moves the clock one refinement tick at a time until a frame comes out. A tick that finds
  // the encoder still busy keeps its refinement for a later tick, so one big step could leave
  // the refinement waiting for a tick that never comes.
  bool nextRefinement() {
    for (int tick = 0; tick < 50; ++tick) {
      clock_->advance(0.12);
      if (frames_.take(100ms)) return true;
    }
    return false;
  }

  FakeScreenCapturer* stream() {
    std::lock_guard lock(mutex_);
    return stream_;
  }
  std::shared_ptr<FakeAudioCapturer> audio() {
    std::lock_guard lock(mutex_);
    return audio_;
  }

  std::shared_ptr<ManualClock> clock_ = std::make_shared<ManualClock>();
  std::shared_ptr<FakeVideoEncoderRecord> record_ = std::make_shared<FakeVideoEncoderRecord>();
  test::Mailbox<VideoFrame> frames_;
  test::Mailbox<Completion> stops_;
  std::mutex mutex_;
  FakeScreenCapturer* stream_ = nullptr;
  int opens_ = 0;
  bool displayGone_ = false;
  bool failScreenshots_ = false;
  std::shared_ptr<FakeAudioCapturer> audio_;
  FakeAudioCapturer::Config audioConfig_;
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
  // Counts the encoder's sends; the encoder's thread may still send while the streamer winds down.
  std::atomic<int> sends_{0};
  // Last, so it stops first: work still queued when a test ends may call back into the members.
  Runtime runtime_{Runtime::Options{.threads = 2, .clock = clock_}};
};

TEST_F(ScreenStreamerTest, StaticScreenGetsAScreenshotThenExactlyTwoRefinements) {
  auto streamer = make();
  ASSERT_EQ(start(streamer), std::nullopt);
  // The host's own windows reach the capturer.
  EXPECT_TRUE(
      eventually([&] { return stream()->excludedWindows() == std::vector<std::uint64_t>{42}; }));
  clock_->advance(0.39);
  EXPECT_EQ(streamer->encodedFrames(), 0);
  clock_->advance(0.01);
  auto first = frames_.take();
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->isKeyframe);
  EXPECT_EQ(first->width, 64);
  EXPECT_EQ(streamer->encodedFrames(), 1);

  // Timer ticks at 0.25 + n * 0.12; the first more than 0.2 s after the picture is 0.61.
  clock_->advance(0.20);  // 0.60
  EXPECT_EQ(streamer->encodedFrames(), 1);
  clock_->advance(0.01);  // 0.61
  ASSERT_TRUE(frames_.take());
  clock_->advance(0.12);  // 0.73
  ASSERT_TRUE(frames_.take());
  clock_->advance(2.0);
  EXPECT_EQ(streamer->encodedFrames(), 3);
  EXPECT_FALSE(frames_.take(50ms));
  streamer->stop();
}

TEST_F(ScreenStreamerTest, ScreenshotIsTriedThreeTimesAtMost) {
  failScreenshots_ = true;
  auto streamer = make();
  ASSERT_EQ(start(streamer), std::nullopt);
  clock_->advance(0.4);
  clock_->advance(1.0);
  clock_->advance(1.0);
  clock_->advance(5.0);
  std::lock_guard lock(mutex_);
  EXPECT_EQ(opens_, 1 + 3);
  EXPECT_EQ(streamer->encodedFrames(), 0);
}

TEST_F(ScreenStreamerTest, CompleteFramesPassTheInFlightGateAndTheSkipTest) {
  std::atomic<int> sends{0};
  auto streamer = make(holdingSecondPicture(sends));
  bool skip = false;
  std::mutex skipLock;
  streamer->shouldSkipFrame = [&] {
    std::lock_guard lock(skipLock);
    return skip;
  };
  ASSERT_EQ(start(streamer), std::nullopt);

  threePictures(sends);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(eventually([&] { return streamer->skippedByEncoder() == 1; }));
  release_.set_value();
  ASSERT_TRUE(frames_.take());

  {
    std::lock_guard lock(skipLock);
    skip = true;
  }
  stream()->script({CaptureResult::ok, 0x00AABBCC});
  ASSERT_TRUE(eventually([&] { return streamer->skippedFrames() == 1; }));
  EXPECT_EQ(streamer->encodedFrames(), 2);
  {
    std::lock_guard lock(skipLock);
    skip = false;
  }
  // The newest picture has its two refinements pending: they go out once the path is free.
  ASSERT_TRUE(nextRefinement());
  ASSERT_TRUE(nextRefinement());
  EXPECT_EQ(streamer->encodedFrames(), 4);
  streamer->stop();
}

// Each picture is copied out of the capturer, 8 MiB at 1080p: the copies are reused once
// released, and a copy the encoder still holds is never written over.
TEST_F(ScreenStreamerTest, EveryPictureKeepsItsPixelsWhileTheEncoderHoldsAnother) {
  std::atomic<int> sends{0};
  auto streamer = make(holdingSecondPicture(sends));
  ASSERT_EQ(start(streamer), std::nullopt);
  threePictures(sends);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(eventually([&] { return streamer->skippedByEncoder() == 1; }));
  // More pictures while the second is held: none may land in its memory, nor it in theirs.
  stream()->script({CaptureResult::ok, 0x00010203});
  ASSERT_TRUE(eventually([&] { return stream()->captures() >= 4; }));
  release_.set_value();
  ASSERT_TRUE(frames_.take());
  ASSERT_TRUE(nextRefinement());
  std::vector<std::uint32_t> sent = {0x00112233, 0x00445566, 0x00010203};
  for (std::uint32_t colour = 1; colour <= 20; ++colour) {
    stream()->script({CaptureResult::ok, colour});
    ASSERT_TRUE(frames_.take());
    sent.push_back(colour);
  }
  streamer->stop();

  std::vector<std::uint32_t> seen;
  {
    std::lock_guard lock(record_->lock);
    for (const auto& picture : record_->pictures) seen.push_back(picture.firstPixel);
  }
  EXPECT_EQ(seen, sent);
}

// The encoder loses the second picture after accepting it.
struct LostPicture {
  const char* name;
  FakeVideoEncoderScript script;
  friend void PrintTo(const LostPicture& param, std::ostream* os) { *os << param.name; }
};

class ScreenStreamerLostPictureTest : public ScreenStreamerTest,
                                      public ::testing::WithParamInterface<LostPicture> {};

TEST_P(ScreenStreamerLostPictureTest, DoesNotFreezeTheStream) {
  FakeVideoEncoderScript script = GetParam().script;
  script.beforeSend = [this] { ++sends_; };
  auto streamer = make(script);
  ASSERT_EQ(start(streamer), std::nullopt);
  threePictures(sends_);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_TRUE(
      eventually([&] { return streamer->encodedFrames() + streamer->skippedByEncoder() == 3; }));
  // Whether the newest picture met the gate open or was left to the refinements, it goes out.
  ASSERT_TRUE(nextRefinement());
  EXPECT_GE(streamer->encodedFrames(), 3);
  streamer->stop();
}

INSTANTIATE_TEST_SUITE_P(Encoder, ScreenStreamerLostPictureTest,
                         ::testing::Values(LostPicture{"NeverGivenBack", {.swallowedSends = {1}}},
                                           LostPicture{"ReceiveFails",
                                                       {.receiveStatuses = {0, -5}}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ScreenStreamerTest, StartFailures) {
  auto unknown = make();
  auto error = start(unknown, 99);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->errorDescription(), "找不到螢幕");

  FakeVideoEncoderScript broken;
  broken.openStatus = -22;
  auto noEncoder = make(broken);
  error = start(noEncoder);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->errorDescription(), "無法建立硬體編碼器 (-22)");

  auto stopped = make();
  stopped->stop();
  error = start(stopped);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), std::make_error_code(std::errc::operation_canceled));
}

TEST_F(ScreenStreamerTest, StopDuringStartLeavesNothingRunning) {
  auto streamer = make();
  test::Mailbox<Completion> done;
  // Hold the video queue so that stop() lands between start() and its work.
  std::promise<void> release;
  streamer->videoQueue()->post([&] { release.get_future().wait(); });
  streamer->start(display, 64, 48, 60, 4000, VideoCodec::h264, false,
                  [&](Completion error) { done.put(std::move(error)); });
  streamer->stop();
  release.set_value();
  auto result = done.take();
  ASSERT_TRUE(result && *result);
  EXPECT_EQ((*result)->code(), std::make_error_code(std::errc::operation_canceled));
  clock_->advance(5.0);
  EXPECT_EQ(streamer->encodedFrames(), 0);
}

TEST_F(ScreenStreamerTest, CaptureEndsAreReported) {
  auto streamer = make();
  ASSERT_EQ(start(streamer), std::nullopt);
  stream()->script({CaptureResult::error});
  auto stopped = stops_.take();
  ASSERT_TRUE(stopped && *stopped);
  EXPECT_EQ((*stopped)->code(), std::make_error_code(std::errc::io_error));
  streamer->stop();

  // The display changes and is gone when the capturer is rebuilt.
  auto other = make();
  {
    std::lock_guard lock(mutex_);
    stream_ = nullptr;
  }
  ASSERT_EQ(start(other), std::nullopt);
  {
    std::lock_guard lock(mutex_);
    displayGone_ = true;
  }
  stream()->script({CaptureResult::reinit});
  stopped = stops_.take();
  ASSERT_TRUE(stopped && *stopped);
  EXPECT_EQ((*stopped)->errorDescription(), "找不到螢幕");
  other->stop();
}

TEST_F(ScreenStreamerTest, SoundFollowsTheVideoAndEndsWithIt) {
  // Without audio asked for, no audio capture is opened at all.
  auto silent = make();
  ASSERT_EQ(start(silent), std::nullopt);
  silent->videoQueue()->sync([] {});
  EXPECT_EQ(audio(), nullptr);
  silent->stop();

  auto streamer = make();
  test::Mailbox<AudioFrame> sound;
  streamer->onAudio = [&](AudioFrame frame) { sound.put(std::move(frame)); };
  ASSERT_EQ(start(streamer, display, true), std::nullopt);
  ASSERT_TRUE(eventually([&] { return audio() && audio()->running(); }));
  AudioFrame frame{.sampleRate = 48000, .channels = 2, .pcm = Bytes{1, 0, 2, 0}};
  EXPECT_TRUE(audio()->deliver(frame));
  auto got = sound.take();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->pcm, frame.pcm);
  // The audio server going away leaves the picture alone.
  audio()->serverGone(NVError::invalid("gone"));
  EXPECT_FALSE(stops_.take(50ms));
  streamer->stop();
  EXPECT_EQ(audio()->stopCount(), 1);
  EXPECT_FALSE(audio()->deliver(frame));

  // No audio server: the stream runs without sound.
  audioConfig_.startError = NVError::invalid("無法連接音訊伺服器：");
  auto mute = make();
  mute->onAudio = [&](AudioFrame frame) { sound.put(std::move(frame)); };
  {
    std::lock_guard lock(mutex_);
    stream_ = nullptr;
  }
  ASSERT_EQ(start(mute, display, true), std::nullopt);
  ASSERT_TRUE(eventually([&] { return audio() && audio()->startCount() == 1; }));
  stream()->script({CaptureResult::ok, 0x00112233});
  EXPECT_TRUE(frames_.take());
  mute->stop();
}

TEST(ScreenStreamerCaptureSize, ScalesDownEvenAndNeverUp) {
  DisplayInfo retina{.id = 1, .pixelWidth = 2880, .pixelHeight = 1800};
  EXPECT_EQ(ScreenStreamer::captureSize(retina, 1920, 1080), (StreamPlan::Size{1728, 1080}));
  EXPECT_EQ(ScreenStreamer::captureSize(retina, 4000, 4000), (StreamPlan::Size{2880, 1800}));
  DisplayInfo odd{.id = 2, .pixelWidth = 1001, .pixelHeight = 777};
  EXPECT_EQ(ScreenStreamer::captureSize(odd, 4000, 4000), (StreamPlan::Size{1000, 776}));
}

}  // namespace
}  // namespace ombrel
