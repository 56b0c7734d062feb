#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cmath>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Ombrel_Remote_Host/audio/audio_conversion.h"
#include "Ombrel_Remote_Host/audio/fake/fake_audio_capturer.h"
#include "Ombrel_Remote_Host/linux/pulse/pulse_audio_capturer.h"
#include "Ombrel_Remote_Host/screen/fake/fake_screen_capturer.h"
#include "Ombrel_Remote_Host/stream/screen_streamer.h"
#include "Ombrel_Remote_Host/video/fake/fake_video_encoder_backend.h"
#include "host/desktop_peers.h"
#include "support/mailbox.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;

constexpr const char* sinkName = "ombrel_test";

// A private PulseAudio daemon: no configuration file (-n), a float32 48 kHz null sink as the
// default sink and a native-protocol socket in `dir` that needs no cookie. Running as root needs
// nothing more than --system=false (it only warns); HOME, XDG_RUNTIME_DIR and PULSE_RUNTIME_PATH
// point into `dir` so the daemon neither meets a desktop's server nor leaves files behind.
class PulseServer {
 public:
  explicit PulseServer(const std::filesystem::path& dir) : socket_(dir / "native") {
    for (const char* sub : {"home", "run", "state"}) std::filesystem::create_directories(dir / sub);
    std::map<std::string, std::string> env{
        {"HOME", (dir / "home").string()},
        {"XDG_RUNTIME_DIR", (dir / "run").string()},
        {"PULSE_RUNTIME_PATH", (dir / "run").string()},
        {"PULSE_STATE_PATH", (dir / "state").string()},
        {"XDG_CONFIG_HOME", (dir / "home").string()},
        {"DISPLAY", ""},
        {"DBUS_SESSION_BUS_ADDRESS", "disabled:"},
    };
    process_.emplace(
        std::vector<std::string>{
            "pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--system=false",
            "--use-pid-file=false", "--realtime=false", "--high-priority=false", "-n",
            "--log-target=stderr", "-L",
            std::string("module-null-sink sink_name=") + sinkName +
                " format=float32le rate=48000 channels=2",
            "-L", "module-native-protocol-unix auth-anonymous=1 socket=" + socket_.string()},
        ChildProcess::Options{.env = env});
    ready_ = process_->started() && test::waitUntil([&] {
               return std::filesystem::exists(socket_) &&
                      std::system(
                          ("pactl --server=" + address() + " info >/dev/null 2>&1").c_str()) == 0;
             });
  }

  bool ready() const { return ready_; }
  std::string address() const { return "unix:" + socket_.string(); }
  void kill() { process_->stop(0ms); }

 private:
  std::filesystem::path socket_;
  std::optional<ChildProcess> process_;
  bool ready_ = false;
};

std::vector<std::int16_t> samplesOf(const AudioFrame& frame) {
  std::vector<std::int16_t> samples(frame.pcm.size() / 2);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<std::int16_t>(frame.pcm[2 * i] | (frame.pcm[2 * i + 1] << 8));
  }
  return samples;
}

class AudioCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::programExists("pulseaudio") || !test::programExists("pacat")) {
      GTEST_SKIP() << "pulseaudio and pacat (packages pulseaudio, pulseaudio-utils) are needed";
    }
    server_.emplace(home_.root());
    if (!server_->ready()) GTEST_SKIP() << "pulseaudio cannot start in this sandbox";
  }

  std::shared_ptr<PulseAudioCapturer> makeCapturer() {
    return PulseAudioCapturer::create(runtime_, {.server = server_->address()});
  }

  // Starts capturing into frames_ and stopped_.
  std::shared_ptr<PulseAudioCapturer> startCapture() {
    auto capturer = makeCapturer();
    auto error = capturer->start([this](AudioFrame frame) { frames_.put(std::move(frame)); },
                                 [this](const NVError& error) { stopped_.put(error); });
    EXPECT_FALSE(error) << error->errorDescription();
    return capturer;
  }

  // Plays float32 samples (interleaved, `channels` per frame) into the null sink and waits
  // until pacat has drained them.
  void play(const std::vector<float>& samples, int channels) {
    auto file = home_.root() / "signal.raw";
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()),
               static_cast<std::streamsize>(samples.size() * sizeof(float)));
    ChildProcess player({"pacat", "--playback", "--server=" + server_->address(),
                         std::string("--device=") + sinkName, "--raw", "--format=float32le",
                         "--rate=48000", "--channels=" + std::to_string(channels), file.string()},
                        {});
    ASSERT_EQ(player.wait(20s), 0);
  }

  // Left and right of everything captured until `enough` holds for them (or 10 s pass).
  void collect(std::vector<std::int16_t>& left, std::vector<std::int16_t>& right,
               const std::function<bool()>& enough) {
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!enough() && std::chrono::steady_clock::now() < deadline) {
      auto frame = frames_.take(1s);
      if (!frame) continue;
      EXPECT_EQ(frame->sampleRate, 48000u);
      EXPECT_EQ(frame->channels, 2);
      ASSERT_EQ(frame->pcm.size() % 4, 0u);
      // Fragments of about 10 ms; a tenth of a second would mean the request was ignored.
      EXPECT_LE(frame->pcm.size() / 4, 4800u);
      auto samples = samplesOf(*frame);
      for (std::size_t i = 0; i + 1 < samples.size(); i += 2) {
        left.push_back(samples[i]);
        right.push_back(samples[i + 1]);
      }
    }
  }

  test::TempHome home_;
  Runtime runtime_;
  std::optional<PulseServer> server_;
  test::Mailbox<AudioFrame> frames_;
  test::Mailbox<NVError> stopped_;
};

std::size_t firstLoud(const std::vector<std::int16_t>& samples, std::size_t from = 0) {
  for (std::size_t i = from; i < samples.size(); ++i) {
    if (std::abs(samples[i]) > 100) return i;
  }
  return samples.size();
}

TEST_F(AudioCaptureTest, MonoToneComesBackOnBothChannelsWithItsPitchAndLevel) {
  auto capturer = startCapture();
  EXPECT_EQ(capturer->sourceName(), std::string(sinkName) + ".monitor");

  // 0.5 s of a 1 kHz tone at half scale, 0.1 s of silence, 10 ms of full-scale +-1.0, silence.
  constexpr std::size_t toneFrames = 24000;
  std::vector<float> signal;
  for (std::size_t i = 0; i < toneFrames; ++i) {
    signal.push_back(static_cast<float>(0.5 * std::sin(2 * M_PI * 1000.0 * i / 48000.0)));
  }
  signal.resize(signal.size() + 4800, 0.0f);
  for (int i = 0; i < 480; ++i) signal.push_back(i % 2 ? -1.0f : 1.0f);
  signal.resize(signal.size() + 4800, 0.0f);
  play(signal, 1);

  std::vector<std::int16_t> left, right;
  collect(left, right, [&] {
    std::size_t tone = firstLoud(left);
    std::size_t burst = firstLoud(left, tone + toneFrames + 2400);
    return burst + 480 <= left.size();
  });

  ASSERT_EQ(left.size(), right.size());
  EXPECT_EQ(left, right) << "mono playback must reach both channels unchanged";
  std::size_t tone = firstLoud(left);
  ASSERT_LT(tone + toneFrames, left.size()) << "the tone never arrived";

  // Upward zero crossings over the tone's middle give its frequency.
  std::size_t begin = tone + 480, end = tone + toneFrames - 480;
  int crossings = 0;
  std::int16_t peak = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if (left[i - 1] < 0 && left[i] >= 0) ++crossings;
    peak = std::max(peak, left[i]);
  }
  double hertz = crossings * 48000.0 / static_cast<double>(end - begin);
  EXPECT_NEAR(hertz, 1000.0, 10.0);
  EXPECT_NEAR(peak, 16383, 40);

  EXPECT_EQ(*std::max_element(left.begin(), left.end()), 32767);
  EXPECT_EQ(*std::min_element(left.begin(), left.end()), -32767);
  capturer->stop();
}

TEST_F(AudioCaptureTest, StereoPlaybackKeepsLeftAndRightApart) {
  auto capturer = startCapture();
  constexpr std::size_t playedFrames = 24000;
  std::vector<float> signal;
  for (std::size_t i = 0; i < playedFrames; ++i) {
    signal.push_back(0.25f);   // left
    signal.push_back(-0.75f);  // right
  }
  play(signal, 2);

  // The server may cut a few milliseconds at the start of playback; every frame that arrives
  // must still be exactly what was played, channels in place.
  std::vector<std::int16_t> left, right;
  std::size_t loud = 0, checked = 0;
  collect(left, right, [&] {
    for (; checked < left.size(); ++checked) {
      if (left[checked] == 0 && right[checked] == 0) continue;
      ++loud;
      EXPECT_EQ(left[checked], AudioConversion::sample(0.25f)) << "frame " << checked;
      EXPECT_EQ(right[checked], AudioConversion::sample(-0.75f)) << "frame " << checked;
    }
    return loud > 0 && left.back() == 0;
  });
  EXPECT_GT(loud, playedFrames * 9 / 10);
  EXPECT_LE(loud, playedFrames);
  capturer->stop();
}

TEST_F(AudioCaptureTest, ServerGoneIsReportedOnceAndStopStaysSafe) {
  auto capturer = startCapture();
  ASSERT_TRUE(frames_.take()) << "the null sink's silence should flow while nothing plays";

  server_->kill();
  auto error = stopped_.take();
  ASSERT_TRUE(error);
  EXPECT_TRUE(error->errorDescription().starts_with(PulseAudioCapturer::serverGoneText))
      << error->errorDescription();

  capturer->stop();
  capturer->stop();
  EXPECT_EQ(stopped_.size(), 0u) << "the loss is reported once";
}

// A stream that wants sound and brings no audio capture of its own records the desktop's: the
// chooser's PulseAudio, found through the usual lookup.
TEST_F(AudioCaptureTest, AStreamWithSoundRecordsThroughTheChooser) {
  home_.set("PULSE_SERVER", server_->address());
  auto streamer = ScreenStreamer::create(
      runtime_, {.openCapturer = [](std::uint32_t id) -> std::unique_ptr<ScreenCapturer> {
                   return std::make_unique<FakeScreenCapturer>(DisplayRect{id, 0, 0, 64, 48});
                 },
                 .encoders = {fakeVideoEncoderCandidate(
                     "fake", true, false, {}, std::make_shared<FakeVideoEncoderRecord>())}});
  streamer->onAudio = [this](const AudioFrame& frame) { frames_.put(frame); };
  test::Mailbox<std::optional<NVError>> started;
  streamer->start(1, 64, 48, 30, 1000, VideoCodec::h264, true,
                  [&](std::optional<NVError> error) { started.put(std::move(error)); });
  auto result = started.take();
  ASSERT_TRUE(result);
  EXPECT_FALSE(*result);
  EXPECT_TRUE(frames_.take()) << "the null sink's silence should reach the stream";
  streamer->stop();
}

TEST_F(AudioCaptureTest, StopOnTheDeliveryQueueEndsDelivery) {
  auto capturer = makeCapturer();
  std::atomic<int> calls = 0;
  std::weak_ptr<PulseAudioCapturer> weak = capturer;
  auto error = capturer->start(
      [&](AudioFrame) {
        ++calls;
        if (auto self = weak.lock()) self->stop();
        frames_.put({});
      },
      nullptr);
  ASSERT_FALSE(error) << error->errorDescription();
  ASSERT_TRUE(frames_.take());
  capturer->queue()->sync([] {});
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(isAudioCaptureCancelled(*capturer->start(nullptr, nullptr)));
}

TEST_F(AudioCaptureTest, StopFromASessionQueueNeverWaitsForTheDeliveryQueue) {
  // A session's queue stops the stream. Waiting there for the delivery queue to get a pool
  // thread can leave the pool with none when enough sessions stop at once.
  std::mutex mutex;
  std::vector<std::string> waits;
  auto previous =
      SerialQueue::setMisuseHandler([&](const SerialQueue& waiting, const SerialQueue& target) {
        std::lock_guard lock(mutex);
        waits.push_back(waiting.label() + " -> " + target.label());
      });
  auto capturer = startCapture();
  ASSERT_TRUE(frames_.take());
  auto session = runtime_.makeQueue("test.session");
  session->sync([&] { capturer->stop(); });
  SerialQueue::setMisuseHandler(std::move(previous));
  EXPECT_TRUE(waits.empty()) << waits.front();
}

TEST_F(AudioCaptureTest, StopRacingStartLeavesNothingRunning) {
  // Each round stops at a different point of start(): before the connection, during it, or
  // after frames began to flow.
  for (int round = 0; round < 12; ++round) {
    auto capturer = makeCapturer();
    std::atomic<int> calls = 0;
    std::optional<NVError> result;
    std::thread starter([&] { result = capturer->start([&](AudioFrame) { ++calls; }, nullptr); });
    for (int spin = 0; spin < round * round * 2000; ++spin) std::this_thread::yield();
    capturer->stop();
    int afterStop = calls;
    starter.join();
    if (result) {
      EXPECT_TRUE(isAudioCaptureCancelled(*result)) << result->errorDescription();
    }
    capturer->queue()->sync([] {});
    EXPECT_EQ(calls, afterStop) << "round " << round << ": a frame arrived after stop()";
  }
}

TEST_F(AudioCaptureTest, DroppingTheCapturerWhileFramesFlowIsSafe) {
  auto capturer = startCapture();
  ASSERT_TRUE(frames_.take());
  auto queue = capturer->queue();
  capturer.reset();
  queue->sync([] {});
}

// Starting without a usable server fails promptly, with a text that says why.
TEST(AudioCaptureWithoutServerTest, StartFailsCleanly) {
  test::TempHome home;
  Runtime runtime;
  auto missing = "unix:" + (home.root() / "missing").string();

  // A socket that accepts connections into its backlog but never answers.
  auto silentPath = home.root() / "silent";
  int silent = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, silentPath.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(silent, 4), 0);

  struct Case {
    const char* name;
    std::string server;              // in the capturer's configuration
    std::optional<std::string> env;  // PULSE_SERVER
    std::string_view expected;
  };
  const Case cases[] = {
      {"configured server missing", missing, std::nullopt, PulseAudioCapturer::noServerText},
      {"PULSE_SERVER missing", "", missing, PulseAudioCapturer::noServerText},
      {"server never answers", "unix:" + silentPath.string(), std::nullopt,
       PulseAudioCapturer::timeoutText},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    home.set("PULSE_SERVER", c.env);
    auto capturer =
        PulseAudioCapturer::create(runtime, {.server = c.server, .connectTimeout = 0.5});
    bool called = false;
    auto error =
        capturer->start([&](AudioFrame) { called = true; }, [&](const NVError&) { called = true; });
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->errorDescription().starts_with(c.expected)) << error->errorDescription();
    capturer->stop();
    capturer->stop();
    EXPECT_FALSE(called);
  }
  close(silent);
}

TEST(FakeAudioCapturerTest, DeliversOnlyWhileRunningAndReportsOnce) {
  FakeAudioCapturer fake;
  int frames = 0, stops = 0;
  EXPECT_FALSE(fake.deliver({48000, 2, {}}));
  ASSERT_FALSE(fake.start([&](AudioFrame) { ++frames; }, [&](const NVError&) { ++stops; }));
  EXPECT_TRUE(fake.deliver({48000, 2, {0, 0, 0, 0}}));
  fake.serverGone(NVError::invalid("gone"));
  fake.serverGone(NVError::invalid("gone"));
  EXPECT_FALSE(fake.deliver({48000, 2, {}}));
  fake.stop();
  EXPECT_EQ(frames, 1);
  EXPECT_EQ(stops, 1);

  FakeAudioCapturer failing({.startError = NVError::invalid("no audio")});
  EXPECT_EQ(failing.start(nullptr, nullptr), NVError::invalid("no audio"));
  EXPECT_FALSE(failing.running());
}

}  // namespace
}  // namespace ombrel
