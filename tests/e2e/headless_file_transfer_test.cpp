// Files through the real host and reference client: both ways with their bytes checked, unique
// names, the owner's receive switch, and peers (or a host) that stop or overrun mid-transfer.

#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iterator>
#include <random>
#include <thread>

#include "OmbrelKit/file_chunk.h"
#include "OmbrelKit/messages.h"
#include "e2e/host_process.h"
#include "e2e/protocol_peer.h"
#include "support/directory_entries.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;
using test::ClientRun;
using test::HostProcess;
using test::ProtocolPeer;

Bytes pattern(std::size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  Bytes bytes(size);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(generator());
  return bytes;
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class FileTransferTest : public ::testing::Test {
 protected:
  // The host, with the owner's client paired as their own device.
  void start(bool receiveFiles = true) {
    const auto root = home.root() / "host";
    if (!receiveFiles) {
      const auto settings = root / "config" / "Ombrel Remote";
      std::filesystem::create_directories(settings);
      std::ofstream(settings / "com.tamsovern.ombrel.host.json") << R"({"receiveFiles": false})";
    }
    host.emplace(root);
    ASSERT_NE(host->port(), 0) << "the host did not report its port";
    ClientRun pairing(home.root() / "owner", host->port(), {"--pair", "--name", "Owner"});
    answerCard("Owner");
    ASSERT_EQ(pairing.finish(), 0);
  }

  void answerCard(const std::string& deviceName) {
    ASSERT_TRUE(host->waitFor("[" + deviceName + " ")) << "no pairing card for " << deviceName;
    std::this_thread::sleep_for(3200ms);  // the card's arming runs on the host's real clock
    host->answer("o");
  }

  ClientRun owner(std::vector<std::string> args) {
    args.insert(args.end(), {"--name", "Owner"});
    return ClientRun(home.root() / "owner", host->port(), std::move(args));
  }

  std::filesystem::path downloads() const {
    return home.root() / "host" / "home" / "Downloads" / "Ombrel Remote";
  }

  // A raw peer the owner approved, to play the clients the reference client will not be.
  std::unique_ptr<ProtocolPeer> pairedPeer() {
    auto peer = std::make_unique<ProtocolPeer>(runtime, "127.0.0.1", host->port(), 7);
    if (!peer->greet("Peer", 20s)) return nullptr;
    peer->pairBurst("Peer", 1);
    answerCard("Peer");
    auto result = peer->waitFor(MessageType::pairResult, 20s);
    if (!result || !NVJSON::decode<PairResult>(result->body).ok) return nullptr;
    if (!peer->waitFor(MessageType::hostHello, 20s)) return nullptr;
    return peer;
  }

  static void offer(ProtocolPeer& peer, const std::string& id, const std::string& name,
                    std::int64_t size) {
    peer.connection().sendJSON(MessageType::fileOffer,
                               FileOffer{.id = id, .name = name, .size = size});
  }
  static void chunk(ProtocolPeer& peer, const std::string& id, Bytes data) {
    peer.connection().send(MessageType::fileChunk,
                           FileChunk{.id = id, .data = std::move(data)}.encoded());
  }
  static std::optional<FileResult> done(ProtocolPeer& peer, const std::string& id) {
    peer.connection().sendJSON(MessageType::fileDone, FileDone{.id = id});
    auto answer = peer.waitFor(MessageType::fileResult, 20s);
    if (!answer) return std::nullopt;
    return NVJSON::tryDecode<FileResult>(answer->body);
  }

  test::TempHome home;
  Runtime runtime;
  std::optional<HostProcess> host;
};

TEST_F(FileTransferTest, BothWaysKeepTheBytesAndTheSameNameTwiceIsNumbered) {
  start();
  const auto source = home.root() / "report.pdf";
  const Bytes content = pattern(3 * FileChunk::maxDataSize + 12345, 1);
  writeFile(source, content);
  for (int round = 0; round < 2; ++round) {
    auto sender = owner({"--send", source.string()});
    auto result = sender.waitFor("fileResult", 60s);
    ASSERT_TRUE(result) << "the host never answered the file";
    EXPECT_EQ((*result)["ok"], true) << result->dump();
    EXPECT_EQ(sender.finish(), 0);
  }
  ASSERT_EQ(test::directoryEntries(downloads()),
            (std::vector<std::string>{"report 2.pdf", "report.pdf"}));
  EXPECT_EQ(readFile(downloads() / "report.pdf"), content);
  EXPECT_EQ(readFile(downloads() / "report 2.pdf"), content);
  EXPECT_TRUE(host->waitFor("files: 收到來自 Owner 的「report.pdf」（下載/Ombrel Remote）"));
  EXPECT_TRUE(host->waitFor("files: 收到來自 Owner 的「report 2.pdf」（下載/Ombrel Remote）"));

  char mark[128] = {};
  const ssize_t length = ::getxattr((downloads() / "report.pdf").c_str(),
                                    "user.com.apple.quarantine", mark, sizeof mark - 1);
  if (length < 0 && errno == ENOTSUP) {
    GTEST_LOG_(INFO) << "no user attributes on this file system: the mark is not checked";
  } else {
    ASSERT_GT(length, 0) << "the received file carries no quarantine mark";
    const std::string value(mark, static_cast<std::size_t>(length));
    ASSERT_TRUE(value.starts_with("0081;") && value.ends_with(";Ombrel Remote;")) << value;
    const std::string hex = value.substr(5, value.size() - 5 - 15);
    EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos) << value;
    EXPECT_NEAR(static_cast<double>(std::stoll(hex, nullptr, 16)),
                static_cast<double>(std::time(nullptr)), 600.0);
  }

  // The other way: the owner's "send" line with a quoted path holding a space.
  const auto notes = home.root() / "my notes.bin";
  const Bytes noteBytes = pattern(5 * FileChunk::maxDataSize, 2);
  writeFile(notes, noteBytes);
  const auto inbox = home.root() / "inbox";
  auto receiver = owner({"--receive", inbox.string(), "--files", "1"});
  auto hello = receiver.waitFor("hello");
  ASSERT_TRUE(hello);
  ASSERT_EQ((*hello)["authorized"], true);
  host->answer("send \"" + notes.string() + "\"");
  auto received = receiver.waitFor("fileReceived", 60s);
  ASSERT_TRUE(received) << "the client got no file";
  EXPECT_EQ((*received)["ok"], true) << received->dump();
  EXPECT_EQ((*received)["size"], noteBytes.size());
  EXPECT_EQ(readFile(inbox / "my notes.bin"), noteBytes);
  EXPECT_EQ(receiver.finish(), 0);
  EXPECT_TRUE(host->waitFor("files: 已傳送「my notes.bin」給 Owner"));
}

TEST_F(FileTransferTest, ReceivingSwitchedOffRefusesTheFile) {
  start(/*receiveFiles=*/false);
  const auto source = home.root() / "a.txt";
  writeFile(source, pattern(1000, 3));
  auto sender = owner({"--send", source.string()});
  auto result = sender.waitFor("fileResult", 30s);
  ASSERT_TRUE(result);
  EXPECT_EQ((*result)["ok"], false);
  EXPECT_EQ((*result)["message"], "這台電腦目前不接收檔案");
  EXPECT_EQ(sender.finish(), 1) << "a refused file must fail the client";
  EXPECT_EQ(test::directoryEntries(downloads()), std::vector<std::string>{});
}

TEST_F(FileTransferTest, PeerThatLeavesMidTransferLeavesNoFile) {
  start();
  auto peer = pairedPeer();
  ASSERT_TRUE(peer) << "the peer was not paired";
  const std::string id = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
  offer(*peer, id, "big.bin", 8 << 20);
  chunk(*peer, id, pattern(1 << 20, 4));
  ASSERT_TRUE(peer->roundTrip(20s));
  ASSERT_FALSE(test::directoryEntries(downloads()).empty()) << "the transfer did not start";
  peer.reset();
  EXPECT_TRUE(host->waitFor("files: 接收失敗：big.bin"));
  EXPECT_EQ(test::directoryEntries(downloads()), std::vector<std::string>{});
}

// Bytes past the offered size are never written: the transfer is exactly the offer, or nothing.
TEST_F(FileTransferTest, ChunksPastTheOfferedSizeAreNotWritten) {
  start();
  auto peer = pairedPeer();
  ASSERT_TRUE(peer) << "the peer was not paired";
  struct Case {
    const char* id;
    const char* name;
    std::vector<std::size_t> chunks;
    bool complete;
  };
  const Case cases[] = {
      {"00000000-0000-4000-8000-000000000001", "short.bin", {600, 600}, false},
      {"00000000-0000-4000-8000-000000000002", "whole.bin", {1200}, false},
      {"00000000-0000-4000-8000-000000000003", "exact.bin", {1000, 100}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    offer(*peer, c.id, c.name, 1000);
    Bytes first;
    for (std::size_t size : c.chunks) {
      Bytes data = pattern(size, static_cast<unsigned>(size));
      if (first.empty()) first = data;
      chunk(*peer, c.id, std::move(data));
    }
    auto result = done(*peer, c.id);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->ok, c.complete);
    if (!c.complete) {
      EXPECT_EQ(result->message, "檔案不完整");
      EXPECT_FALSE(std::filesystem::exists(downloads() / c.name));
    } else {
      EXPECT_EQ(readFile(downloads() / c.name), first);
    }
  }
  EXPECT_EQ(test::directoryEntries(downloads()), std::vector<std::string>{"exact.bin"});
}

TEST_F(FileTransferTest, HostKilledMidTransferLeavesNothingAfterTheRestart) {
  start();
  auto peer = pairedPeer();
  ASSERT_TRUE(peer) << "the peer was not paired";
  const std::string id = "3F2504E0-4F89-41D3-9A0C-0305E82C3302";
  offer(*peer, id, "crash.bin", 8 << 20);
  chunk(*peer, id, pattern(1 << 20, 5));
  ASSERT_TRUE(peer->roundTrip(20s));
  host->process().signal(SIGKILL);
  host->process().wait(10s);
  peer.reset();
  const auto left = test::directoryEntries(downloads());
  ASSERT_FALSE(left.empty()) << "the crash left nothing to clear: the test shows nothing";

  host.reset();
  host.emplace(home.root() / "host");
  ASSERT_NE(host->port(), 0) << "the host did not come back";
  EXPECT_EQ(test::directoryEntries(downloads()), std::vector<std::string>{})
      << "left by the crash: " << testing::PrintToString(left);
}

}  // namespace
}  // namespace ombrel
