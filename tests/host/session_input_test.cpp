// Remote input and wake requests wired into a real HostSession: the reference client runs an
// input script over loopback, and a plain X client on a private Xvfb records what arrives.
// Wake requests are served inside a network namespace the test creates.
//
// GoogleTest and the X test helpers before Xlib: its macros would break GoogleTest.
#include "host/x_test_server.h"
// clang-format off
#include <X11/keysym.h>
// clang-format on

#include <stdio.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/tcp_transport.h"
#include "Ombrel_Remote_Host/input/fake/fake_caret_locator.h"
#include "Ombrel_Remote_Host/input/session_input_services.h"
#include "Ombrel_Remote_Host/platform/fake/fake_power_manager.h"
#include "Ombrel_Remote_Host/platform/fake/fake_screen_lock.h"
#include "Ombrel_Remote_Host/power/wake_on_lan.h"
#include "base/log.h"
#include "host/fake_host_session_delegate.h"
#include "host/reference_client.h"
#include "host/wake_namespaces.h"
#include "support/loopback.h"
#include "support/mailbox.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using test::FakeHostSessionDelegate;
using xtest::SeenEvent;

// Runs the reference client against a fresh session with the input services installed and
// returns the client's JSON events once it has exited.
class ClientRun {
 public:
  ClientRun(Runtime& runtime, FakeHostSessionDelegate& host, InputServices& services,
            const std::string& arguments) {
    test::LoopbackListener listener(runtime.context());
    auto output = test::startReferenceClient(listener.port(), arguments);
    auto conn = NVConnection::create(listener.accept(), NVConnection::Role::host,
                                     DeviceIdentity(Bytes(32, 0x22)), std::nullopt, runtime);
    session = HostSession::create(conn, "直連", host);
    session->setRemoteIP("127.0.0.1");
    session->onEnded = [this](const std::shared_ptr<HostSession>&) { ended.put(true); };
    input = services.install(session);
    if (onInstalled) onInstalled(*input, *session);
    session->start();
    events = test::jsonLines(output.get());
  }

  std::vector<nlohmann::json> named(const std::string& name) const {
    std::vector<nlohmann::json> out;
    for (const auto& e : events) {
      if (e["event"] == name) out.push_back(e);
    }
    return out;
  }

  static inline std::function<void(SessionInput&, HostSession&)> onInstalled;
  std::shared_ptr<HostSession> session;
  std::shared_ptr<SessionInput> input;
  std::vector<nlohmann::json> events;
  test::Mailbox<bool> ended;
};

class SessionInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new test::XvfbServer("1920x1080x24"); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server->ok()) << "Xvfb did not start";
    window = std::make_unique<xtest::XTestWindow>(server->display());
    ASSERT_TRUE(window->display());
    std::shared_ptr<InputSink> sink = X11InputSink::open(server->display());
    ASSERT_TRUE(sink);
    caret->caret = InputRect{1150, 380, 2, 20};
    deps = {
        .sink = sink,
        .caretLocator = caret,
        .powerManager = power,
        .screenLock = std::make_shared<FakeScreenLock>(),
        .blockingWorker = runtime.blockingWorker(),
        .clock = runtime.sharedClock(),
        .mainDisplayBounds =
            [] {
              return InputRect{0, 0, 1920, 1080};
            },
    };
    services = InputServices::create(deps);
  }
  void TearDown() override { ClientRun::onInstalled = nullptr; }

  std::string script(const std::string& text) {
    const std::string path = (home.root() / "script.txt").string();
    std::ofstream(path) << text;
    return path;
  }

  // Whether the X server still has a key or a pointer button down.
  bool anythingHeld() {
    char keys[32];
    XQueryKeymap(window->display(), keys);
    for (char k : keys) {
      if (k) return true;
    }
    Window root, child;
    int rx, ry, wx, wy;
    unsigned mask = 0;
    XQueryPointer(window->display(), DefaultRootWindow(window->display()), &root, &child, &rx, &ry,
                  &wx, &wy, &mask);
    return (mask & (Button1Mask | Button2Mask | Button3Mask)) != 0;
  }

  static inline test::XvfbServer* server = nullptr;
  test::TempHome home;
  Runtime runtime;
  FakeHostSessionDelegate host{runtime};
  std::shared_ptr<FakePowerManager> power = std::make_shared<FakePowerManager>();
  std::shared_ptr<FakeCaretLocator> caret = std::make_shared<FakeCaretLocator>();
  InputServices::Dependencies deps;
  std::shared_ptr<InputServices> services;
  std::unique_ptr<xtest::XTestWindow> window;
};

TEST_F(SessionInputTest, AWaylandSessionOpensNoSinkAndSaysRemoteInputNeedsX11) {
  // No accessibility bus: the caret locator that comes with an X11 sink finds none.
  home.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (home.root() / "no-bus").string());
  home.set("AT_SPI_BUS_ADDRESS", std::nullopt);
  std::mutex linesLock;
  std::vector<std::string> lines;
  log::setSink([&](std::string_view line) {
    std::lock_guard lock(linesLock);
    lines.emplace_back(line);
  });
  // Whether the services can inject, and whether they said remote input needs X11, with one
  // variable of the session set. The X display works: only the session kind can keep input off.
  auto openWith = [&](const char* variable, const char* value) {
    home.set("WAYLAND_DISPLAY", std::nullopt);
    home.set("XDG_SESSION_TYPE", std::nullopt);
    home.set(variable, value);
    {
      std::lock_guard lock(linesLock);
      lines.clear();
    }
    auto opened =
        InputServices::open(runtime, power, std::make_shared<FakeScreenLock>(), server->display());
    std::lock_guard lock(linesLock);
    const bool said = std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
      return l.find("remote input needs an X11 session") != std::string::npos;
    });
    return std::pair{opened->canInject(), said};
  };
  EXPECT_EQ(openWith("WAYLAND_DISPLAY", "wayland-0"), std::pair(false, true));
  EXPECT_EQ(openWith("XDG_SESSION_TYPE", "wayland"), std::pair(false, true));
  EXPECT_EQ(openWith("XDG_SESSION_TYPE", "x11"), std::pair(true, false));
  log::setSink({});
}

TEST_F(SessionInputTest, AScriptArrivesAsTheDesktopsInputAndTheEndReleasesWhatIsHeld) {
  host.setTrusted(DeviceIdentity::loadOrCreate("client").publicKey(), false);
  // The stream put the session on a display at (1000, 200), 400 x 300 points.
  std::mutex postedLock;
  std::vector<PostedEvent> posted;
  ClientRun::onInstalled = [&](SessionInput& input, HostSession&) {
    input.setDisplayBounds({1000, 200, 400, 300});
    input.injector()->onPost = [&](const PostedEvent& e) {
      std::lock_guard lock(postedLock);
      posted.push_back(e);
    };
  };
  const std::string path = script(
      "# every kind of line\n"
      "move 0.25 0.5\n"
      "click left 2\n"
      "key a +shift\n"
      "text \"中文é😀\"\n"
      "down left\n"
      "down b\n"
      "down ctrl\n");
  ClientRun run(runtime, host, *services, "--input " + path + " --linger 1");
  ASSERT_EQ(run.named("inputSent").size(), 1u);
  EXPECT_EQ(run.named("inputSent")[0]["events"], 13);
  ASSERT_TRUE(run.ended.take());

  // 3 presses and releases of buttons, 8 of keys.
  const auto seen = window->collect({ButtonPress, ButtonRelease, KeyPress, KeyRelease}, 22);
  const auto moves = window->collect({MotionNotify}, 1);
  std::vector<SeenEvent> presses, releases, keys;
  for (const SeenEvent& e : seen) {
    if (e.type == ButtonPress) presses.push_back(e);
    if (e.type == ButtonRelease) releases.push_back(e);
    if (e.type == KeyPress) keys.push_back(e);
  }
  ASSERT_FALSE(moves.empty());
  EXPECT_EQ(moves[0].x, 1100);
  EXPECT_EQ(moves[0].y, 350);
  ASSERT_EQ(presses.size(), 3u);
  for (const SeenEvent& p : presses) EXPECT_EQ((std::pair{p.x, p.y}), (std::pair{1100, 350}));
  {
    std::lock_guard lock(postedLock);
    std::vector<int> clickStates;
    for (const auto& e : posted) {
      if (e.type == PostedEvent::Type::leftMouseDown) clickStates.push_back(e.clickState);
    }
    // The second press of the pair is a double click (the held press that follows counts on,
    // or starts anew when a loaded machine took longer than the double-click interval).
    ASSERT_EQ(clickStates.size(), 3u);
    EXPECT_EQ(clickStates[0], 1);
    EXPECT_EQ(clickStates[1], 2);
  }
  // While b is held the X server repeats it; the repeats stop when the session ends.
  std::vector<KeySym> typed;
  for (const SeenEvent& k : keys) {
    if (k.keysym != XK_b || std::find(typed.begin(), typed.end(), XK_b) == typed.end()) {
      typed.push_back(k.keysym);
    }
  }
  const std::vector<KeySym> expected = {XK_Shift_L, XK_A,      0x1004E2D, 0x1006587,
                                        0x10000E9,  0x101F600, XK_b,      XK_Control_L};
  EXPECT_EQ(typed, expected);
  ASSERT_GE(keys.size(), 2u);
  EXPECT_TRUE(keys[1].state & ShiftMask);

  // The client left holding the left button, b and control: the session's end let go of all.
  ASSERT_EQ(releases.size(), 3u);
  EXPECT_EQ(releases.back().button, 1u);
  EXPECT_FALSE(anythingHeld());

  // Every event declared user activity; the caret was looked up once per pause, not per key.
  const auto activities = power->activities();
  EXPECT_GE(activities.size(), 13u);
  EXPECT_EQ(activities.front(), "Ombrel Remote remote input");
  const auto carets = run.named("caret");
  ASSERT_GE(carets.size(), 1u);
  EXPECT_LT(caret->queries, 12);  // one per event would be 12
  EXPECT_DOUBLE_EQ(carets[0]["x"].get<double>(), (1151.0 - 1000) / 400);
  EXPECT_DOUBLE_EQ(carets[0]["y"].get<double>(), (400.0 - 200) / 300);
  EXPECT_TRUE(carets[0]["visible"]);
}

// A screen lock whose bus does not answer until the test lets it.
class StuckScreenLock : public ScreenLock {
 public:
  explicit StuckScreenLock(std::shared_future<void> released) : released_(std::move(released)) {}
  bool isLocked() override {
    ++calls;
    released_.wait();
    return true;
  }
  ScreenLockMethod lock() override { return ScreenLockMethod::none; }

  std::atomic<int> calls{0};

 private:
  const std::shared_future<void> released_;
};

TEST_F(SessionInputTest, AHungBusHoldsUpNoInputAndOnlyTheNewestLookupsWait) {
  host.setTrusted(DeviceIdentity::loadOrCreate("client").publicKey(), false);
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  auto screenLock = std::make_shared<StuckScreenLock>(released);
  caret->hold = released;
  deps.screenLock = screenLock;
  services = InputServices::create(deps);
  test::Mailbox<std::string> clickLines;
  log::setSink([&](std::string_view line) {
    if (line.find("Remote click") != std::string_view::npos) clickLines.put(std::string(line));
  });
  struct SinkReset {
    ~SinkReset() { log::setSink({}); }
  } sinkReset;
  // The session's input and its connection queue.
  test::Mailbox<std::pair<std::shared_ptr<SessionInput>, std::shared_ptr<SerialQueue>>> installed;
  ClientRun::onInstalled = [&](SessionInput& input, HostSession& session) {
    installed.put({input.shared_from_this(), session.conn()->queue()});
  };

  // The client's 100 presses reach the desktop while the lock's bus hangs; once the caret
  // lookup hangs too, 100 more go in on the connection queue. The lookups behind them stay one
  // running and one waiting per lane.
  const auto worker = runtime.blockingWorker();
  std::size_t presses = 0;
  bool injectedWhileStuck = false;
  int lockCalls = 0, caretQueries = 0;
  std::size_t backlog = 0;
  std::uint64_t coalesced = 0, dropped = 0;
  test::Mailbox<bool> injected;
  std::thread checker([&] {
    const auto session = installed.take();
    // collect() gives up after a few seconds; a loaded machine gets a few rounds.
    const auto pressed = [&](std::size_t count) {
      for (int round = 0; round < 6 && presses < count; ++round) {
        presses = window->collect({ButtonPress}, count).size();
      }
    };
    pressed(100);
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (caret->queries == 0 && std::chrono::steady_clock::now() < limit) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (session) {
      session->second->post([&, input = session->first] {
        // What the session's input handler does with each message.
        for (int i = 0; i < 200; ++i) {
          const InputEvent e{InputEvent::Button{.button = MouseButton::left, .down = i % 2 == 0}};
          input->handleInput(NVJSON::encode(e));
        }
        injected.put(true);
      });
      injectedWhileStuck = injected.take(std::chrono::seconds(30)).value_or(false);
      pressed(200);
    }
    lockCalls = screenLock->calls;
    caretQueries = caret->queries;
    backlog = worker->backlog();
    coalesced = worker->coalesced();
    dropped = worker->dropped();
    caret->caret = InputRect{1250, 480, 2, 20};  // the caret moved meanwhile
    release.set_value();
  });
  std::string clicks;
  for (int i = 0; i < 100; ++i) clicks += "click left\n";
  ClientRun run(runtime, host, *services, "--input " + script(clicks) + " --linger 8");
  checker.join();

  EXPECT_TRUE(injectedWhileStuck);
  EXPECT_EQ(presses, 200u);
  EXPECT_EQ(lockCalls, 1);
  EXPECT_EQ(caretQueries, 1);
  EXPECT_LE(backlog, 2u);
  EXPECT_GE(coalesced, 100u);
  EXPECT_EQ(dropped, 0u);
  // Released, the presses have their log lines, bar those beyond the bound, which are
  // counted; the last report gives the caret's latest place.
  ASSERT_TRUE(run.ended.take());
  const std::uint64_t unlogged = run.input->unloggedClicks();
  EXPECT_GT(unlogged, 0u);
  for (std::uint64_t i = 0; i < 200 - unlogged; ++i) {
    const auto line = clickLines.take();
    ASSERT_TRUE(line) << i;
    EXPECT_NE(line->find("accessibility=true locked=true"), std::string::npos) << *line;
  }
  EXPECT_EQ(screenLock->calls, 2);
  EXPECT_EQ(caret->queries, 2);
  const auto carets = run.named("caret");
  ASSERT_FALSE(carets.empty());
  EXPECT_DOUBLE_EQ(carets.back()["x"].get<double>(), 1251.0 / 1920);
  EXPECT_DOUBLE_EQ(carets.back()["y"].get<double>(), 500.0 / 1080);
}

TEST_F(SessionInputTest, AnUnpairedClientsInputIsIgnored) {
  // The client does not send input before it is authorized (the session ignores it anyway:
  // host_session_test); the owner's device afterwards drives the desktop.
  ClientRun stranger(runtime, host, *services, "--input " + script("click right\n"));
  ASSERT_TRUE(stranger.ended.take());
  EXPECT_TRUE(stranger.named("inputSent").empty());
  host.setTrusted(DeviceIdentity::loadOrCreate("client").publicKey(), false);
  ClientRun owner(runtime, host, *services, "--input " + script("click middle\n"));
  ASSERT_TRUE(owner.ended.take());
  const auto presses = window->collect({ButtonPress}, 1);
  ASSERT_EQ(presses.size(), 1u);
  EXPECT_EQ(presses[0].button, 2u);
  EXPECT_TRUE(stranger.named("caret").empty());
}

TEST(InputScriptTest, ErrorsNameTheLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"move 0.5 0.5\njump 1\n", "line 2: unknown command \"jump\""},
      {"\n\nmove 2 0\n", "line 3: move takes coordinates from 0 to 1"},
      {"key a shift\n", "line 1: modifiers are written +shift"},
      {"key nokey\n", "line 1: unknown key \"nokey\""},
      {"text \"a\"b\"\n", "line 1: a quote inside the text must be written \\\""},
      {"click left 0\n", "line 1: a click count is a whole number from 1 to 10"},
  };
  for (const auto& [text, error] : cases) {
    const std::string command = std::string(OMBREL_BINARY_DIR) +
                                "/tools/ombrel-client/ombrel-client --connect 127.0.0.1:1 " +
                                "--input - 2>&1 >/dev/null";
    FILE* pipe = popen(("printf '%s' '" + std::string(text) + "' | " + command).c_str(), "r");
    ASSERT_TRUE(pipe);
    std::string out;
    char buffer[512];
    while (std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 2) << text;
    EXPECT_NE(out.find(error), std::string::npos) << out;
  }
}

// Wake requests ----------------------------------------------------------------------------

TEST(SessionWakeTest, TheHandlerSkipsInvalidAddressesAndCountsItsSends) {
  if (geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
  test::WakeNamespaces namespaces;
  if (!namespaces.ok()) GTEST_SKIP() << "could not create network namespaces with ip netns";
  test::TempHome home;
  test::Mailbox<std::string> lines;
  log::setSink([&](std::string_view line) {
    if (line.find("wake-on-LAN") != std::string_view::npos) lines.put(std::string(line));
  });

  const std::string mac = "aa:bb:cc:dd:ee:ff";
  const Bytes packet = WakeOnLAN::magicPacket(*WakeOnLAN::parseMAC(mac));
  std::optional<test::Received> received;

  // Host and client on the sender namespace's loopback: every thread of this runtime is
  // started from a thread inside it, so the broadcasts leave only through its veth link.
  bool entered = false;
  std::thread([&] {
    if (!test::enterNamespace(namespaces.sender)) return;
    entered = true;
    Runtime runtime;
    FakeHostSessionDelegate host(runtime);
    const DeviceIdentity client(Bytes(32, 0x44));
    host.setTrusted(client.publicKey(), false);
    // No input sink: remote input is off here, and wake requests are served all the same.
    auto services = InputServices::create({.blockingWorker = runtime.blockingWorker()});
    EXPECT_FALSE(services->canInject());
    test::LoopbackListener loopback(runtime.context());
    test::Mailbox<bool> hello;
    auto clientConn =
        NVConnection::create(TCPTransport::connect("127.0.0.1", loopback.port()),
                             NVConnection::Role::client, client, std::nullopt, runtime);
    clientConn->onReady = [&] {
      clientConn->sendJSON(
          MessageType::clientHello,
          ClientHello{.deviceName = "測試", .model = "Linux", .protocolVersion = 2});
    };
    clientConn->onMessage = [&](MessageType type, Bytes) {
      if (type == MessageType::hostHello) hello.put(true);
    };
    clientConn->start();
    auto conn = NVConnection::create(loopback.accept(), NVConnection::Role::host,
                                     DeviceIdentity(Bytes(32, 0x22)), std::nullopt, runtime);
    auto session = HostSession::create(conn, "直連", host);
    session->setRemoteIP("127.0.0.1");
    services->install(session);
    session->start();

    if (hello.take()) {
      // The receiver counts until half a second passes without a packet: start it only now.
      const test::NamespaceChild receiver = test::startIn(namespaces.receiver, [&](int readyFd) {
        return test::countMagicPackets(readyFd, packet);
      });
      if (test::waitReady(receiver)) {
        clientConn->sendJSON(MessageType::wakeRequest,
                             WakeRequest{.macAddresses = {"not a mac", mac, "aa:bb:cc:dd:ee"}});
      }
      received = test::finish<test::Received>(receiver);
    }
    clientConn->close();
    session->disconnect();
    conn->queue()->sync([] {});
    clientConn->queue()->sync([] {});
    runtime.mainQueue()->sync([] {});
  }).join();
  log::setSink({});
  ASSERT_TRUE(entered) << "could not enter the sender namespace";
  const auto line = lines.take();
  ASSERT_TRUE(line);
  EXPECT_EQ(*line,
            "Ombrel Remote: wake-on-LAN for [\"not a mac\", \"aa:bb:cc:dd:ee:ff\", "
            "\"aa:bb:cc:dd:ee\"] sent 4 packets");
  ASSERT_TRUE(received);
  EXPECT_EQ(received->port9, 2);
  EXPECT_EQ(received->port7, 2);
}

}  // namespace
}  // namespace ombrel
