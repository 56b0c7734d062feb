// A whole stream on one machine: a known picture drawn on a private Xvfb by a test X client, a
// real HostSession on loopback TCP with the process's StreamingServices installed, and the
// reference client's stream mode in this process decoding what arrives.

#include <gtest/gtest.h>
#include <stdlib.h>

// Before Xlib, whose Status macro would rewrite the client's enum of that name.
#include "tools/ombrel-client/client_session.h"
#include "tools/ombrel-client/stream_mode.h"
// clang-format off
#include "host/x11_test_client.h"
// clang-format on

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "OmbrelKit/nv_connection.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "Ombrel_Remote_Host/stream/streaming_services.h"
#include "base/log.h"
#include "host/fake_host_session_delegate.h"
#include "support/loopback.h"
#include "support/mailbox.h"
#include "support/temp_home.h"

// libx265 3.5 loses a few small blocks of every encoder it opens (FrameFilter::init); the HEVC
// stream opens one, so the leak checker is told about the library's own loss.
extern "C" const char* __lsan_default_suppressions() { return "leak:libx265.so\n"; }

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr unsigned long red = 0xFF0000, green = 0x00FF00, blue = 0x0000FF, white = 0xFFFFFF;
constexpr unsigned long yellow = 0xFFFF00;

// Equal up to what a lossy codec and a colour-space round trip change.
bool near(std::uint32_t got, std::uint32_t want) {
  for (int shift : {0, 8, 16}) {
    int a = static_cast<int>((got >> shift) & 0xFF), b = static_cast<int>((want >> shift) & 0xFF);
    if (std::abs(a - b) > 40) return false;
  }
  return true;
}

struct Decoded {
  bool isKeyframe = false;
  DecodedPicture picture;
};

class StreamEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new test::XvfbServer("1920x1080x24");
    // The screen layer works on the desktop named by $DISPLAY.
    if (server->ok()) setenv("DISPLAY", server->display().c_str(), 1);
  }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server->ok());
    // The desktop is the Xvfb, even when the tests run in a Wayland session.
    home.set("WAYLAND_DISPLAY", std::nullopt);
    home.set("XDG_SESSION_TYPE", std::nullopt);
    log::setSink([](std::string_view) {});
    painter = std::make_unique<test::X11TestClient>(server->display());
    // Four quadrants of known colours over the whole screen.
    ::Window w = painter->window(0, 0, 1920, 1080, 0);
    painter->fill(w, 0, 0, 960, 540, red);
    painter->fill(w, 960, 0, 960, 540, green);
    painter->fill(w, 0, 540, 960, 540, blue);
    painter->fill(w, 960, 540, 960, 540, white);
    canvas = w;
    services = std::make_unique<StreamingServices>(runtime, StreamingServices::Options{});
  }
  void TearDown() override {
    for (auto& s : sessions) s->disconnect();
    for (auto& s : sessions) s->conn()->queue()->sync([] {});
    runtime.mainQueue()->sync([] {});
    // The ended streams release their sleep assertions on the blocking worker, into `host`'s
    // power manager, which goes before the runtime that would otherwise stop the worker.
    runtime.blockingWorker()->stop();
    log::setSink({});
  }

  struct Run {
    std::vector<nlohmann::json> events;
    int status = -1;
    nlohmann::json event(const std::string& name) const {
      for (auto& e : events) {
        if (e["event"] == name) return e;
      }
      return {};
    }
  };

  // Streams with `config` until the client's time is up; every decoded picture goes to
  // `decoded`.
  std::future<Run> stream(StreamMode::Config config, bool trusted = true) {
    config.onDecoded = [this](const VideoFrame& frame, const StreamReceiver& receiver) {
      decoded.put(Decoded{frame.isKeyframe, receiver.lastPicture().value_or(DecodedPicture{})});
    };
    auto listener = std::make_shared<test::LoopbackListener>(runtime.context());
    DeviceIdentity identity(Bytes(32, 0x44));
    if (trusted) host.setTrusted(identity.publicKey(), false);
    ClientSession::Options options{.host = "127.0.0.1",
                                   .port = listener->port(),
                                   .name = "測試",
                                   .timeout = 30,
                                   .mode = std::make_shared<StreamMode>(std::move(config))};
    auto run = std::async(std::launch::async, [this, options, identity] {
      HostPins pins(home.dataHome() / "pins.json");
      std::ostringstream out;
      auto client = std::make_shared<ClientSession>(options, identity, pins, out, clientRuntime);
      Run result;
      result.status = client->run();
      std::istringstream lines(out.str());
      for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) result.events.push_back(nlohmann::json::parse(line));
      }
      return result;
    });
    auto conn = NVConnection::create(listener->accept(), NVConnection::Role::host,
                                     DeviceIdentity(Bytes(32, 0x22)), std::nullopt, runtime);
    auto session = HostSession::create(conn, "直連", host);
    session->setRemoteIP("127.0.0.1");
    services->install(session);
    session->start();
    sessions.push_back(session);
    return run;
  }

  // The pictures decoded within `window`.
  std::vector<Decoded> during(Clock::duration window) {
    std::vector<Decoded> out;
    auto end = Clock::now() + window;
    while (Clock::now() < end) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
      if (auto d = decoded.take(std::max(left, 1ms))) out.push_back(std::move(*d));
    }
    return out;
  }

  static void expectQuadrants(const DecodedPicture& p, unsigned long topLeft) {
    ASSERT_GT(p.width, 0);
    const std::int64_t w = p.width, h = p.height;
    EXPECT_PRED2(near, p.pixel(w / 4, h / 4), topLeft);
    EXPECT_PRED2(near, p.pixel(3 * w / 4, h / 4), green);
    EXPECT_PRED2(near, p.pixel(w / 4, 3 * h / 4), blue);
    EXPECT_PRED2(near, p.pixel(3 * w / 4, 3 * h / 4), white);
  }

  static inline test::XvfbServer* server = nullptr;
  test::TempHome home;
  Runtime runtime;
  Runtime clientRuntime;
  test::FakeHostSessionDelegate host{runtime};
  std::unique_ptr<StreamingServices> services;
  std::unique_ptr<test::X11TestClient> painter;
  ::Window canvas = 0;
  test::Mailbox<Decoded> decoded;
  std::vector<std::shared_ptr<HostSession>> sessions;
};

class StreamEndToEndCodecs : public StreamEndToEnd,
                             public ::testing::WithParamInterface<VideoCodec> {};

TEST_P(StreamEndToEndCodecs, DecodesTheDrawnPictureAndSavesAStreamAPlayerOpens) {
  const VideoCodec codec = GetParam();
  const auto dir = home.dataHome();
  std::filesystem::create_directories(dir);
  StreamMode::Config config;
  config.stream.codec = codec;
  config.stream.maxWidth = 1280;
  config.stream.maxHeight = 720;
  // Receipts are exercised with one codec, the send-queue budget with the other.
  config.stream.receiverPacing = codec == VideoCodec::h264;
  config.seconds = 2;
  config.saveFile = (dir / "stream.es").string();
  config.pngFile = (dir / "frame.png").string();
  auto run = stream(config);

  auto first = decoded.take(15s);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->isKeyframe);
  EXPECT_EQ(first->picture.width, 1280);
  EXPECT_EQ(first->picture.height, 720);
  expectQuadrants(first->picture, red);

  Run result = run.get();
  EXPECT_EQ(result.status, 0);
  auto started = result.event("streamStarted");
  EXPECT_EQ(started["codec"], std::string(rawValue(codec)));
  EXPECT_EQ(started["width"], 1280);
  auto summary = result.event("streamSummary");
  ASSERT_FALSE(summary.is_null());
  EXPECT_EQ(summary["layoutErrors"], 0);
  EXPECT_GE(summary["frames"].get<int>(), 1);
  EXPECT_EQ(summary["decoded"], summary["frames"]);
  EXPECT_GE(summary["cursorPositions"].get<int>(), 1);
  EXPECT_GE(summary["cursorImages"].get<int>(), 1);
  EXPECT_EQ(result.event("png")["width"], 1280);
  EXPECT_TRUE(std::filesystem::file_size(config.pngFile) > 0);

  // The saved elementary stream decodes again, as a player cut into access units would.
  std::ifstream file(config.saveFile, std::ios::binary);
  Bytes saved((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  ASSERT_GT(saved.size(), 5u);
  EXPECT_EQ(Bytes(saved.begin(), saved.begin() + 4), (Bytes{0, 0, 0, 1}));
  EXPECT_EQ(decodeElementaryStream(codec, saved), summary["frames"].get<std::int64_t>());
}

INSTANTIATE_TEST_SUITE_P(Codecs, StreamEndToEndCodecs,
                         ::testing::Values(VideoCodec::h264, VideoCodec::hevc),
                         [](const auto& info) { return std::string(rawValue(info.param)); });

TEST_F(StreamEndToEnd, StaticScreenSendsOnePictureAndTwoRefinementsAndAChangeThreeMore) {
  StreamMode::Config config;
  config.stream.maxWidth = 1280;
  config.stream.maxHeight = 720;
  config.stream.receiverPacing = true;
  config.seconds = 5;
  auto run = stream(config);

  auto first = decoded.take(15s);
  ASSERT_TRUE(first);
  EXPECT_TRUE(first->isKeyframe);
  // The refinements come 0.25 to 0.4 s after the picture; then nothing while the screen rests.
  auto rest = during(1500ms);
  ASSERT_EQ(rest.size(), 2u);
  for (auto& d : rest) {
    EXPECT_FALSE(d.isKeyframe);
    expectQuadrants(d.picture, red);
  }

  painter->fill(canvas, 0, 0, 960, 540, yellow);
  auto changed = during(1500ms);
  ASSERT_EQ(changed.size(), 3u);
  for (auto& d : changed) {
    EXPECT_FALSE(d.isKeyframe);
    expectQuadrants(d.picture, yellow);
  }
  Run result = run.get();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.event("streamSummary")["frames"], 6);
}

TEST_F(StreamEndToEnd, ADesktopThatRefusesTheHostIsReportedAsTheScreenPermission) {
  std::string gone;
  {
    test::XvfbServer ended("640x480x24");
    ASSERT_TRUE(ended.ok());
    gone = ended.display();
  }
  home.set("DISPLAY", gone);
  StreamMode::Config config;
  config.seconds = 1;
  Run result = stream(config).get();
  EXPECT_EQ(result.event("error")["message"],
            "電腦尚未允許「螢幕錄製」權限，請確認 X 伺服器允許 Ombrel Remote Host 連線（DISPLAY 與 "
            "XAUTHORITY）");
  EXPECT_TRUE(result.event("streamStarted").is_null());
}

TEST_F(StreamEndToEnd, AClientThatIsNotAuthorizedDoesNotAskForAStream) {
  Run result = stream(StreamMode::Config{}, false).get();
  EXPECT_EQ(result.status, ClientSession::refused);
  EXPECT_FALSE(result.event("hello")["authorized"]);
  EXPECT_TRUE(result.event("streamStarted").is_null());
  EXPECT_FALSE(decoded.take(100ms));
}

// A stream lets its sleep assertion go on the runtime's blocking worker, and the worker may get
// to it only once the session, and the host the test built, are gone (the fixture's runtime
// outlives its host). The release must then never run: the host's power manager is gone too.
TEST(FakeHostSessionDelegateTeardown, AReleaseStillWaitingOnTheWorkerNeverRunsOnceTheHostIsGone) {
  Runtime runtime(Runtime::Options{.blocking = {.threads = 1}});
  const auto worker = runtime.blockingWorker();
  auto host = std::make_unique<test::FakeHostSessionDelegate>(runtime);
  PowerManager* power = &host->powerManager();
  const std::uint32_t id = power->createAssertion(PowerAssertionType::idleSystemSleep, "串流");
  ASSERT_NE(id, 0u);

  std::atomic<bool> queued{false}, hostGone{false}, ranLate{false};
  // Holds the worker's only thread, so the release waits behind it, until the host is gone or
  // the host's teardown took the release off the worker.
  ASSERT_TRUE(worker->post([&] {
    const auto limit = Clock::now() + 60s;
    while (Clock::now() < limit && !(queued && (hostGone || worker->backlog() == 0))) {
      std::this_thread::sleep_for(1ms);
    }
  }));
  EXPECT_TRUE(worker->post([&, power, id] {
    if (hostGone) {
      ranLate = true;  // the real call would write into the destroyed power manager
    } else {
      power->releaseAssertion(id);
    }
  }));
  queued = true;
  host.reset();
  hostGone = true;
  // A worker still running gets through the release before this.
  std::promise<void> drained;
  if (worker->post([&] { drained.set_value(); })) drained.get_future().wait_for(60s);
  worker->stop();
  EXPECT_FALSE(ranLate);
}

// The client's layout check, which the end-to-end runs rely on to catch malformed frames.
TEST(StreamReceiverLayout, AcceptsWellFormedFramesAndNamesEachFault) {
  auto units = [](std::vector<Bytes> nals) {
    Bytes out;
    for (auto& n : nals) {
      Bytes prefix{0, 0, 0, static_cast<std::uint8_t>(n.size())};
      out.insert(out.end(), prefix.begin(), prefix.end());
      out.insert(out.end(), n.begin(), n.end());
    }
    return out;
  };
  const Bytes sps{0x67, 1}, pps{0x68, 2}, idr{0x65, 3}, slice{0x41, 4};
  const Bytes vps{0x40, 1}, hsps{0x42, 1}, hpps{0x44, 1}, hidr{0x26, 1}, htrail{0x02, 1};
  VideoFrame key{.isKeyframe = true,
                 .codec = VideoCodec::h264,
                 .parameterSets = {sps, pps},
                 .payload = units({idr})};
  VideoFrame delta{.codec = VideoCodec::h264, .payload = units({slice})};
  VideoFrame hevcKey{.isKeyframe = true,
                     .codec = VideoCodec::hevc,
                     .parameterSets = {vps, hsps, hpps},
                     .payload = units({hidr})};
  EXPECT_EQ(StreamReceiver::checkLayout(key, true), std::nullopt);
  EXPECT_EQ(StreamReceiver::checkLayout(delta, false), std::nullopt);
  EXPECT_EQ(StreamReceiver::checkLayout(hevcKey, true), std::nullopt);
  EXPECT_EQ(StreamReceiver::annexB(key),
            (Bytes{0, 0, 0, 1, 0x67, 1, 0, 0, 0, 1, 0x68, 2, 0, 0, 0, 1, 0x65, 3}));

  auto with = [](VideoFrame f, auto change) {
    change(f);
    return f;
  };
  struct Case {
    const char* what;
    VideoFrame frame;
    bool first;
  } faults[] = {
      {"first frame not key", delta, true},
      {"key without sets", with(key, [](auto& f) { f.parameterSets.clear(); }), false},
      {"sets out of order",
       with(key,
            [&](auto& f) {
              f.parameterSets = {pps, sps};
            }),
       false},
      {"hevc sets missing VPS",
       with(hevcKey,
            [&](auto& f) {
              f.parameterSets = {hsps, hpps};
            }),
       false},
      {"sets on a delta",
       with(delta,
            [&](auto& f) {
              f.parameterSets = {sps, pps};
            }),
       false},
      {"truncated length", with(delta, [](auto& f) { f.payload.resize(f.payload.size() - 1); }),
       false},
      {"trailing bytes", with(delta, [](auto& f) { f.payload.push_back(0); }), false},
      {"empty unit",
       with(delta,
            [&](auto& f) {
              f.payload = Bytes{0, 0, 0, 0};
            }),
       false},
      {"set inside payload",
       with(delta,
            [&](auto& f) {
              f.payload = units({sps, slice});
            }),
       false},
      {"idr not flagged", with(delta, [&](auto& f) { f.payload = units({idr}); }), false},
      {"key without idr", with(key, [&](auto& f) { f.payload = units({slice}); }), false},
      {"hevc key without irap", with(hevcKey, [&](auto& f) { f.payload = units({htrail}); }),
       false},
  };
  for (auto& c : faults)
    EXPECT_NE(StreamReceiver::checkLayout(c.frame, c.first), std::nullopt) << c.what;
}

}  // namespace
}  // namespace ombrel
