// FileServices with real sessions over loopback: the owner's receive switch in the middle of a
// transfer, which sessions the owner's files go to, who may answer for them, and a session that
// ends while a file goes out.

#include "Ombrel_Remote_Host/files/file_services.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <map>

#include "OmbrelKit/file_chunk.h"
#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "host/fake_host_session_delegate.h"
#include "support/directory_entries.h"
#include "support/loopback.h"
#include "support/mailbox.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

struct Message {
  MessageType type;
  Bytes body;
};

// The client's end: a real NVConnection the test drives.
struct Client {
  std::shared_ptr<NVConnection> conn;
  std::shared_ptr<test::Mailbox<Message>> messages = std::make_shared<test::Mailbox<Message>>();
  std::vector<MessageType> passed;  // what next() went past

  Message next(MessageType type) {
    for (;;) {
      auto m = messages->take();
      if (!m) {
        ADD_FAILURE() << "no message of type " << int(rawValue(type));
        return {type, {}};
      }
      if (m->type == type) return *m;
      passed.push_back(m->type);
    }
  }
  template <typename T>
  T nextJSON(MessageType type) {
    return NVJSON::decode<T>(next(type).body);
  }
  bool roundTrip() {
    conn->sendJSON(MessageType::ping, PingMessage{.t = 1});
    return !next(MessageType::pong).body.empty();
  }
  void offer(const std::string& id, const std::string& name, std::int64_t size) {
    conn->sendJSON(MessageType::fileOffer, FileOffer{.id = id, .name = name, .size = size});
  }
  void chunk(const std::string& id, Bytes data) {
    conn->send(MessageType::fileChunk, FileChunk{.id = id, .data = std::move(data)}.encoded());
  }
  void done(const std::string& id) { conn->sendJSON(MessageType::fileDone, FileDone{.id = id}); }
  // A whole file the host sends: its offer and its bytes.
  std::pair<FileOffer, Bytes> receive() {
    auto offer = nextJSON<FileOffer>(MessageType::fileOffer);
    Bytes bytes;
    for (;;) {
      auto m = messages->take();
      if (!m || m->type == MessageType::fileDone) break;
      if (m->type != MessageType::fileChunk) continue;
      auto chunk = FileChunk::decode(m->body);
      if (chunk && chunk->id == offer.id)
        bytes.insert(bytes.end(), chunk->data.begin(), chunk->data.end());
    }
    return {offer, bytes};
  }
};

Bytes pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
  return bytes;
}

class FileServicesSessionTest : public ::testing::Test {
 protected:
  ~FileServicesSessionTest() override {
    for (auto& c : clients) c.conn->close();
    for (auto& s : sessions) s->disconnect();
    for (auto& s : sessions) s->conn()->queue()->sync([] {});
    runtime.mainQueue()->sync([] {});
  }

  // A client whose hello the host answered; authorized when `trusted`.
  Client& connect(const std::string& name, bool trusted) {
    const auto keyByte = static_cast<std::uint8_t>(0x40 + clients.size());
    const DeviceIdentity identity(Bytes(32, keyByte));
    if (trusted) host.setTrusted(identity.publicKey(), false);
    test::LoopbackListener listener(runtime.context());
    Client client;
    auto ready = std::make_shared<test::Mailbox<bool>>();
    client.conn = NVConnection::create(TCPTransport::connect("127.0.0.1", listener.port()),
                                       NVConnection::Role::client, identity, std::nullopt, runtime);
    client.conn->onMessage = [box = client.messages](MessageType type, Bytes body) {
      box->put({type, std::move(body)});
    };
    client.conn->onReady = [ready] { ready->put(true); };
    client.conn->start();
    auto session =
        HostSession::create(NVConnection::create(listener.accept(), NVConnection::Role::host,
                                                 host.identity(), std::nullopt, runtime),
                            "直連", host);
    session->setRemoteIP("192.168.1.20");
    services->install(session);
    session->start();
    EXPECT_TRUE(ready->take());
    client.conn->sendJSON(MessageType::clientHello,
                          ClientHello{.deviceName = name, .model = "iPhone", .protocolVersion = 2});
    EXPECT_EQ(client.nextJSON<HostHello>(MessageType::hostHello).authorized, trusted);
    sessions.push_back(session);
    clients.push_back(std::move(client));
    return clients.back();
  }

  // The next report line that starts with `prefix` (others are passed over).
  std::optional<std::string> reported(const std::string& prefix) {
    while (auto line = lines.take()) {
      if (line->starts_with(prefix)) return line;
      passedLines.push_back(*line);
    }
    return std::nullopt;
  }

  test::TempHome temp;
  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  Runtime runtime{Runtime::Options{.clock = clock}};
  test::FakeHostSessionDelegate host{runtime};
  test::Mailbox<std::string> lines;
  std::vector<std::string> passedLines;
  const std::filesystem::path downloads = temp.root() / "Downloads" / "Ombrel Remote";
  std::shared_ptr<FileServices> services = FileServices::create(
      runtime, {.directory = downloads, .report = [this](const std::string& l) { lines.put(l); }});
  std::deque<Client> clients;
  std::vector<std::shared_ptr<HostSession>> sessions;
};

TEST_F(FileServicesSessionTest, ReceivingSwitchedOffEndsTransfersAndRefusesOffersUntilOnAgain) {
  auto& client = connect("Anna", true);
  const std::string a = "00000000-0000-4000-8000-00000000000a";
  client.offer(a, "a.txt", 1000);
  client.chunk(a, pattern(500));
  ASSERT_TRUE(client.roundTrip());
  ASSERT_FALSE(test::directoryEntries(downloads).empty()) << "the transfer did not start";

  host.receive = false;
  const std::string b = "00000000-0000-4000-8000-00000000000b";
  client.offer(b, "b.txt", 10);
  // The new offer is answered, then every transfer that was in progress.
  for (const std::string& id : {b, a}) {
    auto result = client.nextJSON<FileResult>(MessageType::fileResult);
    EXPECT_EQ(result.id, id);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, FileServices::notReceivingText);
  }
  EXPECT_EQ(test::directoryEntries(downloads), std::vector<std::string>{});
  client.chunk(a, pattern(500));
  client.done(a);
  ASSERT_TRUE(client.roundTrip());
  EXPECT_EQ(test::directoryEntries(downloads), std::vector<std::string>{})
      << "a chunk was written while off";

  host.receive = true;
  const std::string c = "00000000-0000-4000-8000-00000000000c";
  client.offer(c, "c.txt", 3);
  client.chunk(c, Bytes{'x', 'y', 'z'});
  client.done(c);
  auto result = client.nextJSON<FileResult>(MessageType::fileResult);
  EXPECT_EQ(result.id, c);
  EXPECT_TRUE(result.ok);
  EXPECT_EQ(test::directoryEntries(downloads), std::vector<std::string>{"c.txt"});
  EXPECT_EQ(reported("收到"), FileServices::receivedLine("Anna", "c.txt"));
}

TEST_F(FileServicesSessionTest, FilesGoToAuthorizedSessionsAndOnlyTheirClientAnswersForThem) {
  const auto file = temp.root() / "f.bin";
  const Bytes content = pattern(614'400);  // 2.34 chunks
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
  services->sendToClients({file});
  EXPECT_TRUE(reported("沒有已授權的裝置連線")) << "nobody to send to, and the owner not told";

  auto& anna = connect("Anna", true);
  auto& ben = connect("Ben", true);
  auto& stranger = connect("Stranger", false);
  services->sendToClients({file});
  std::map<std::string, std::string> ids;
  for (Client* client : {&anna, &ben}) {
    auto [offer, bytes] = client->receive();
    EXPECT_EQ(offer.name, "f.bin");
    EXPECT_EQ(offer.size, std::int64_t(content.size()));
    EXPECT_EQ(bytes, content);
    ids[client == &anna ? "Anna" : "Ben"] = offer.id;
  }
  ASSERT_TRUE(stranger.roundTrip());
  EXPECT_EQ(std::count(stranger.passed.begin(), stranger.passed.end(), MessageType::fileOffer), 0)
      << "an unauthorized session was sent the owner's file";

  // Ben cannot end Anna's transfer.
  ben.conn->sendJSON(MessageType::fileResult,
                     FileResult{.id = ids["Anna"], .name = "f.bin", .ok = true});
  ASSERT_TRUE(ben.roundTrip());
  runtime.mainQueue()->sync([] {});
  EXPECT_EQ(services->sending(), 2u);

  anna.conn->sendJSON(MessageType::fileResult,
                      FileResult{.id = ids["Anna"], .name = "f.bin", .ok = true});
  ben.conn->sendJSON(
      MessageType::fileResult,
      FileResult{.id = ids["Ben"], .name = "f.bin", .ok = false, .message = "檔案不完整"});
  std::vector<std::string> finals;
  for (int i = 0; i < 2; ++i) {
    while (auto line = lines.take()) {
      if (line->find("傳送「") == 0) {
        passedLines.push_back(*line);
        continue;
      }
      finals.push_back(*line);
      break;
    }
  }
  std::sort(finals.begin(), finals.end());
  EXPECT_EQ(finals, (std::vector<std::string>{"Ben 沒有收下「f.bin」：檔案不完整",
                                              "已傳送「f.bin」給 Anna"}));
  runtime.mainQueue()->sync([] {});
  EXPECT_EQ(services->sending(), 0u);
  // Progress in steps, not per chunk, ending at the whole file.
  std::vector<std::string> annaProgress;
  for (const auto& line : passedLines) {
    if (line.starts_with("傳送「f.bin」給 Anna：")) annaProgress.push_back(line);
  }
  EXPECT_EQ(annaProgress,
            (std::vector<std::string>{"傳送「f.bin」給 Anna：42%", "傳送「f.bin」給 Anna：85%",
                                      "傳送「f.bin」給 Anna：100%"}));
}

TEST_F(FileServicesSessionTest, ASessionThatEndsWhileAFileGoesOutIsReportedAndLetGo) {
  auto& anna = connect("Anna", true);
  const auto file = temp.root() / "big.bin";
  std::ofstream(file, std::ios::binary) << std::string(8 << 20, 'b');
  services->sendToClients({file});
  anna.nextJSON<FileOffer>(MessageType::fileOffer);
  anna.conn->close();
  EXPECT_TRUE(reported("傳送失敗：big.bin（Anna）"));
  runtime.mainQueue()->sync([] {});
  EXPECT_EQ(services->sending(), 0u) << "a transfer to a session that ended is held";
}

}  // namespace
}  // namespace ombrel
