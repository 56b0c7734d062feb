// The session's clipboard sync over a real HostSession: a client NVConnection on loopback talks
// to the host, a FakePasteboard plays the desktop's clipboard and its owners, and a
// FakeInputSink under a real InputInjector records the paste shortcut.
#include "Ombrel_Remote_Host/clipboard/clipboard_sync.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/tcp_transport.h"
#include "Ombrel_Remote_Host/clipboard/fake/fake_pasteboard.h"
#include "Ombrel_Remote_Host/input/fake/fake_input_sink.h"
#include "Ombrel_Remote_Host/input/session_input_services.h"
#include "Ombrel_Remote_Host/platform/fake/fake_power_manager.h"
#include "host/fake_host_session_delegate.h"
#include "support/loopback.h"
#include "support/mailbox.h"

namespace ombrel {
namespace {

using test::FakeHostSessionDelegate;

struct Message {
  MessageType type;
  Bytes body;
};

bool isClipboard(MessageType type) {
  return type == MessageType::clipboard || type == MessageType::clipboardImage;
}

void appendU32(Bytes& out, std::uint32_t v) {
  for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void appendChunk(Bytes& out, const char* type, const Bytes& data) {
  appendU32(out, static_cast<std::uint32_t>(data.size()));
  Bytes typed(type, type + 4);
  typed.insert(typed.end(), data.begin(), data.end());
  out.insert(out.end(), typed.begin(), typed.end());
  std::uint32_t crc = 0xFFFFFFFF;
  for (std::uint8_t byte : typed) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
  }
  appendU32(out, ~crc);
}

// A PNG that declares `width` x `height` RGBA pixels; ImageGuard reads no further than that.
Bytes pngHeader(std::uint32_t width, std::uint32_t height) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  appendU32(ihdr, width);
  appendU32(ihdr, height);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  appendChunk(png, "IHDR", ihdr);
  appendChunk(png, "IDAT", {0x78, 0x9C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01});
  appendChunk(png, "IEND", {});
  return png;
}

Bytes textBody(const std::string& text) { return NVJSON::encode(ClipboardMessage{text}); }

class ClipboardSyncTest : public ::testing::Test {
 protected:
  ClipboardSyncTest() {
    input = InputServices::create({.sink = sink,
                                   .powerManager = power,
                                   .blockingWorker = runtime.blockingWorker(),
                                   .clock = runtime.sharedClock(),
                                   .mainDisplayBounds = [] {
                                     return InputRect{0, 0, 800, 600};
                                   }});
  }
  ~ClipboardSyncTest() override { disconnect(); }

  // Connects a trusted client (limited or not) and completes its hello.
  void connect(bool limited = false, std::uint8_t keyByte = 0x11) {
    const DeviceIdentity identity(Bytes(32, keyByte));
    host.setTrusted(identity.publicKey(), limited);
    test::LoopbackListener listener(runtime.context());
    conn = NVConnection::create(TCPTransport::connect("127.0.0.1", listener.port()),
                                NVConnection::Role::client, identity, std::nullopt, runtime);
    conn->onMessage = [box = messages](MessageType type, Bytes body) {
      box->put({type, std::move(body)});
    };
    auto ready = std::make_shared<test::Mailbox<bool>>();
    conn->onReady = [ready] { ready->put(true); };
    conn->start();
    session = HostSession::create(NVConnection::create(listener.accept(), NVConnection::Role::host,
                                                       host.identity(), std::nullopt, runtime),
                                  "直連", host);
    session->setRemoteIP("127.0.0.1");
    auto sessionInput = input->install(session);
    sync = clipboard->install(session, sessionInput);
    sessionInput->injector()->onPost = [this](const PostedEvent& e) {
      std::lock_guard lock(postedLock);
      posted.push_back({e, pasteboard->writes().size()});
    };
    session->start();
    ASSERT_TRUE(ready->take());
    conn->sendJSON(
        MessageType::clientHello,
        ClientHello{.deviceName = "Anna 的 iPhone", .model = "iPhone", .protocolVersion = 2});
    auto hello = NVJSON::decode<HostHello>(next(MessageType::hostHello).body);
    ASSERT_TRUE(hello.authorized);
  }

  void disconnect() {
    if (conn) conn->close();
    if (session) {
      session->disconnect();
      session->conn()->queue()->sync([] {});
    }
    runtime.mainQueue()->sync([] {});
    conn.reset();
    session.reset();
  }

  Message next(MessageType type) {
    while (auto m = messages->take()) {
      if (m->type == type) return *m;
    }
    ADD_FAILURE() << "no message of type " << int(rawValue(type));
    return {type, {}};
  }

  // The streaming timer's poll; returns once the read it started (if any and not held) has
  // been answered and the answer handled.
  void poll() {
    runtime.mainQueue()->sync([this] { clipboard->check(session); });
    settle();
  }
  void settle() {
    pasteboard->settle();
    runtime.mainQueue()->sync([] {});
  }

  // The clipboard messages the host sent before a ping's answer.
  std::vector<Message> sentClipboard() {
    conn->send(MessageType::ping, NVJSON::encode(PingMessage{.t = 1}));
    std::vector<Message> out;
    while (auto m = messages->take()) {
      if (m->type == MessageType::pong) return out;
      if (isClipboard(m->type)) out.push_back(*m);
    }
    ADD_FAILURE() << "no pong";
    return out;
  }

  std::string sentText() {
    auto sent = sentClipboard();
    if (sent.size() != 1 || sent[0].type != MessageType::clipboard) return "<nothing>";
    return NVJSON::decode<ClipboardMessage>(sent[0].body).text;
  }

  // Sends a client message and returns once the host handled it and its write ran.
  void receive(MessageType type, const Bytes& body) {
    conn->send(type, body);
    sentClipboard();
    runtime.mainQueue()->sync([] {});
  }

  struct Posted {
    PostedEvent event;
    std::size_t writesBefore;
  };

  Runtime runtime;
  FakeHostSessionDelegate host{runtime};
  std::shared_ptr<FakePasteboard> pasteboard = std::make_shared<FakePasteboard>();
  std::shared_ptr<FakeInputSink> sink = std::make_shared<FakeInputSink>();
  std::shared_ptr<FakePowerManager> power = std::make_shared<FakePowerManager>();
  std::shared_ptr<InputServices> input;
  std::shared_ptr<ClipboardServices> clipboard = ClipboardServices::create(pasteboard);
  std::shared_ptr<NVConnection> conn;
  std::shared_ptr<HostSession> session;
  std::shared_ptr<ClipboardSync> sync;
  std::shared_ptr<test::Mailbox<Message>> messages = std::make_shared<test::Mailbox<Message>>();
  std::mutex postedLock;
  std::vector<Posted> posted;
};

TEST_F(ClipboardSyncTest, CopiesGoOutOnceAndConcealedOrOverlongOnesNever) {
  pasteboard->copy({.text = "before the session"});
  connect();
  poll();
  EXPECT_EQ(pasteboard->reads(), 0) << "what was there before the session is not sent";

  struct Case {
    const char* what;
    FakePasteboard::Offer offer;
    std::string expected;
  } cases[] = {
      {"concealed", {.text = "hunter2", .concealed = true}, "<nothing>"},
      {"next copy", {.text = "剪貼簿"}, "剪貼簿"},
      {"1,000,000 bytes", {.text = std::string(1'000'000, 'x')}, "<nothing>"},
      {"999,999 bytes", {.text = std::string(999'999, 'y')}, std::string(999'999, 'y')},
      {"empty text and no image", {.text = ""}, "<nothing>"},
  };
  for (const auto& c : cases) {
    pasteboard->copy(c.offer);
    poll();
    EXPECT_EQ(sentText(), c.expected) << c.what;
    poll();
    EXPECT_TRUE(sentClipboard().empty()) << c.what << ": sent again";
  }

  pasteboard->copy({.text = "文字", .png = pngHeader(2, 2)});
  poll();
  EXPECT_EQ(sentText(), "文字") << "text wins over an image";
  const Bytes png = pngHeader(3, 3);
  pasteboard->copy({.png = png});
  poll();
  auto sent = sentClipboard();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, MessageType::clipboardImage);
  EXPECT_EQ(sent[0].body, png);
}

TEST_F(ClipboardSyncTest, ClientWritesAreVettedWrittenOncePastedOnAskingAndNotEchoed) {
  connect();
  const Bytes allowed = pngHeader(8192, 8192);
  struct Case {
    const char* what;
    MessageType type;
    Bytes body;
    bool written;
    bool pasted;
    bool writesFail = false;
  } cases[] = {
      {"text", MessageType::clipboard, textBody("來自手機"), true, false},
      {"text and paste", MessageType::clipboardTextPaste, textBody("paste me"), true, true},
      {"undecodable text", MessageType::clipboardTextPaste, Bytes{'{', 'x'}, false, false},
      {"9000 x 9000", MessageType::clipboardImagePaste, pngHeader(9000, 9000), false, false},
      {"8192 x 8192", MessageType::clipboardImage, allowed, true, false},
      {"8192 x 8192 and paste", MessageType::clipboardImagePaste, allowed, true, true},
      {"no image", MessageType::clipboardImage, Bytes(64, 0x89), false, false},
      {"refused write", MessageType::clipboardTextPaste, textBody("lost"), false, false, true},
  };
  for (const auto& c : cases) {
    pasteboard->setWritesFail(c.writesFail);
    const std::size_t writesBefore = pasteboard->writes().size();
    const std::int64_t lastBefore = sync->lastChange();
    {
      std::lock_guard lock(postedLock);
      posted.clear();
    }
    const std::size_t activitiesBefore = power->activities().size();
    receive(c.type, c.body);

    const auto writes = pasteboard->writes();
    ASSERT_EQ(writes.size(), writesBefore + (c.written ? 1 : 0)) << c.what;
    if (c.written) {
      if (c.type == MessageType::clipboard || c.type == MessageType::clipboardTextPaste) {
        EXPECT_EQ(NVJSON::encode(ClipboardMessage{std::get<std::string>(writes.back())}), c.body)
            << c.what;
      } else {
        EXPECT_EQ(std::get<Bytes>(writes.back()), c.body) << c.what;
      }
      EXPECT_EQ(sync->lastChange(), pasteboard->changeCount()) << c.what;
    } else {
      EXPECT_EQ(sync->lastChange(), lastBefore) << c.what;
    }

    std::lock_guard lock(postedLock);
    if (!c.pasted) {
      EXPECT_TRUE(posted.empty()) << c.what;
      continue;
    }
    // Ctrl+V after the write: Control held in the modifiers while V goes down and up.
    using T = PostedEvent::Type;
    struct Step {
      T type;
      std::uint16_t usage;
      std::uint32_t flags;
    };
    const Step expected[] = {{T::flagsChanged, 0xE0, ModifierFlag::control},
                             {T::keyDown, 0x19, ModifierFlag::control},
                             {T::keyUp, 0x19, ModifierFlag::control},
                             {T::flagsChanged, 0xE0, 0}};
    ASSERT_EQ(posted.size(), 4u) << c.what;
    for (std::size_t i = 0; i < 4; ++i) {
      EXPECT_EQ(posted[i].event.type, expected[i].type) << c.what << " step " << i;
      EXPECT_EQ(posted[i].event.hidUsage, expected[i].usage) << c.what << " step " << i;
      EXPECT_EQ(posted[i].event.flags, expected[i].flags) << c.what << " step " << i;
      EXPECT_EQ(posted[i].event.tag, injectionTag);
      EXPECT_EQ(posted[i].writesBefore, writes.size()) << c.what << ": pasted before the write";
    }
    EXPECT_EQ(power->activities().size(), activitiesBefore + 4) << c.what;
    // What reached the desktop's keyboard.
    const auto keys = sink->callsOf(FakeInputSink::Call::Kind::key);
    ASSERT_GE(keys.size(), 4u);
    std::vector<std::pair<std::uint16_t, bool>> last;
    for (auto k = keys.end() - 4; k != keys.end(); ++k) last.emplace_back(k->usage, k->down);
    EXPECT_EQ(last, (std::vector<std::pair<std::uint16_t, bool>>{
                        {0xE0, true}, {0x19, true}, {0x19, false}, {0xE0, false}}))
        << c.what;
  }
  pasteboard->setWritesFail(false);
  // The client's own contents do not come back; the next copy does.
  poll();
  EXPECT_TRUE(sentClipboard().empty());
  pasteboard->copy({.text = "desktop"});
  poll();
  EXPECT_EQ(sentText(), "desktop");
}

TEST_F(ClipboardSyncTest, LimitedSessionsGetNothingAndSyncOffStopsBothWays) {
  struct Case {
    const char* what;
    bool limited;
    bool syncOn;
    bool receives;
    bool writes;
  } cases[] = {
      {"limited", true, true, false, true},
      {"sync off", false, false, false, false},
      {"ordinary", false, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // A session per case, each with a key of its own: a key's grant kind does not change.
    disconnect();
    host.sync = c.syncOn;
    connect(c.limited, static_cast<std::uint8_t>(0x40 + (&c - cases)));
    pasteboard->copy({.text = "on the desktop"});
    poll();
    EXPECT_EQ(sentText(), c.receives ? "on the desktop" : "<nothing>");
    const std::size_t before = pasteboard->writes().size();
    receive(MessageType::clipboard, textBody("from the client"));
    EXPECT_EQ(pasteboard->writes().size(), before + (c.writes ? 1 : 0));
  }
}

TEST_F(ClipboardSyncTest, AnOwnerThatDoesNotAnswerHoldsOneReadAndLaterPollsResume) {
  connect();
  pasteboard->setHoldReads(true);
  pasteboard->copy({.text = "slow owner"});
  poll();
  EXPECT_EQ(pasteboard->reads(), 1);
  pasteboard->copy({.text = "newer"});
  for (int i = 0; i < 5; ++i) poll();
  EXPECT_EQ(pasteboard->reads(), 1) << "a poll while a read is out starts another";

  // The late answer describes contents that were replaced since: it is not sent.
  pasteboard->setHoldReads(false);
  pasteboard->answerHeld();
  settle();
  EXPECT_TRUE(sentClipboard().empty());
  poll();
  EXPECT_EQ(pasteboard->reads(), 2);
  EXPECT_EQ(sentText(), "newer");
}

}  // namespace
}  // namespace ombrel
