// The AI channel wired into a real HostSession over loopback: a client's aiRequests against
// a scripted desktop (fake displays, capturer and pointer) and a scripted accessibility tree.
#include "Ombrel_Remote_Host/ai/ai_services.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/tcp_transport.h"
#include "Ombrel_Remote_Host/ai/ai_channel.h"
#include "Ombrel_Remote_Host/ai/fake/fake_ui_tree_source.h"
#include "Ombrel_Remote_Host/screen/fake/fake_cursor_source.h"
#include "Ombrel_Remote_Host/screen/fake/fake_display_configuration.h"
#include "Ombrel_Remote_Host/screen/fake/fake_screen_capturer.h"
#include "Ombrel_Remote_Host/screen/png_encoder.h"
#include "base/blocking_worker.h"
#include "host/fake_host_session_delegate.h"
#include "support/loopback.h"
#include "support/mailbox.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

// A tree whose reads the test may hold back.
class HeldUITreeSource : public FakeUITreeSource {
 public:
  HeldUITreeSource() {
    tree = {"Calculator",
            UINode{.role = "Window",
                   .title = "計算機",
                   .children = std::vector<UINode>{{.role = "Button", .title = "7"}}}};
  }
  FrontmostTree frontmostTree(int maxDepth, int maxNodes) override {
    {
      std::unique_lock guard(mutex_);
      released_.wait(guard, [&] { return !held_; });
    }
    return FakeUITreeSource::frontmostTree(maxDepth, maxNodes);
  }
  void hold() {
    std::lock_guard guard(mutex_);
    held_ = true;
  }
  void release() {
    std::lock_guard guard(mutex_);
    held_ = false;
    released_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
};

// Records every announcement: where it ran and the name the interface would then show.
class AnnouncingDelegate : public test::FakeHostSessionDelegate {
 public:
  explicit AnnouncingDelegate(Runtime& runtime)
      : FakeHostSessionDelegate(runtime), runtime_(runtime) {}
  void sessionsChanged() override {
    bool onMain = runtime_.mainQueue()->isCurrent();
    auto services = ai.lock();
    announced.put({onMain, services && session ? services->agentName(*session) : std::nullopt});
  }

  struct Announcement {
    bool onMain = false;
    std::optional<std::string> name;
  };
  test::Mailbox<Announcement> announced;
  std::weak_ptr<AIServices> ai;
  HostSession* session = nullptr;

 private:
  Runtime& runtime_;
};

class AIChannelTest : public ::testing::Test {
 protected:
  AIChannelTest() {
    desktop->addDisplay(1, 0, 0, 1280, 800);
    desktop->addDisplay(2, 1280, 0, 1920, 1080);
    AIChannel::Dependencies screen{
        .displays = [this] { return noDisplays ? nullptr : desktop; },
        .openCapturer = [this](std::uint32_t id) -> std::unique_ptr<ScreenCapturer> {
          ++captureOpens;
          boundsAtCapture = static_cast<int>(inputBounds.size());
          for (const auto& rect : desktop->layout()) {
            if (rect.id != id) continue;
            auto capturer = std::make_unique<FakeScreenCapturer>(rect);
            capturer->setFailGrabs(failGrabs);
            return capturer;
          }
          return nullptr;
        },
        .cursor = [this] { return cursor; },
    };
    services = AIServices::create({
        .blockingWorker = runtime.blockingWorker(),
        .channel = std::make_shared<AIChannel>(std::move(screen)),
        .uiTree = tree,
        .onDisplayBounds = [this](const std::shared_ptr<HostSession>&,
                                  InputRect bounds) { inputBounds.put(bounds); },
    });
    host.ai = services;
  }
  ~AIChannelTest() override {
    tree->release();
    if (conn) conn->close();
    if (session) {
      session->disconnect();
      session->conn()->queue()->sync([] {});
    }
    runtime.mainQueue()->sync([] {});
  }

  // A trusted client (limited or not) connected to a started session with the AI channel.
  void connect(bool limited) {
    DeviceIdentity identity(Bytes(32, 0x41));
    host.setTrusted(identity.publicKey(), limited);
    test::LoopbackListener listener(runtime.context());
    conn = NVConnection::create(TCPTransport::connect("127.0.0.1", listener.port()),
                                NVConnection::Role::client, identity, std::nullopt, runtime);
    conn->onMessage = [this](MessageType type, Bytes body) {
      if (type == MessageType::aiResponse) responses.put(NVJSON::decode<AIResponse>(body));
      if (type == MessageType::hostHello) hellos.put(true);
    };
    conn->onReady = [this] { hellos.put(false); };
    conn->start();
    auto hostConn = NVConnection::create(listener.accept(), NVConnection::Role::host,
                                         host.identity(), std::nullopt, runtime);
    session = HostSession::create(hostConn, "直連", host);
    session->setRemoteIP("127.0.0.1");
    host.session = session.get();
    ai = services->install(session);
    session->start();
    ASSERT_EQ(hellos.take(), false);  // ready
    conn->sendJSON(MessageType::clientHello,
                   ClientHello{.deviceName = "Agent", .model = "Linux", .protocolVersion = 2});
    ASSERT_EQ(hellos.take(), true);
    // The session's own announcements (authorized) are not the AI channel's.
    runtime.mainQueue()->sync([] {});
    while (host.announced.take(0ms)) {
    }
  }

  void ask(AIRequest request) { conn->sendJSON(MessageType::aiRequest, request); }
  AIResponse answer() {
    auto response = responses.take(30s);
    EXPECT_TRUE(response) << "no answer";
    return response.value_or(AIResponse{});
  }

  Runtime runtime;
  AnnouncingDelegate host{runtime};
  std::shared_ptr<FakeDisplayConfiguration> desktop = std::make_shared<FakeDisplayConfiguration>();
  std::shared_ptr<FakeCursorSource> cursor = std::make_shared<FakeCursorSource>();
  std::shared_ptr<HeldUITreeSource> tree = std::make_shared<HeldUITreeSource>();
  std::atomic<int> captureOpens{0};
  std::atomic<int> boundsAtCapture{-1};  // how many input bounds were set when a grab began
  std::atomic<bool> failGrabs{false};
  std::atomic<bool> noDisplays{false};
  test::Mailbox<InputRect> inputBounds;
  std::shared_ptr<AIServices> services;

  std::shared_ptr<NVConnection> conn;
  std::shared_ptr<HostSession> session;
  std::shared_ptr<SessionAI> ai;
  test::Mailbox<AIResponse> responses;
  test::Mailbox<bool> hellos;
};

TEST_F(AIChannelTest, LimitedSessionIsRefusedEverythingAndNothingIsTouched) {
  connect(true);
  const AIRequest::Kind kinds[] = {AIRequest::Kind::hello, AIRequest::Kind::screenshot,
                                   AIRequest::Kind::uiTree, AIRequest::Kind::displays,
                                   AIRequest::Kind::goodbye};
  std::int64_t id = 0;
  for (auto kind : kinds) ask({.id = ++id, .kind = kind, .agentName = "Claude"});
  for (std::int64_t expected = 1; expected <= id; ++expected) {
    auto response = answer();
    EXPECT_EQ(response.id, expected);
    EXPECT_FALSE(response.ok);
    EXPECT_EQ(response.error, AIServices::limitedText);
    EXPECT_FALSE(response.png || response.tree || response.displays);
  }
  runtime.mainQueue()->sync([] {});
  EXPECT_EQ(captureOpens, 0);
  EXPECT_EQ(tree->queries, 0);
  EXPECT_EQ(cursor->rendered(), 0);
  EXPECT_EQ(host.announced.size(), 0u);
  EXPECT_EQ(services->agentName(*session), std::nullopt);
  EXPECT_TRUE(inputBounds.size() == 0);
}

TEST_F(AIChannelTest, AgentNameChangesAreAnnouncedOnTheMainQueue) {
  connect(false);
  struct Step {
    AIRequest::Kind kind;
    const char* agentName;  // null: none given
    bool announces;
    const char* announced;  // the name then shown; null: none
  } steps[] = {
      {AIRequest::Kind::hello, "Claude", true, "Claude"},
      {AIRequest::Kind::displays, nullptr, false, nullptr},
      {AIRequest::Kind::goodbye, nullptr, true, nullptr},
      {AIRequest::Kind::displays, nullptr, true, "AI"},
      {AIRequest::Kind::displays, nullptr, false, nullptr},
      {AIRequest::Kind::hello, "Codex", true, "Codex"},
  };
  std::int64_t id = 0;
  for (const auto& step : steps) {
    AIRequest request{.id = ++id, .kind = step.kind};
    if (step.agentName) request.agentName = step.agentName;
    ask(request);
    auto response = answer();
    EXPECT_EQ(response.id, id);
    EXPECT_TRUE(response.ok);
    if (step.kind == AIRequest::Kind::displays) {
      EXPECT_EQ(response.displays, host.displays());
    }
    runtime.mainQueue()->sync([] {});
    auto announcement = host.announced.take(0ms);
    ASSERT_EQ(announcement.has_value(), step.announces) << id;
    if (!announcement) continue;
    EXPECT_TRUE(announcement->onMain);
    EXPECT_EQ(announcement->name,
              step.announced ? std::optional<std::string>(step.announced) : std::nullopt);
  }
}

TEST_F(AIChannelTest, ScreenshotIsScaledWithThePointerAndMovesTheInputToItsDisplay) {
  // A red 20 x 20 pointer whose hot spot is its centre, in the middle of display 2.
  std::vector<std::uint8_t> red(20 * 20 * 4);
  for (std::size_t i = 0; i < red.size(); i += 4) {
    red[i] = 0xFF;
    red[i + 3] = 0xFF;
  }
  cursor->setImage({.png = encodeRGBAPNG(red.data(), 20, 20, 80),
                    .width = 20,
                    .height = 20,
                    .hotX = 10,
                    .hotY = 10},
                   1);
  cursor->move(1280 + 960, 540);
  connect(false);

  ask({.id = 7, .kind = AIRequest::Kind::screenshot, .displayID = 2, .maxSize = 1000});
  auto response = answer();
  ASSERT_TRUE(response.ok) << response.error.value_or("");
  EXPECT_EQ(response.pointWidth, 1920);
  EXPECT_EQ(response.pointHeight, 1080);
  ASSERT_TRUE(response.png);
  auto picture = decodeRGBAPNG(*response.png, 1920 * 1080);
  ASSERT_TRUE(picture);
  EXPECT_EQ(picture->width, 1000);
  EXPECT_EQ(picture->height, 562);
  auto pixel = [&](std::int64_t x, std::int64_t y) {
    const std::uint8_t* p = &picture->rgba[(y * picture->width + x) * 4];
    return std::array<int, 4>{p[0], p[1], p[2], p[3]};
  };
  // The box filter blends the pointer's edge a little into its middle.
  auto pointer = pixel(500, 281);
  EXPECT_GE(pointer[0], 240);
  EXPECT_LE(pointer[1] + pointer[2], 10);
  EXPECT_EQ(pixel(100, 100), (std::array<int, 4>{0, 0, 0, 255}));  // the desktop
  EXPECT_EQ(boundsAtCapture, 1) << "the input must follow before the picture is taken";
  auto bounds = inputBounds.take();
  ASSERT_TRUE(bounds);
  EXPECT_EQ(*bounds, (InputRect{1280, 0, 1920, 1080}));
}

TEST_F(AIChannelTest, ScreenshotFailuresAnswerTheirDescription) {
  connect(false);
  failGrabs = true;
  ask({.id = 1, .kind = AIRequest::Kind::screenshot, .displayID = 1});
  auto response = answer();
  EXPECT_FALSE(response.ok);
  EXPECT_EQ(response.error, AIChannel::captureFailedText);
  // The input still follows the display the agent asked about.
  auto bounds = inputBounds.take();
  ASSERT_TRUE(bounds);
  EXPECT_EQ(*bounds, (InputRect{0, 0, 1280, 800}));

  noDisplays = true;
  ask({.id = 2, .kind = AIRequest::Kind::screenshot});
  response = answer();
  EXPECT_FALSE(response.ok);
  EXPECT_EQ(response.error, AIChannel::noDisplayText);
}

TEST_F(AIChannelTest, UITreeAnswersTheFrontmostTree) {
  connect(false);
  ask({.id = 1, .kind = AIRequest::Kind::uiTree});
  auto response = answer();
  ASSERT_TRUE(response.ok);
  EXPECT_EQ(response.app, "Calculator");
  EXPECT_EQ(response.tree, tree->tree.tree);
  EXPECT_EQ(tree->lastMaxDepth, 12);
  EXPECT_EQ(tree->lastMaxNodes, 800);
}

TEST_F(AIChannelTest, UITreeWithoutAnAccessibilityBusSaysWhy) {
  tree->isAvailable = false;
  connect(false);
  ask({.id = 1, .kind = AIRequest::Kind::uiTree});
  auto response = answer();
  EXPECT_FALSE(response.ok);
  EXPECT_EQ(response.error, AIServices::treeUnavailableText);
  EXPECT_FALSE(response.tree);
  EXPECT_EQ(tree->queries, 0);
}

TEST_F(AIChannelTest, AFloodIsWorkedOnInOrderWithABoundedLine) {
  connect(false);
  tree->hold();  // the first read hangs until the whole flood has arrived
  constexpr std::int64_t flood = 1000;
  for (std::int64_t id = 1; id <= flood; ++id) ask({.id = id, .kind = AIRequest::Kind::uiTree});

  // One request is being read and maxWaitingRequests wait: the rest are refused at once.
  const std::int64_t kept = 1 + static_cast<std::int64_t>(AIServices::maxWaitingRequests);
  for (std::int64_t id = kept + 1; id <= flood; ++id) {
    auto response = answer();
    ASSERT_EQ(response.id, id);
    ASSERT_EQ(response.error, AIServices::busyText);
  }
  EXPECT_EQ(responses.size(), 0u);
  tree->release();
  for (std::int64_t id = 1; id <= kept; ++id) {
    auto response = answer();
    ASSERT_EQ(response.id, id);
    ASSERT_TRUE(response.ok);
  }
  EXPECT_EQ(responses.take(200ms), std::nullopt);
}

TEST(AIChannelSize, LongerSideIsScaledToTheLimitAndBothSidesTruncated) {
  struct Case {
    std::int64_t width, height;
    std::optional<std::int64_t> maxSize;
    std::int64_t outWidth, outHeight;
  } cases[] = {
      {1920, 1080, 1000, 1000, 562}, {3024, 1964, 1000, 1000, 649}, {1080, 1920, 1000, 562, 1000},
      {800, 600, 1000, 800, 600},    {1920, 1080, {}, 1920, 1080},  {1920, 1080, 0, 1, 1},
  };
  for (const auto& c : cases) {
    auto size = AIChannel::scaledSize(c.width, c.height, c.maxSize);
    EXPECT_EQ(size, (std::pair{c.outWidth, c.outHeight})) << c.width << "x" << c.height;
  }
}

}  // namespace
}  // namespace ombrel
