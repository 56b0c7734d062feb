#include "Ombrel_Remote_Host/stream/stream_control.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "OmbrelKit/messages.h"
#include "Ombrel_Remote_Host/platform/fake/fake_power_manager.h"
#include "Ombrel_Remote_Host/platform/fake/fake_screen_lock.h"
#include "Ombrel_Remote_Host/screen/fake/fake_cursor_source.h"
#include "Ombrel_Remote_Host/stream/fake/fake_stream_displays.h"
#include "Ombrel_Remote_Host/stream/fake/fake_stream_source.h"
#include "Ombrel_Remote_Host/stream/transport_diagnostics.h"
#include "base/runtime.h"

namespace ombrel {
namespace {

// The session side: records what is sent; pending bytes, access and the limited flag are set
// by the test.
class RecordingSession : public StreamControlDelegate {
 public:
  explicit RecordingSession(std::shared_ptr<SerialQueue> queue) : queue_(std::move(queue)) {}

  void send(MessageType type, Bytes body) override {
    std::lock_guard lock(mutex_);
    sent_.emplace_back(type, std::move(body));
  }
  std::int64_t pendingBytes() const override { return pending; }
  bool accessAllowed() const override { return access; }
  bool limited() const override { return limitedSession; }
  SerialQueue& queue() override { return *queue_; }
  std::optional<int> tcpDescriptor() override { return tcp; }
  void streamDidStart() override { ++starts; }

  std::vector<Bytes> bodies(MessageType type) const {
    std::lock_guard lock(mutex_);
    std::vector<Bytes> out;
    for (const auto& [t, body] : sent_)
      if (t == type) out.push_back(body);
    return out;
  }
  template <typename T>
  std::vector<T> decoded(MessageType type) const {
    std::vector<T> out;
    for (const Bytes& body : bodies(type)) out.push_back(NVJSON::decode<T>(body));
    return out;
  }
  std::vector<MessageType> types() const {
    std::lock_guard lock(mutex_);
    std::vector<MessageType> out;
    for (const auto& entry : sent_) out.push_back(entry.first);
    return out;
  }

  std::atomic<std::int64_t> pending{0};
  std::atomic<bool> access{true};
  std::atomic<bool> limitedSession{false};
  std::atomic<int> starts{0};
  std::optional<int> tcp;  // read on the queue only

 private:
  std::shared_ptr<SerialQueue> queue_;
  mutable std::mutex mutex_;
  std::vector<std::pair<MessageType, Bytes>> sent_;
};

StreamDisplay display(std::uint32_t id, std::int64_t w, std::int64_t h, bool isMain, bool builtIn,
                      double x) {
  StreamDisplay d;
  d.info.id = id;
  d.info.name = "螢幕 " + std::to_string(id);
  d.info.pixelWidth = w;
  d.info.pixelHeight = h;
  d.info.pointWidth = static_cast<double>(w);
  d.info.pointHeight = static_cast<double>(h);
  d.info.refreshRate = 60;
  d.info.isMain = isMain;
  d.bounds = {x, 0, static_cast<double>(w), static_cast<double>(h)};
  d.builtIn = builtIn;
  return d;
}

// The fake displays, except that a new virtual display's wait to become active lasts until the
// test opens the gate.
class GatedDisplays : public StreamDisplays {
 public:
  explicit GatedDisplays(std::shared_ptr<FakeStreamDisplays> inner) : inner_(std::move(inner)) {}
  std::vector<StreamDisplay> all() override { return inner_->all(); }
  std::unique_ptr<StreamVirtualDisplay> createVirtualDisplay(
      const VirtualDisplayRequest& request) override {
    auto display = inner_->createVirtualDisplay(request);
    return display ? std::make_unique<Gated>(std::move(display), opened_) : nullptr;
  }
  void open() { gate_.set_value(); }

 private:
  class Gated : public StreamVirtualDisplay {
   public:
    Gated(std::unique_ptr<StreamVirtualDisplay> inner, std::shared_future<void> opened)
        : inner_(std::move(inner)), opened_(std::move(opened)) {}
    std::uint32_t displayID() const override { return inner_->displayID(); }
    bool waitUntilActive(double timeout) override {
      opened_.wait();
      return inner_->waitUntilActive(timeout);
    }
    void takeOverDesktop() override { inner_->takeOverDesktop(); }
    void restore() override { inner_->restore(); }

   private:
    std::unique_ptr<StreamVirtualDisplay> inner_;
    std::shared_future<void> opened_;
  };

  std::shared_ptr<FakeStreamDisplays> inner_;
  std::promise<void> gate_;
  std::shared_future<void> opened_ = gate_.get_future().share();
};

// Holds the calls that pass through it while closed, as a hung desktop bus would.
class Gate {
 public:
  void close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
  }
  void open() {
    {
      std::lock_guard lock(mutex_);
      closed_ = false;
    }
    changed_.notify_all();
  }
  void pass() {
    std::unique_lock lock(mutex_);
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !closed_; });
    --waiting_;
  }
  // Whether a call is held within a generous limit.
  bool holdsOne() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] { return waiting_ > 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  int waiting_ = 0;
};

class GatedScreenLock : public FakeScreenLock {
 public:
  bool isLocked() override {
    gate.pass();
    return FakeScreenLock::isLocked();
  }
  Gate gate;
};

class GatedPowerManager : public FakePowerManager {
 public:
  std::uint32_t createAssertion(PowerAssertionType type, std::string_view name) override {
    gate.pass();
    return FakePowerManager::createAssertion(type, name);
  }
  Gate gate;
};

// Whether `predicate` holds within a generous limit.
template <typename Predicate>
bool eventually(Predicate predicate) {
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > limit) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Whether `queue` runs a new item within a generous limit (it is not stuck waiting).
bool answers(SerialQueue& queue) {
  auto ran = std::make_shared<std::promise<void>>();
  auto done = ran->get_future();
  queue.post([ran] { ran->set_value(); });
  return done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
}

StreamConfig baseConfig() {
  StreamConfig c;
  c.maxWidth = 3840;
  c.maxHeight = 2160;
  c.fps = 60;
  c.bitrateKbps = 8000;
  c.codec = VideoCodec::hevc;
  c.adaptiveBitrate = true;
  return c;
}

StreamConfig pacedConfig() {
  StreamConfig c = baseConfig();
  c.receiverPacing = true;
  return c;
}

VideoFrame frameAt(std::uint64_t pts) {
  VideoFrame f;
  f.ptsMicros = pts;
  f.width = 16;
  f.height = 16;
  f.payload = {0, 0, 0, 1, 0x65};
  return f;
}

class StreamControlTest : public ::testing::Test {
 protected:
  // Display 1: the main external 4K display; display 2: the built-in panel to its right.
  StreamControlTest()
      : displays(std::make_shared<FakeStreamDisplays>(
            std::vector<StreamDisplay>{display(1, 3840, 2160, true, false, 0),
                                       display(2, 1512, 982, false, true, 3840)},
            FakeStreamDisplays::Config())) {}

  void SetUp() override { makeStreaming(); }

  // `wrap` puts something between the stream and the fake displays (to hold them).
  using Wrap = std::function<std::shared_ptr<StreamDisplays>(std::shared_ptr<FakeStreamDisplays>)>;
  void makeStreaming(FakeStreamDisplays::Config displayConfig = FakeStreamDisplays::Config(),
                     const Wrap& wrap = nullptr) {
    if (streaming) shutdown();
    auto list = displays->all();
    displays = std::make_shared<FakeStreamDisplays>(list, displayConfig);
    StreamControl::Dependencies deps;
    deps.mainQueue = runtime.mainQueue();
    deps.makeStreamer = sources.factory();
    deps.displays = wrap ? wrap(displays) : displays;
    deps.screenLock = screenLock;
    deps.powerManager = &power;
    deps.cursor = cursor;
    deps.blockingWorker = worker;
    deps.onClipboardCheck = [this] { ++clipboardChecks; };
    deps.captureProblem = [this] {
      std::lock_guard lock(problemLock);
      return captureProblem;
    };
    streaming = StreamControl::create(session, std::move(deps));
  }

  void TearDown() override {
    shutdown();
    streaming.reset();
    // The fakes the worker calls go before the Runtime does.
    worker->stop();
    runtime.blockingWorker()->stop();
  }
  // Shuts the stream down and lets the main queue give the virtual display back.
  void shutdown() {
    run([&] { streaming->shutdown(); });
    runtime.mainQueue()->sync([] {});
  }

  template <typename F>
  std::invoke_result_t<F> run(F&& work) {
    return session->queue().sync(std::forward<F>(work));
  }
  // Starts and lets the streamer's completion (posted to the queue) run.
  void start(StreamConfig config) {
    run([&] { streaming->startStream(std::move(config)); });
    drain();
  }
  // Lets virtual display work, lock lookups and assertions come back and posted work on the
  // connection queue run.
  void drain() {
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    // Twice quiet in a row: an answer that came back may have posted the next step (the
    // streamer's start, then the assertion) behind the first quiet look.
    for (int quiet = 0; quiet < 2;) {
      if (!run([&] { return streaming->settling(); })) {
        ++quiet;
        continue;
      }
      quiet = 0;
      ASSERT_LT(std::chrono::steady_clock::now(), limit) << "the start never settled";
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  // Whether the connection queue still serves while `gate` holds a call; a queue stuck behind
  // the gate gets it opened so that the test can end.
  bool servesWhileHeld(Gate& gate) {
    const bool served = answers(session->queue());
    if (!served) gate.open();
    return served;
  }
  std::vector<ErrorMessage> errors() const {
    return session->decoded<ErrorMessage>(MessageType::error);
  }
  std::vector<std::int64_t> reportedBitrates() const {
    std::vector<std::int64_t> out;
    for (const HostStats& s : session->decoded<HostStats>(MessageType::hostStats))
      out.push_back(s.bitrateKbps);
    return out;
  }

  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  Runtime runtime{Runtime::Options{.clock = clock}};
  std::shared_ptr<RecordingSession> session =
      std::make_shared<RecordingSession>(runtime.makeQueue("nerovalde.connection"));
  FakeStreamSourceFactory sources;
  std::shared_ptr<FakeStreamDisplays> displays;
  std::shared_ptr<GatedScreenLock> screenLock = std::make_shared<GatedScreenLock>();
  GatedPowerManager power;
  std::shared_ptr<FakeCursorSource> cursor = std::make_shared<FakeCursorSource>();
  std::atomic<int> clipboardChecks{0};
  std::mutex problemLock;
  std::optional<NVError> captureProblem;  // problemLock
  std::shared_ptr<BlockingWorker> worker = runtime.blockingWorker();
  std::shared_ptr<StreamControl> streaming;
};

TEST_F(StreamControlTest, StartClampsSizeAndFrameRate) {
  struct Case {
    VideoCodec codec;
    std::int64_t maxW, maxH, fps;
    std::int64_t width, height, expectedFps;
  };
  const Case cases[] = {
      {VideoCodec::h264, 3840, 2160, 60, 1920, 1080, 60},
      {VideoCodec::hevc, 3840, 2160, 60, 3840, 2160, 60},
      {VideoCodec::hevc, 1920, 1080, 5, 1920, 1080, 10},
      {VideoCodec::h264, 8000, 8000, 240, 1920, 1080, 120},
      {VideoCodec::hevc, 1001, 1001, 120, 1000, 562, 120},
  };
  for (const Case& c : cases) {
    StreamConfig config = baseConfig();
    config.codec = c.codec;
    config.maxWidth = c.maxW;
    config.maxHeight = c.maxH;
    config.fps = c.fps;
    config.displayID = 1;
    start(config);
    auto args = sources.last()->startArgs();
    ASSERT_TRUE(args);
    EXPECT_EQ(args->displayID, 1u);
    EXPECT_EQ(args->width, c.width);
    EXPECT_EQ(args->height, c.height);
    EXPECT_EQ(args->fps, c.expectedFps);
    EXPECT_EQ(args->codec, c.codec);
    auto started = session->decoded<StreamStarted>(MessageType::streamStarted).back();
    EXPECT_EQ(started.display.id, 1u);
    EXPECT_EQ(started.width, c.width);
    EXPECT_EQ(started.height, c.height);
    EXPECT_EQ(started.fps, c.expectedFps);
    EXPECT_LE(started.width, 1920 + (c.codec == VideoCodec::hevc ? 1920 : 0));
  }
  // Every start asked its new streamer for a key frame and told the owner.
  for (const auto& source : sources.made()) EXPECT_EQ(source->keyframeRequests(), 1);
  EXPECT_EQ(session->starts, 5);
}

TEST_F(StreamControlTest, DisplayChoice) {
  // No display named: the built-in panel, as when a stream leaves a virtual display.
  start(baseConfig());
  EXPECT_EQ(sources.last()->startArgs()->displayID, 2u);
  // A display that does not exist: the main one.
  StreamConfig config = baseConfig();
  config.displayID = 77;
  start(config);
  EXPECT_EQ(sources.last()->startArgs()->displayID, 1u);
  EXPECT_EQ(streaming->config()->displayID, 1u);
}

TEST_F(StreamControlTest, NoDisplayIsReported) {
  displays->setDisplays({});
  start(baseConfig());
  auto errs = errors();
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].message, "找不到螢幕");
  EXPECT_EQ(errs[0].code, HostErrorCode::noDisplay);
  EXPECT_FALSE(errs[0].detail);
  EXPECT_TRUE(sources.made().empty());
  EXPECT_TRUE(session->bodies(MessageType::streamStarted).empty());
}

TEST_F(StreamControlTest, NoAccessDoesNothing) {
  session->access = false;
  start(baseConfig());
  EXPECT_TRUE(sources.made().empty());
  EXPECT_TRUE(session->types().empty());
}

TEST_F(StreamControlTest, SkipCutThresholds) {
  struct Case {
    std::int64_t encoded, skipped;
    bool cut;
  };
  const Case cases[] = {{25, 2, false}, {25, 3, true}, {19, 2, false}, {19, 3, true}};
  for (const Case& c : cases) {
    start(baseConfig());
    auto source = sources.last();
    source->setCounters(c.encoded, c.skipped);
    clock->advance(1.0);
    HostStats stats = session->decoded<HostStats>(MessageType::hostStats).back();
    EXPECT_EQ(stats.bitrateKbps, c.cut ? 5600 : 8000) << c.encoded << "/" << c.skipped;
    EXPECT_EQ(stats.encodeFps, static_cast<double>(c.encoded));
    EXPECT_EQ(stats.skippedFrames, c.skipped);
    EXPECT_EQ(source->bitrates(),
              c.cut ? std::vector<std::int64_t>{5600} : std::vector<std::int64_t>{});
  }
}

TEST_F(StreamControlTest, StartBitrateRisesAfterThreeCalmSeconds) {
  StreamConfig config = baseConfig();
  config.startBitrateKbps = 2000;
  start(config);
  auto source = sources.last();
  EXPECT_EQ(source->startArgs()->bitrateKbps, 2000);
  clock->advance(6.0);
  // int(current * 1.15) + 500, the product truncated in double precision (2800 * 1.15 is
  // 3219.999...): 2000 -> 2800 -> 3719 -> 4776 -> 5992.
  EXPECT_EQ(reportedBitrates(), (std::vector<std::int64_t>{2000, 2000, 2800, 3719, 4776, 5992}));
  EXPECT_EQ(source->bitrates(), (std::vector<std::int64_t>{2800, 3719, 4776, 5992}));
}

TEST_F(StreamControlTest, NonAdaptiveStreamOnlyReports) {
  StreamConfig config = baseConfig();
  config.adaptiveBitrate = false;
  config.startBitrateKbps = 2000;
  start(config);
  sources.last()->setCounters(5, 5);
  clock->advance(4.0);
  EXPECT_EQ(reportedBitrates(), (std::vector<std::int64_t>{2000, 2000, 2000, 2000}));
  EXPECT_TRUE(sources.last()->bitrates().empty());
  // updateBitrate turns adaptation on and sets both rates at once.
  run([&] {
    streaming->handle(MessageType::updateBitrate, NVJSON::encode(BitrateUpdate{3000, true}));
  });
  EXPECT_EQ(sources.last()->bitrates(), std::vector<std::int64_t>{3000});
  EXPECT_TRUE(streaming->config()->adaptiveBitrate);
  run([&] { EXPECT_EQ(streaming->targetBitrate(), 3000); });
}

TEST_F(StreamControlTest, SlowClientSkipsAndCutsInsteadOfQueueing) {
  start(baseConfig());  // 8000 kbit/s: budget 40000 bytes
  auto source = sources.last();
  // At the budget a frame still goes; audio already stays home.
  session->pending = 40000;
  EXPECT_TRUE(source->capture(frameAt(1)));
  drain();
  EXPECT_EQ(session->bodies(MessageType::videoFrame).size(), 1u);

  session->pending = 40001;
  // x0.7 each tick, truncated in double precision, down to the 1500 kbit/s floor.
  std::vector<std::int64_t> expected = {5600, 3919, 2743, 1920, 1500};
  for (std::size_t tick = 0; tick < expected.size(); ++tick) {
    for (int i = 0; i < 10; ++i) EXPECT_FALSE(source->capture(frameAt(100 + i)));
    clock->advance(1.0);
  }
  drain();
  EXPECT_EQ(session->bodies(MessageType::videoFrame).size(), 1u);
  EXPECT_EQ(source->bitrates(), expected);
  // The budget follows the cut rate: 1500 kbit/s allows 7500 bytes.
  session->pending = 7500;
  EXPECT_TRUE(source->capture(frameAt(200)));
  session->pending = 7501;
  EXPECT_FALSE(source->capture(frameAt(201)));
}

TEST_F(StreamControlTest, AudioIsDroppedAtTheBudgetNeverQueued) {
  StreamConfig config = baseConfig();
  config.audio = true;
  config.bitrateKbps = 800;  // below 820 kbit/s: 4096 bytes
  start(config);
  auto source = sources.last();
  ASSERT_TRUE(source->onAudio);
  AudioFrame audio{48000, 2, Bytes(64, 1)};
  session->pending = 4095;
  source->deliverAudio(audio);
  session->pending = 4096;
  source->deliverAudio(audio);
  EXPECT_EQ(session->bodies(MessageType::audioFrame).size(), 1u);

  start(baseConfig());  // audio off
  EXPECT_FALSE(sources.last()->onAudio);
}

TEST_F(StreamControlTest, ReplacedStreamerFramesAreNeverSent) {
  StreamConfig config = pacedConfig();
  start(config);
  auto first = sources.last();
  auto firstWindow = streaming->deliveryWindow();
  ASSERT_TRUE(firstWindow);
  start(config);
  auto second = sources.last();
  EXPECT_TRUE(first->stopped());
  // A frame still leaving the first streamer's encoder, and its skip test.
  first->onVideo(frameAt(10));
  EXPECT_TRUE(first->shouldSkipFrame());
  drain();
  EXPECT_TRUE(session->bodies(MessageType::videoFrame).empty());
  EXPECT_EQ(firstWindow->pendingCount(), 0u);
  // Its late stop report says nothing either.
  first->reportStopped(NVError::invalid("gone"));
  drain();
  EXPECT_TRUE(errors().empty());

  EXPECT_TRUE(second->capture(frameAt(20)));
  drain();
  auto sent = session->bodies(MessageType::videoFrame);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(VideoFrame::decode(sent[0]).ptsMicros, 20u);
}

TEST_F(StreamControlTest, FramesBeforeStreamStartedGiveTheirSlotBack) {
  sources.config.completeAtOnce = false;
  StreamConfig config = pacedConfig();
  start(config);
  auto source = sources.last();
  auto window = streaming->deliveryWindow();
  EXPECT_TRUE(source->capture(frameAt(5)));
  drain();
  EXPECT_TRUE(session->bodies(MessageType::videoFrame).empty());
  EXPECT_EQ(window->pendingCount(), 0u);
  source->completeStart();
  drain();
  EXPECT_EQ(session->bodies(MessageType::streamStarted).size(), 1u);
  EXPECT_TRUE(source->capture(frameAt(6)));
  drain();
  EXPECT_EQ(session->bodies(MessageType::videoFrame).size(), 1u);
}

TEST_F(StreamControlTest, ReceiptsPaceTheWindowAndUnknownOnesChangeNothing) {
  StreamConfig config = pacedConfig();
  start(config);
  auto source = sources.last();
  auto window = streaming->deliveryWindow();
  EXPECT_TRUE(source->capture(frameAt(10)));
  EXPECT_TRUE(source->capture(frameAt(20)));
  EXPECT_FALSE(source->capture(frameAt(30)));  // two in flight: wait for receipts
  auto receipt = [&](Bytes body) {
    run([&] { streaming->handle(MessageType::videoReceipt, body); });
  };
  receipt(VideoReceipt::encode(15));
  EXPECT_EQ(window->pendingCount(), 2u);
  receipt(Bytes(40, '1'));  // over 32 bytes: dropped
  EXPECT_EQ(window->pendingCount(), 2u);
  receipt(VideoReceipt::encode(10));
  EXPECT_EQ(window->pendingCount(), 1u);
  EXPECT_TRUE(source->capture(frameAt(40)));
}

TEST_F(StreamControlTest, LimitedSessionGetsAPhysicalDisplayWithoutFallback) {
  session->limitedSession = true;
  StreamConfig config = baseConfig();
  config.virtualDisplay = VirtualDisplayRequest{1280, 800, "Ombrel"};
  start(config);
  EXPECT_EQ(displays->created(), 0);
  EXPECT_TRUE(errors().empty());
  EXPECT_EQ(sources.last()->startArgs()->displayID, 1u);  // the main display
  EXPECT_EQ(session->bodies(MessageType::streamStarted).size(), 1u);
}

TEST_F(StreamControlTest, VirtualDisplayFailureFallsBackToAPhysicalDisplay) {
  const FakeStreamDisplays::Config configs[] = {{.virtualDisplaysWork = false},
                                                {.becomesActive = false}};
  for (const auto& displayConfig : configs) {
    makeStreaming(displayConfig);
    StreamConfig config = baseConfig();
    config.displayID = 1;
    config.virtualDisplay = VirtualDisplayRequest{1280, 800, "Ombrel"};
    auto before = errors().size();
    start(config);
    auto errs = errors();
    ASSERT_EQ(errs.size(), before + 1);
    EXPECT_EQ(errs.back().message, "無法建立專屬螢幕，改用原本的螢幕");
    EXPECT_EQ(errs.back().code, HostErrorCode::virtualDisplayFallback);
    EXPECT_FALSE(errs.back().detail);
    EXPECT_TRUE(displays->liveVirtual().empty());
    EXPECT_EQ(sources.last()->startArgs()->displayID, 1u);
    EXPECT_EQ(session->decoded<StreamStarted>(MessageType::streamStarted).back().display.id, 1u);
    EXPECT_FALSE(streaming->virtualDisplayID());
  }
}

TEST_F(StreamControlTest, VirtualDisplayIsReusedAndDroppedWhenNotWanted) {
  StreamConfig config = baseConfig();
  config.virtualDisplay = VirtualDisplayRequest{1280, 800, "Ombrel"};
  start(config);
  EXPECT_EQ(displays->created(), 1);
  EXPECT_EQ(displays->tookOver(), 1);
  EXPECT_EQ(sources.last()->startArgs()->displayID, 100u);
  EXPECT_EQ(streaming->config()->displayID, 100u);
  // The same request keeps the display; stopping the stream keeps it too.
  start(config);
  run([&] { streaming->stopStream(); });
  EXPECT_EQ(displays->created(), 1);
  EXPECT_EQ(displays->liveVirtual(), std::vector<std::uint32_t>{100});
  // Naming it without a request keeps streaming it.
  StreamConfig named = baseConfig();
  named.displayID = 100;
  start(named);
  EXPECT_EQ(sources.last()->startArgs()->displayID, 100u);
  // Another display drops it.
  StreamConfig other = baseConfig();
  other.displayID = 1;
  start(other);
  EXPECT_TRUE(displays->liveVirtual().empty());
  EXPECT_EQ(sources.last()->startArgs()->displayID, 1u);
}

TEST_F(StreamControlTest, VirtualDisplayWorkNeverMakesTheConnectionQueueWait) {
  std::shared_ptr<GatedDisplays> gated;
  makeStreaming({}, [&](std::shared_ptr<FakeStreamDisplays> fake) {
    gated = std::make_shared<GatedDisplays>(std::move(fake));
    return gated;
  });
  StreamConfig config = baseConfig();
  config.virtualDisplay = VirtualDisplayRequest{1280, 800, "Ombrel"};

  // The main queue is busy: making the display waits for it, the connection does not.
  std::promise<void> mainFree;
  runtime.mainQueue()->post([free = mainFree.get_future().share()] { free.wait(); });
  session->queue().post([this, config] { streaming->startStream(config); });
  EXPECT_TRUE(answers(session->queue())) << "startStream waited for the main queue";
  mainFree.set_value();

  // Made, but not active yet: neither queue waits for it.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (displays->created() == 0 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(displays->created(), 1);
  EXPECT_TRUE(answers(session->queue())) << "the connection queue waited for the display";
  EXPECT_TRUE(answers(*runtime.mainQueue())) << "the main queue waited for the display";

  // A stop and a new start meanwhile: the first start is void, the newest one streams on the
  // display once it is up.
  session->queue().post([this, config] {
    streaming->stopStream();
    streaming->startStream(config);
  });
  gated->open();
  drain();
  EXPECT_EQ(displays->created(), 1);
  EXPECT_EQ(displays->tookOver(), 1);
  ASSERT_EQ(sources.made().size(), 1u);
  EXPECT_EQ(sources.last()->startArgs()->displayID, 100u);
  EXPECT_EQ(session->bodies(MessageType::streamStarted).size(), 1u);
  EXPECT_TRUE(errors().empty());
}

TEST_F(StreamControlTest, LockedScreenMovesAVirtualStreamToAPhysicalDisplayWithinOneTick) {
  StreamConfig config = baseConfig();
  config.virtualDisplay = VirtualDisplayRequest{1280, 800, "Ombrel"};
  start(config);
  auto first = sources.last();
  ASSERT_EQ(first->startArgs()->displayID, 100u);
  screenLock->setLocked(true);
  clock->advance(1.0);
  drain();
  EXPECT_TRUE(first->stopped());
  ASSERT_EQ(sources.made().size(), 2u);
  EXPECT_EQ(sources.last()->startArgs()->displayID, 2u);
  EXPECT_TRUE(displays->liveVirtual().empty());
  auto started = session->decoded<StreamStarted>(MessageType::streamStarted);
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started.back().display.id, 2u);
  // That tick adapted nothing, and a locked start never asks for a virtual display again.
  EXPECT_TRUE(session->bodies(MessageType::hostStats).empty());
  start(config);
  EXPECT_EQ(displays->created(), 1);
  EXPECT_EQ(sources.last()->startArgs()->displayID, 2u);
}

TEST_F(StreamControlTest, SleepAssertionFollowsTheStream) {
  for (bool limited : {false, true}) {
    session->limitedSession = limited;
    start(baseConfig());
    auto held = power.held();
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held.begin()->second.type, sessionAssertionType(limited));
    EXPECT_EQ(held.begin()->second.type,
              limited ? PowerAssertionType::systemSleep : PowerAssertionType::displaySleep);
    EXPECT_EQ(held.begin()->second.name, "Ombrel Remote remote session");
    run([&] { streaming->handle(MessageType::stopStream, {}); });
    EXPECT_TRUE(eventually([&] { return power.held().empty(); }));
  }
  // A failed start takes none.
  sources.config.startError = NVError::invalid("找不到螢幕");
  start(baseConfig());
  EXPECT_TRUE(eventually([&] { return power.held().empty(); }));
  EXPECT_EQ(power.createCount(), 2);
}

TEST_F(StreamControlTest, AStuckLockLookupNeverHoldsTheConnectionQueue) {
  StreamConfig wantsVirtual = baseConfig();
  wantsVirtual.virtualDisplay = VirtualDisplayRequest{1280, 800, "Ombrel"};
  struct Case {
    bool locked;
    bool stopMeanwhile;
    bool newStartMeanwhile;
    bool accessGoesMeanwhile;
    std::size_t streams;  // streamStarted sent
    std::uint32_t display;
  };
  const Case cases[] = {
      // A locked screen is streamed from the built-in panel, never a virtual display.
      {true, false, false, false, 1, 2},
      {false, false, false, false, 1, 100},
      // A stop while the lookup is out starts nothing.
      {false, true, false, false, 0, 0},
      // Only the newest start streams (on display 1, as it asks).
      {false, false, true, false, 1, 1},
      // Nor does a start whose session lost its access meanwhile, not even a virtual display.
      {false, false, false, true, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "locked " << c.locked << " stop " << c.stopMeanwhile << " new start "
                 << c.newStartMeanwhile << " access goes " << c.accessGoesMeanwhile);
    makeStreaming();
    session->access = true;
    const auto made = sources.made().size();
    const auto before = session->bodies(MessageType::streamStarted).size();
    screenLock->setLocked(c.locked);
    screenLock->gate.close();
    session->queue().post([this, wantsVirtual] { streaming->startStream(wantsVirtual); });
    ASSERT_TRUE(screenLock->gate.holdsOne());
    ASSERT_TRUE(servesWhileHeld(screenLock->gate)) << "startStream waited for the screen lock";
    if (c.stopMeanwhile) run([&] { streaming->handle(MessageType::stopStream, {}); });
    if (c.newStartMeanwhile) {
      StreamConfig other = baseConfig();
      other.displayID = 1;
      run([&] { streaming->startStream(other); });
    }
    if (c.accessGoesMeanwhile) session->access = false;
    screenLock->gate.open();
    drain();
    const auto started = session->decoded<StreamStarted>(MessageType::streamStarted);
    ASSERT_EQ(started.size() - before, c.streams);
    EXPECT_EQ(sources.made().size() - made, c.streams);
    if (c.streams) {
      EXPECT_EQ(started.back().display.id, c.display);
    }
    EXPECT_EQ(run([&] { return streaming->virtualDisplayID().has_value(); }), c.display == 100);
    EXPECT_EQ(displays->created(), c.display == 100 ? 1 : 0);
  }
  session->access = true;
}

TEST_F(StreamControlTest, AStartWhoseLookupAFullWorkerDropsStillStarts) {
  worker = std::make_shared<BlockingWorker>(BlockingWorker::Options{.threads = 1, .maxBacklog = 1});
  makeStreaming();
  StreamConfig wantsVirtual = baseConfig();
  wantsVirtual.virtualDisplay = VirtualDisplayRequest{1280, 800, "Ombrel"};
  screenLock->gate.close();
  run([&] { streaming->startStream(wantsVirtual); });
  ASSERT_TRUE(screenLock->gate.holdsOne());
  // The newer start's lookup waits in the lane while the worker's one place fills up.
  StreamConfig other = baseConfig();
  other.displayID = 1;
  run([&] { streaming->startStream(other); });
  ASSERT_TRUE(worker->post([] {}));
  screenLock->gate.open();
  drain();
  EXPECT_GE(worker->dropped(), 1u);
  const auto started = session->decoded<StreamStarted>(MessageType::streamStarted);
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started.back().display.id, 1u);
  EXPECT_EQ(sources.made().size(), 1u);
}

TEST_F(StreamControlTest, AnAssertionAFullWorkerRefusesIsTakenOnTheNextTick) {
  worker = std::make_shared<BlockingWorker>(BlockingWorker::Options{.threads = 1, .maxBacklog = 1});
  makeStreaming();
  // The worker's thread is busy and its one place taken.
  std::promise<void> free;
  std::promise<void> busy;
  ASSERT_TRUE(worker->post([&, freed = free.get_future().share()] {
    busy.set_value();
    freed.wait();
  }));
  busy.get_future().wait();
  ASSERT_TRUE(worker->post([] {}));
  start(baseConfig());
  EXPECT_TRUE(streaming->streaming());
  EXPECT_EQ(power.createCount(), 0);
  free.set_value();
  clock->advance(1.0);
  drain();
  EXPECT_TRUE(eventually([&] { return power.held().size() == 1u; }));
  EXPECT_EQ(power.createCount(), 1);
}

TEST_F(StreamControlTest, AStuckLockLookupOnATickNeverHoldsTheConnectionQueue) {
  StreamConfig config = baseConfig();
  config.virtualDisplay = VirtualDisplayRequest{1280, 800, "Ombrel"};
  start(config);
  ASSERT_EQ(sources.last()->startArgs()->displayID, 100u);
  screenLock->gate.close();
  // The clock waits for the tick it fires: off this thread, in case the tick is stuck.
  auto ticked = std::async(std::launch::async, [&] { clock->advance(1.0); });
  ASSERT_TRUE(screenLock->gate.holdsOne());
  const bool served = servesWhileHeld(screenLock->gate);
  ticked.wait();
  ASSERT_TRUE(served) << "the statistics tick waited for the screen lock";
  // Ticks meanwhile go by the last known state: the client still gets its statistics.
  clock->advance(1.0);
  run([] {});
  EXPECT_EQ(session->bodies(MessageType::hostStats).size(), 1u);
  // The answer that comes back locked moves the stream, and that tick adapts nothing.
  screenLock->setLocked(true);
  screenLock->gate.open();
  drain();
  ASSERT_EQ(sources.made().size(), 2u);
  EXPECT_EQ(sources.last()->startArgs()->displayID, 2u);
  EXPECT_EQ(session->bodies(MessageType::hostStats).size(), 1u);
  EXPECT_TRUE(displays->liveVirtual().empty());
}

TEST_F(StreamControlTest, AStuckPowerManagerNeverHoldsTheConnectionQueueNorLeaks) {
  for (bool stopMeanwhile : {false, true}) {
    SCOPED_TRACE(stopMeanwhile);
    power.gate.close();
    session->queue().post([this] { streaming->startStream(baseConfig()); });
    ASSERT_TRUE(power.gate.holdsOne());
    ASSERT_TRUE(servesWhileHeld(power.gate)) << "the stream start waited for the power manager";
    EXPECT_TRUE(run([&] { return streaming->streaming(); }));
    if (stopMeanwhile) run([&] { streaming->stopStream(); });
    power.gate.open();
    drain();
    EXPECT_EQ(run([&] { return streaming->holdsSleepAssertion(); }), !stopMeanwhile);
    EXPECT_TRUE(eventually([&] { return power.held().size() == (stopMeanwhile ? 0u : 1u); }));
    run([&] { streaming->stopStream(); });
    EXPECT_TRUE(eventually([&] { return power.held().empty(); }));
  }
  // An assertion that comes back after its stream's control is gone is released as well.
  power.gate.close();
  session->queue().post([this] { streaming->startStream(baseConfig()); });
  ASSERT_TRUE(power.gate.holdsOne());
  shutdown();
  streaming.reset();
  power.gate.open();
  EXPECT_TRUE(eventually([&] { return power.createCount() == 3 && power.held().empty(); }));
  makeStreaming();
}

TEST_F(StreamControlTest, ACaptureProblemIsReportedBeforeAnyDisplayIsChosen) {
  const NVError refused = NVError::system(std::make_error_code(std::errc::permission_denied));
  const NVError missing = NVError::invalid("X 伺服器缺少 DAMAGE 擴充功能");
  struct Case {
    std::optional<NVError> problem;  // asked before the start
    std::optional<NVError> startError;
    ErrorMessage sent;
  };
  const ErrorMessage permission{
      "電腦尚未允許「螢幕錄製」權限，請確認 X 伺服器允許 Ombrel Remote Host 連線（DISPLAY 與 "
      "XAUTHORITY）",
      HostErrorCode::screenPermission, std::nullopt};
  const Case cases[] = {
      {refused, std::nullopt, permission},
      {missing,
       std::nullopt,
       {"無法開始擷取畫面：X 伺服器缺少 DAMAGE 擴充功能", HostErrorCode::captureFailed,
        "X 伺服器缺少 DAMAGE 擴充功能"}},
      // A streamer whose desktop refuses it meanwhile says the same as the check before.
      {std::nullopt, refused, permission},
  };
  const std::vector<StreamDisplay> listed = displays->all();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sent.message);
    std::size_t sent = errors().size();
    {
      std::lock_guard lock(problemLock);
      captureProblem = c.problem;
    }
    // A desktop that refuses us lists no display either; the refusal is what the user needs.
    displays->setDisplays(c.problem ? std::vector<StreamDisplay>{} : listed);
    sources.config.startError = c.startError;
    std::size_t made = sources.made().size();
    start(baseConfig());
    auto errs = errors();
    ASSERT_EQ(errs.size(), sent + 1);
    EXPECT_EQ(errs.back().message, c.sent.message);
    EXPECT_EQ(errs.back().code, c.sent.code);
    EXPECT_EQ(errs.back().detail, c.sent.detail);
    EXPECT_EQ(sources.made().size(), made + (c.problem ? 0 : 1));
    EXPECT_FALSE(streaming->streaming());
    EXPECT_TRUE(session->bodies(MessageType::streamStarted).empty());
  }
}

TEST_F(StreamControlTest, CaptureFailuresAreReported) {
  sources.config.startError = NVError::invalid("沒有 XShm");
  start(baseConfig());
  auto errs = errors();
  ASSERT_EQ(errs.size(), 1u);
  EXPECT_EQ(errs[0].message, "無法開始擷取畫面：沒有 XShm");
  EXPECT_EQ(errs[0].code, HostErrorCode::captureFailed);
  EXPECT_EQ(errs[0].detail, "沒有 XShm");
  EXPECT_FALSE(streaming->streaming());
  EXPECT_TRUE(session->bodies(MessageType::streamStarted).empty());

  sources.config.startError.reset();
  start(baseConfig());
  sources.last()->reportStopped(NVError::invalid("X 伺服器斷線"));
  drain();
  errs = errors();
  ASSERT_EQ(errs.size(), 2u);
  EXPECT_EQ(errs[1].message, "畫面擷取停止：X 伺服器斷線");
  EXPECT_EQ(errs[1].code, HostErrorCode::captureStopped);
  EXPECT_EQ(errs[1].detail, "X 伺服器斷線");
  EXPECT_FALSE(streaming->streaming());
  EXPECT_TRUE(eventually([&] { return power.held().empty(); }));

  start(baseConfig());
  sources.last()->reportStopped(std::nullopt);
  drain();
  EXPECT_EQ(errors().back().message, "畫面擷取停止：");
  EXPECT_FALSE(errors().back().detail);
}

TEST_F(StreamControlTest, CursorTimerSendsPositionImageAndClipboardChecks) {
  StreamConfig config = baseConfig();
  config.displayID = 2;  // bounds x 3840..5352, y 0..982
  cursor->move(3840 + 756, 491);
  CursorImage arrow{Bytes{0x89, 'P', 'N', 'G'}, 16, 16, 1, 2};
  cursor->setImage(arrow, 1);
  start(config);
  clock->advance(31.0 / 60.0);
  auto positions = session->decoded<CursorPosition>(MessageType::cursorPosition);
  ASSERT_EQ(positions.size(), 1u);  // a still pointer is sent once
  EXPECT_DOUBLE_EQ(positions[0].x, 0.5);
  EXPECT_DOUBLE_EQ(positions[0].y, 0.5);
  EXPECT_TRUE(positions[0].visible);
  EXPECT_EQ(session->decoded<CursorImage>(MessageType::cursorImage),
            std::vector<CursorImage>{arrow});
  EXPECT_EQ(cursor->rendered(), 1);  // unchanged pictures are not rendered again
  EXPECT_GE(clipboardChecks, 1);

  cursor->move(3840 + 756 + 0.1, 491);  // under the threshold
  clock->advance(6.0 / 60.0);
  EXPECT_EQ(session->bodies(MessageType::cursorPosition).size(), 1u);
  cursor->move(100, 100);  // onto the other display
  clock->advance(6.0 / 60.0);
  positions = session->decoded<CursorPosition>(MessageType::cursorPosition);
  ASSERT_EQ(positions.size(), 2u);
  EXPECT_FALSE(positions[1].visible);

  run([&] { streaming->stopStream(); });
  cursor->move(4000, 100);
  clock->advance(1.0);
  EXPECT_EQ(session->bodies(MessageType::cursorPosition).size(), 2u);
}

// A connected loopback TCP pair; the client side is the one diagnostics read.
struct LoopbackPair {
  int listener = -1, client = -1, server = -1;
  LoopbackPair() {
    listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
    EXPECT_EQ(listen(listener, 1), 0);
    EXPECT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    client = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), length), 0);
    server = accept(listener, nullptr, nullptr);
  }
  ~LoopbackPair() {
    for (int fd : {listener, client, server})
      if (fd >= 0) close(fd);
  }
};

TEST(SessionTransportDiagnostics, LineFormat) {
  TransportDiagnostics::Report report{2.5, 0.25, 1200, 64000, 0};
  EXPECT_EQ(TransportDiagnostics::line(1735689600, 42, report, 123),
            "OMBREL_TRANSPORT wall=1735689600.0 client_rtt_ms=42.0 interval_s=2.5 "
            "tcp_rtt_ms=0.25 retransmitted_bytes=1200 sent_bytes=64000 duplicate_bytes=0 "
            "app_pending_bytes=123");
}

TEST(SessionTransportDiagnostics, ReportsTheBytesOfTheInterval) {
  LoopbackPair pair;
  TransportDiagnostics diagnostics;
  EXPECT_FALSE(diagnostics.collect(pair.client, 10.0));  // the starting reading
  std::string data(5000, 'x');
  ASSERT_EQ(write(pair.client, data.data(), data.size()), 5000);
  auto report = diagnostics.collect(pair.client, 11.5);
  ASSERT_TRUE(report);
  EXPECT_DOUBLE_EQ(report->interval, 1.5);
  EXPECT_EQ(report->sentBytes, 5000u);
  EXPECT_EQ(report->retransmittedBytes, 0u);
  EXPECT_GT(report->tcpRttMs, 0);
  EXPECT_FALSE(diagnostics.collect(-1, 12.0));
}

TEST_F(StreamControlTest, ClientStatsPrintTransportLinesOnlyWhenAskedFor) {
  LoopbackPair pair;
  run([&] { session->tcp = pair.client; });
  session->pending = 321;
  auto stats = [&](double rtt) {
    run([&] { streaming->handle(MessageType::clientStats, NVJSON::encode(ClientStats{rtt, 60})); });
  };
  std::vector<std::string> lines;
  for (const char* value : {"1", "0"}) {
    setenv("OMBREL_TRANSPORT_DIAGNOSTICS", value, 1);
    testing::internal::CaptureStdout();
    stats(30);
    clock->advance(1.0);
    stats(42);
    std::istringstream out(testing::internal::GetCapturedStdout());
    for (std::string line; std::getline(out, line);)
      if (line.rfind("OMBREL_TRANSPORT ", 0) == 0) lines.push_back(line);
  }
  unsetenv("OMBREL_TRANSPORT_DIAGNOSTICS");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" client_rtt_ms=42.0 interval_s=1.0 tcp_rtt_ms="), std::string::npos)
      << lines[0];
  EXPECT_NE(lines[0].find(" app_pending_bytes=321"), std::string::npos) << lines[0];
}

}  // namespace
}  // namespace ombrel
