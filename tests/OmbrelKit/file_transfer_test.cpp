#include "OmbrelKit/file_transfer.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "OmbrelKit/file_chunk.h"
#include "OmbrelKit/nv_connection.h"
#include "OmbrelKit/nv_json.h"

#include "support/loopback.h"
#include "support/mailbox.h"
#include "support/queue_gate.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;
using test::Mailbox;
using test::QueueGate;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "ombrel-files-XXXXXX").string();
    root_ = mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  const fs::path& path() const { return root_; }

 private:
  fs::path root_;
};

// Every name in `directory`, hidden ones included, sorted.
std::vector<std::string> listing(const fs::path& directory) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(directory, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& path, std::string_view text) {
  std::ofstream(path, std::ios::binary) << text;
}

Bytes pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131) >> 3);
  return bytes;
}

std::string transferID(int n) {
  char id[37];
  std::snprintf(id, sizeof id, "00000000-0000-4000-8000-%012d", n);
  return id;
}

// ---- names ----------------------------------------------------------------------------------

TEST(FileNameTest, SanitizeMakesOneVisibleSafeComponent) {
  const std::string a300(300, 'a');
  std::string emoji150;
  for (int i = 0; i < 150; ++i) emoji150 += "\U0001F600";
  const struct {
    std::string offered, stored;
  } cases[] = {
      {"report.pdf", "report.pdf"},
      {"../../etc/passwd", "passwd"},
      {"..\\..\\Windows\\evil.exe", "evil.exe"},
      {"folder/", "folder"},
      {".hidden", "hidden"},
      {"...", "file"},
      {"a:b", "a_b"},
      {"", "file"},
      {"   ", "file"},
      {"/", "file"},
      // Trimming must not uncover a hidden or dot name.
      {" ..", "file"},
      {"\u3000.bashrc\u00A0", "bashrc"},
      {" . x", "x"},
      {"in\u200Bvis\u202Eib\u2060le\uFEFF\U000E0041\U0001D173.txt", "invisible.txt"},
      {"\u200B\u3164", "file"},
      {"a\tb\nc\x7f\u0085d", "a_b_c__d"},
      {std::string("nul\0byte", 8), "nul_byte"},
      // Invalid UTF-8 becomes U+FFFD, one per broken sequence.
      {"a\xFF"
       "b\xE6\x97"
       "c\xED\xA0\x80",
       "a\uFFFDb\uFFFDc\uFFFD\uFFFD\uFFFD"},
      // 200 UTF-16 units at most, keeping an extension of up to 16.
      {a300 + ".pdf", std::string(196, 'a') + ".pdf"},
      {a300 + "." + std::string(17, 'x'), std::string(200, 'a')},
      {emoji150 + ".txt5", emoji150.substr(0, 97 * 4) + ".txt5"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileReceiver::sanitize(c.offered), c.stored) << c.offered;
  }
  // 200 CJK characters are 200 units: kept whole although they are 600 bytes.
  std::string cjk;
  for (int i = 0; i < 200; ++i) cjk += "檔";
  EXPECT_EQ(FileReceiver::sanitize(cjk), cjk);
  EXPECT_EQ(FileReceiver::sanitize(cjk + "x"), cjk);
  EXPECT_EQ(FileReceiver::shorten("abcdef.txt", 8), "abcd.txt");
  EXPECT_EQ(FileReceiver::shorten("abcdef.txt", 20), "abcdef.txt");
}

TEST(FileNameTest, CreateUniqueNumbersBeforeTheExtension) {
  TempDir dir;
  const struct {
    std::string name;
    std::vector<std::string> created;
  } cases[] = {
      {"report.pdf", {"report.pdf", "report 2.pdf", "report 3.pdf"}},
      {"archive.tar.gz", {"archive.tar.gz", "archive.tar 2.gz"}},
      {"README", {"README", "README 2"}},
  };
  for (const auto& c : cases) {
    for (const auto& expected : c.created) {
      std::error_code error;
      auto path = FileReceiver::createUnique(dir.path(), c.name, error);
      ASSERT_TRUE(path) << error.message();
      EXPECT_EQ(path->filename(), expected);
      EXPECT_TRUE(fs::is_regular_file(*path));
      EXPECT_EQ(fs::file_size(*path), 0u);
    }
  }
  // Any error but "exists" ends the search at once.
  std::error_code error;
  EXPECT_FALSE(FileReceiver::createUnique(dir.path() / "README", "x", error));
  EXPECT_EQ(error, std::errc::not_a_directory);
}

// The file system takes 255 bytes, and a name of 200 units can be 600: the reservation keeps
// the extension and its number, and the hidden sibling fits beside it.
TEST(FileNameTest, LongNamesFitTheFileSystem) {
  TempDir dir;
  std::string cjk;
  for (int i = 0; i < 120; ++i) cjk += "檔";
  const std::string name = FileReceiver::sanitize(cjk + ".pdf");
  ASSERT_GT(name.size(), 255u);
  for (const char* suffix : {".pdf", " 2.pdf"}) {
    std::error_code error;
    auto path = FileReceiver::createUnique(dir.path(), name, error);
    ASSERT_TRUE(path) << error.message();
    const std::string stored = path->filename().string();
    EXPECT_LE(stored.size(), 255u);
    EXPECT_TRUE(stored.ends_with(suffix)) << stored;
    EXPECT_TRUE(stored.starts_with("檔檔檔"));
  }
  // An extension that leaves no room for the stem's first character: the name is cut instead.
  std::error_code error;
  auto path = FileReceiver::createUnique(dir.path(), "檔." + cjk.substr(0, 84 * 3), error);
  ASSERT_TRUE(path) << error.message();
  EXPECT_TRUE(path->filename().string().starts_with("檔.檔檔"));

  FileReceiver receiver(dir.path());
  std::vector<FileResult> results;
  receiver.onFinished = [&](const FileResult& r, auto) { results.push_back(r); };
  receiver.handle(MessageType::fileOffer, NVJSON::encode(FileOffer{transferID(1), cjk, 3}));
  ASSERT_EQ(receiver.inProgress(), 1u);
  receiver.handle(MessageType::fileChunk, FileChunk{transferID(1), toBytes("abc")}.encoded());
  receiver.handle(MessageType::fileDone, NVJSON::encode(FileDone{transferID(1)}));
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].ok) << results[0].message.value_or("");
}

// ---- receiving ------------------------------------------------------------------------------

class FileReceiverTest : public ::testing::Test {
 protected:
  struct Finished {
    FileResult result;
    std::optional<fs::path> stored;
  };

  FileReceiverTest() : folder(dir.path() / "Downloads" / "Ombrel Remote"), receiver(folder) {
    receiver.onFinished = [this](const FileResult& result, std::optional<fs::path> stored) {
      finished.push_back({result, stored});
    };
    receiver.onProgress = [this](const std::string& id, double value) {
      progress.emplace_back(id, value);
    };
  }

  bool offer(const std::string& id, const std::string& name, std::int64_t size) {
    return receiver.handle(MessageType::fileOffer, NVJSON::encode(FileOffer{id, name, size}));
  }
  bool chunk(const std::string& id, std::string_view data) {
    return receiver.handle(MessageType::fileChunk, FileChunk{id, toBytes(data)}.encoded());
  }
  bool done(const std::string& id) {
    return receiver.handle(MessageType::fileDone, NVJSON::encode(FileDone{id}));
  }
  // A whole transfer of `data` offered as `name`.
  void receive(const std::string& id, const std::string& name, std::string_view data) {
    offer(id, name, static_cast<std::int64_t>(data.size()));
    chunk(id, data);
    done(id);
  }

  TempDir dir;
  fs::path folder;
  FileReceiver receiver;
  std::vector<Finished> finished;
  std::vector<std::pair<std::string, double>> progress;
};

TEST_F(FileReceiverTest, CompleteTransferAppearsOnlyWhenDone) {
  ASSERT_TRUE(offer(transferID(1), "../report.pdf", 10));
  ASSERT_TRUE(chunk(transferID(1), "hello"));
  // Reserved under its final name but empty; the bytes sit in a private hidden sibling.
  auto names = listing(folder);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[1], "report.pdf");
  EXPECT_EQ(fs::file_size(folder / "report.pdf"), 0u);
  const fs::path part = folder / names[0];
  EXPECT_TRUE(names[0].starts_with(".report.pdf.")) << names[0];
  EXPECT_TRUE(names[0].ends_with(".ombrel-part")) << names[0];
  EXPECT_EQ(contents(part), "hello");
  EXPECT_EQ(fs::status(part).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  ASSERT_TRUE(chunk(transferID(1), "world"));
  ASSERT_TRUE(done(transferID(1)));
  EXPECT_EQ(listing(folder), std::vector<std::string>{"report.pdf"});
  EXPECT_EQ(contents(folder / "report.pdf"), "helloworld");
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(static_cast<mode_t>(fs::status(folder / "report.pdf").permissions()), 0644 & ~mask);
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished[0].result, (FileResult{transferID(1), "../report.pdf", true, std::nullopt}));
  EXPECT_EQ(finished[0].stored, folder / "report.pdf");
  EXPECT_EQ(progress, (std::vector<std::pair<std::string, double>>{{transferID(1), 0.5},
                                                                   {transferID(1), 1.0}}));
  EXPECT_EQ(receiver.inProgress(), 0u);

  // The same name again goes beside it; a 0-byte file succeeds with an empty file.
  receive(transferID(2), "report.pdf", "second");
  receive(transferID(3), "empty", "");
  ASSERT_EQ(finished.size(), 3u);
  EXPECT_EQ(finished[1].stored, folder / "report 2.pdf");
  EXPECT_EQ(contents(folder / "report 2.pdf"), "second");
  EXPECT_TRUE(finished[2].result.ok);
  EXPECT_EQ(finished[2].stored, folder / "empty");
  EXPECT_EQ(progress.back(), std::make_pair(transferID(3), 1.0));
  EXPECT_EQ(listing(folder), (std::vector<std::string>{"empty", "report 2.pdf", "report.pdf"}));
  EXPECT_FALSE(receiver.handle(MessageType::clipboard, toBytes("{}")));
}

TEST_F(FileReceiverTest, OffersBeyondTheLimitsAreRefused) {
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(offer(transferID(i), "f", 1));
  const struct {
    FileOffer offer;
  } refused[] = {
      {{transferID(8), "ninth", 1}},
      {{transferID(0), "same id", 1}},
  };
  for (const auto& c : refused) {
    offer(c.offer.id, c.offer.name, c.offer.size);
    ASSERT_FALSE(finished.empty());
    EXPECT_EQ(finished.back().result,
              (FileResult{c.offer.id, c.offer.name, false, "無法接收這個檔案"}));
    EXPECT_FALSE(finished.back().stored);
  }
  EXPECT_EQ(receiver.inProgress(), 8u);
  receiver.cancelAll();
  finished.clear();

  for (std::int64_t size : {FileReceiver::maxFileBytes + 1, std::int64_t{-1}}) {
    offer(transferID(9), "big", size);
    ASSERT_EQ(finished.size(), 1u);
    EXPECT_EQ(finished[0].result.message, "無法接收這個檔案");
    finished.clear();
  }
  EXPECT_TRUE(offer(transferID(9), "largest", FileReceiver::maxFileBytes));
  EXPECT_EQ(receiver.inProgress(), 1u);
  // An offer that does not decode is consumed without an answer.
  EXPECT_TRUE(receiver.handle(MessageType::fileOffer, toBytes("{\"id\":1}")));
  EXPECT_TRUE(finished.empty());
}

TEST_F(FileReceiverTest, FolderThatCannotBeMadeFailsTheOffer) {
  fs::create_directories(folder.parent_path());
  writeFile(folder, "not a folder");
  offer(transferID(1), "a.txt", 1);
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished[0].result, (FileResult{transferID(1), "a.txt", false, "無法建立檔案"}));
  EXPECT_EQ(receiver.inProgress(), 0u);
}

TEST_F(FileReceiverTest, ShortTransferLeavesNothingBehind) {
  offer(transferID(1), "short.bin", 10);
  chunk(transferID(1), "12345");
  done(transferID(1));
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished[0].result, (FileResult{transferID(1), "short.bin", false, "檔案不完整"}));
  EXPECT_FALSE(finished[0].stored);
  EXPECT_TRUE(listing(folder).empty());
}

TEST_F(FileReceiverTest, MalformedAndExcessChunksAreNotWritten) {
  offer(transferID(1), "exact.bin", 10);
  chunk(transferID(1), "12345678");
  chunk(transferID(1), "abc");  // would end at 11
  chunk(transferID(2), "xx");   // nobody offered it
  EXPECT_TRUE(receiver.handle(MessageType::fileChunk, toBytes(transferID(1).substr(0, 35))));
  chunk(transferID(1), "9A");
  done(transferID(1));
  done(transferID(2));
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_TRUE(finished[0].result.ok);
  EXPECT_EQ(contents(folder / "exact.bin"), "123456789A");
  EXPECT_EQ(progress.size(), 2u);
}

TEST_F(FileReceiverTest, CancelAllAndDestructionRemoveEverything) {
  offer(transferID(1), "one", 4);
  chunk(transferID(1), "ab");
  offer(transferID(2), "two", 4);
  receive(transferID(3), "kept", "done");
  auto offers = receiver.cancelAll();
  ASSERT_EQ(offers.size(), 2u);
  EXPECT_EQ(offers[0], (FileOffer{transferID(1), "one", 4}));
  EXPECT_EQ(offers[1], (FileOffer{transferID(2), "two", 4}));
  EXPECT_EQ(receiver.inProgress(), 0u);
  EXPECT_EQ(listing(folder), std::vector<std::string>{"kept"});
  // Chunks and dones of what was cancelled are ignored.
  chunk(transferID(1), "cd");
  done(transferID(1));
  EXPECT_EQ(finished.size(), 1u);

  {
    FileReceiver other(folder);
    other.handle(MessageType::fileOffer, NVJSON::encode(FileOffer{transferID(4), "gone", 4}));
    EXPECT_EQ(listing(folder).size(), 3u);
  }
  EXPECT_EQ(listing(folder), std::vector<std::string>{"kept"});
}

// A process that dies mid-transfer runs no destructor: its reservations and hidden siblings
// stay until the next start-up clears them, and nothing else goes.
TEST_F(FileReceiverTest, RemoveLeftoversClearsWhatACrashLeft) {
  receive(transferID(1), "finished.txt", "kept");
  fs::create_directories(folder / ".config");
  writeFile(folder / ".profile", "mine");
  writeFile(folder / ".notes.ombrel-part", "mine");
  writeFile(folder / "empty by choice", "");
  // 244 bytes: its sibling carries only the start of it.
  std::string longName;
  for (int i = 0; i < 80; ++i) longName += "長";
  longName += ".bin";

  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    auto* crashing = new FileReceiver(folder);
    for (const auto& [id, name] : {std::pair{transferID(2), std::string("report.pdf")},
                                   {transferID(3), longName},
                                   {transferID(4), std::string("touched.txt")}}) {
      crashing->handle(MessageType::fileOffer, NVJSON::encode(FileOffer{id, name, 100}));
      crashing->handle(MessageType::fileChunk, FileChunk{id, toBytes("partial")}.encoded());
    }
    ::_exit(crashing->inProgress() == 3 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // Someone wrote into one reservation since: that file is not ours to remove.
  writeFile(folder / "touched.txt", "new");
  EXPECT_EQ(listing(folder).size(), 11u);

  EXPECT_EQ(FileReceiver::removeLeftovers(folder), 3u);
  EXPECT_EQ(listing(folder),
            (std::vector<std::string>{".config", ".notes.ombrel-part", ".profile",
                                      "empty by choice", "finished.txt", "touched.txt"}));
  EXPECT_EQ(FileReceiver::removeLeftovers(folder), 0u);
  EXPECT_EQ(FileReceiver::removeLeftovers(folder / "missing"), 0u);
}

// ---- over a real connection -----------------------------------------------------------------

DeviceIdentity clientIdentity() { return DeviceIdentity(Bytes(32, 0x11)); }
DeviceIdentity hostIdentity() { return DeviceIdentity(Bytes(32, 0x22)); }

class FileOverConnectionTest : public ::testing::Test {
 protected:
  // The host sends, the client receives into `folder` on its connection's queue.
  void SetUp() override {
    test::LoopbackListener listener(runtime.context());
    client =
        NVConnection::create(TCPTransport::connect("127.0.0.1", listener.port()),
                             NVConnection::Role::client, clientIdentity(), std::nullopt, runtime);
    receiver = std::make_shared<FileReceiver>(dir.path() / "in");
    receiver->onFinished = [box = results](const FileResult& result, auto) { box->put(result); };
    client->onMessage = [receiver = receiver](MessageType type, Bytes body) {
      receiver->handle(type, body);
    };
    Mailbox<bool> ready;
    client->onReady = [&ready] { ready.put(true); };
    client->start();
    host = NVConnection::create(listener.accept(), NVConnection::Role::host, hostIdentity(),
                                std::nullopt, runtime);
    host->onReady = [&ready] { ready.put(true); };
    host->start();
    ASSERT_TRUE(ready.take() && ready.take());
  }

  void TearDown() override {
    host->close();
    client->close();
    client->queue()->sync([] {});
  }

  std::shared_ptr<FileSender> sender(const fs::path& path) {
    std::error_code error;
    auto made = FileSender::create(path, host, runtime, error);
    EXPECT_TRUE(made) << error.message();
    return made;
  }

  // Waits until nothing holds the sender any more (its last completion has run).
  static bool released(std::weak_ptr<FileSender> weak) {
    for (int i = 0; i < 1000 && !weak.expired(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return weak.expired();
  }

  Runtime runtime;
  TempDir dir;
  std::shared_ptr<NVConnection> client, host;
  std::shared_ptr<FileReceiver> receiver;
  std::shared_ptr<Mailbox<FileResult>> results = std::make_shared<Mailbox<FileResult>>();
};

TEST_F(FileOverConnectionTest, MultiMebibyteFileArrivesWithAtMostEightChunksInFlight) {
  // More than the socket buffers hold, so a sender without a window would show it.
  const Bytes data = pattern(64 * FileSender::chunkSize + 12'345);
  writeFile(dir.path() / "big.bin", toString(data));
  auto sending = sender(dir.path() / "big.bin");
  ASSERT_TRUE(sending);
  EXPECT_EQ(sending->size(), static_cast<std::int64_t>(data.size()));
  EXPECT_EQ(sending->name(), "big.bin");
  EXPECT_EQ(sending->id().size(), 36u);

  // Every send the window allows is queued on the connection before a completion can come
  // back, so its pending bytes show the chunks in flight.
  const std::int64_t windowBytes =
      FileSender::window * (FileSender::chunkSize + FileChunk::idLength + 21) + 1024;
  std::mutex lock;
  std::int64_t mostPending = 0;
  std::vector<double> progress;
  Mailbox<bool> firstProgress;
  auto note = [&] {
    std::lock_guard guard(lock);
    mostPending = std::max(mostPending, host->pendingBytes());
  };
  sending->onProgress = [&](double value) {
    note();
    std::lock_guard guard(lock);
    if (progress.empty()) firstProgress.put(true);
    progress.push_back(value);
  };
  sending->onFinished = [](const NVError& error) { ADD_FAILURE() << error.what(); };

  QueueGate gate(*client->queue());  // the client reads nothing until the sender is going
  sending->start();
  ASSERT_TRUE(firstProgress.take());
  // The buffers fill up while the client does not read, leaving sends pending.
  for (int i = 0; i < 10'000 && host->pendingBytes() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  note();
  gate.release();
  std::optional<FileResult> result;
  for (int i = 0; i < 60'000 && !result; ++i) {
    result = results->take(std::chrono::milliseconds(1));
    note();
  }
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->ok) << result->message.value_or("");
  EXPECT_EQ(result->id, sending->id());
  EXPECT_EQ(contents(dir.path() / "in" / "big.bin"), toString(data));
  EXPECT_EQ(listing(dir.path() / "in"), std::vector<std::string>{"big.bin"});
  std::weak_ptr<FileSender> weak = sending;
  sending.reset();
  EXPECT_TRUE(released(weak));
  std::lock_guard guard(lock);
  EXPECT_LE(mostPending, windowBytes);
  EXPECT_GT(mostPending, 0);
  EXPECT_EQ(progress.size(), 65u);
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  EXPECT_EQ(progress.back(), 1.0);
}

TEST_F(FileOverConnectionTest, EmptyFileIsOfferedAndDoneAtOnce) {
  writeFile(dir.path() / "empty", "");
  auto sending = sender(dir.path() / "empty");
  ASSERT_TRUE(sending);
  Mailbox<double> progress;
  sending->onProgress = [&](double value) { progress.put(value); };
  sending->start();
  EXPECT_EQ(progress.take(), 1.0);
  auto result = results->take();
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->ok);
  EXPECT_EQ(result->name, "empty");
  EXPECT_TRUE(fs::exists(dir.path() / "in" / "empty"));
  EXPECT_EQ(progress.size(), 0u);
}

TEST_F(FileOverConnectionTest, FailuresAreReportedOnce) {
  std::error_code error;
  EXPECT_FALSE(FileSender::create(dir.path() / "missing", host, runtime, error));
  EXPECT_EQ(error, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(FileSender::create(dir.path(), host, runtime, error));
  EXPECT_EQ(error, std::errc::is_a_directory);

  // A read error (memory the kernel cannot read at offset 0).
  auto unreadable = sender("/proc/self/mem");
  ASSERT_TRUE(unreadable);
  Mailbox<NVError> readFailures;
  unreadable->onFinished = [&](const NVError& e) { readFailures.put(e); };
  unreadable->start();
  auto readFailure = readFailures.take();
  ASSERT_TRUE(readFailure);
  EXPECT_EQ(readFailure->kind(), NVError::Kind::system);
  EXPECT_EQ(readFailure->code(), std::errc::io_error);

  // Sends refused mid-transfer: the connection closes with chunks in flight.
  writeFile(dir.path() / "big.bin", toString(pattern(64 * FileSender::chunkSize)));
  auto sending = sender(dir.path() / "big.bin");
  ASSERT_TRUE(sending);
  Mailbox<NVError> failures;
  Mailbox<bool> going;
  sending->onFinished = [&](const NVError& e) { failures.put(e); };
  sending->onProgress = [&](double) { going.put(true); };
  QueueGate gate(*client->queue());
  sending->start();
  ASSERT_TRUE(going.take());
  host->close();
  gate.release();
  auto failure = failures.take();
  ASSERT_TRUE(failure);
  EXPECT_EQ(*failure, NVError::closed());

  std::weak_ptr<FileSender> weak = sending;
  sending.reset();
  unreadable.reset();
  EXPECT_TRUE(released(weak));
  EXPECT_EQ(failures.size(), 0u);
  EXPECT_EQ(readFailures.size(), 0u);
}

}  // namespace
}  // namespace ombrel
