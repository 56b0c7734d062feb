// File transfer through the real host process. The bench starts ombrel-host (headless, in a
// throw-away XDG tree), pairs an in-process client with it (answering the card on the host's
// terminal), then times over loopback:
//   client->host  the client's FileSender to the host's receiver, until the host's fileResult
//   host->client  the owner's "send PATH" line to the client's FileReceiver, until the file is
//                 complete on the client's side
// and compares each rate with NVConnection's raw one-way throughput of 256 KiB messages measured
// in the same run (goal: ratio >= 0.80). The host's resident memory is sampled before and during
// each transfer: the senders' window bounds it, so the peak must not grow with the file.
//
// The file, the host's download folder and the client's inbox sit on tmpfs (/dev/shm, else
// $XDG_RUNTIME_DIR), so the disk does not set the pace.
//
// Run: build/rel/bench/file_transfer_bench [SIZE_MIB=1024]   (uses ombrel-host of the same tree)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "OmbrelKit/file_transfer.h"
#include "OmbrelKit/messages.h"
#include "OmbrelKit/nv_connection.h"
#include "base/log.h"
#include "base/runtime.h"

extern char** environ;

using namespace ombrel;
using Steady = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double seconds(Steady::duration d) { return std::chrono::duration<double>(d).count(); }
constexpr double MiB = 1024.0 * 1024.0;

[[noreturn]] void fail(const std::string& why) {
  std::fprintf(stderr, "file_transfer_bench: %s\n", why.c_str());
  std::exit(1);
}

// ---- the host process ------------------------------------------------------------------------

class HostProcess {
 public:
  HostProcess(const std::filesystem::path& program, const std::filesystem::path& root) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      const std::string key = entry.substr(0, entry.find('='));
      if (key != "HOME" && key.rfind("XDG_", 0) != 0 && key.rfind("DBUS_", 0) != 0 &&
          key != "DISPLAY" && key != "WAYLAND_DISPLAY") {
        env.push_back(entry);
      }
    }
    // Nothing of the machine's desktop: no buses, no display, a home of its own.
    env.push_back("HOME=" + (root / "home").string());
    env.push_back("XDG_CONFIG_HOME=" + (root / "config").string());
    env.push_back("XDG_DATA_HOME=" + (root / "data").string());
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (root / "no-bus").string());
    env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=" + (root / "no-bus").string());
    std::vector<char*> envp;
    for (auto& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = {program.string(), "--headless", "--port", "0"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);

    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) fail("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0) {
      fail("cannot start " + program.string());
    }
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    in_ = in[1];
    reader_ = std::thread([this, fd = out[0]] { read(fd); });
  }
  ~HostProcess() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    ::close(in_);
    reader_.join();
  }

  pid_t pid() const { return pid_; }
  void write(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(in_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      fail("cannot write to the host");
    }
  }
  // The next line holding `needle`; earlier ones are passed over.
  std::string waitFor(const std::string& needle, std::chrono::seconds limit = 60s) {
    std::unique_lock lock(mutex_);
    const auto deadline = Steady::now() + limit;
    for (;;) {
      while (!lines_.empty()) {
        std::string line = std::move(lines_.front());
        lines_.pop_front();
        if (line.find(needle) != std::string::npos) return line;
      }
      if (ended_ || changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
        fail("the host never printed \"" + needle + "\"");
      }
    }
  }
  // Resident set size in bytes (VmRSS).
  std::size_t rss() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
  }

 private:
  void read(int fd) {
    std::string pending;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) {
      pending.append(buffer, static_cast<std::size_t>(n));
      std::lock_guard lock(mutex_);
      for (auto newline = pending.find('\n'); newline != std::string::npos;
           newline = pending.find('\n')) {
        lines_.push_back(pending.substr(0, newline));
        pending.erase(0, newline + 1);
      }
      changed_.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    ended_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int in_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> lines_;
  bool ended_ = false;
};

// The host's peak resident size while it runs, sampled every 10 ms.
class RSSWatch {
 public:
  explicit RSSWatch(const HostProcess& host) : host_(host), peak_(host.rss()) {
    thread_ = std::thread([this] {
      while (!stop_) {
        peak_ = std::max(peak_.load(), host_.rss());
        std::this_thread::sleep_for(10ms);
      }
    });
  }
  ~RSSWatch() { stopped(); }
  std::size_t stopped() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return peak_;
  }

 private:
  const HostProcess& host_;
  std::atomic<std::size_t> peak_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---- the client ------------------------------------------------------------------------------

struct Message {
  MessageType type;
  Bytes body;
};

class Client {
 public:
  Client(Runtime& runtime, std::uint16_t port) {
    conn_ =
        NVConnection::create(TCPTransport::connect("127.0.0.1", port), NVConnection::Role::client,
                             DeviceIdentity(Bytes(32, 0x33)), std::nullopt, runtime);
    conn_->onReady = [this] { ready_.set_value(); };
    conn_->onMessage = [this](MessageType type, Bytes body) {
      // File messages go straight to the receiver on the connection's queue, as a client's do.
      if (receiver && receiver->handle(type, body)) return;
      put({type, std::move(body)});
    };
    conn_->start();
  }
  ~Client() {
    conn_->close();
    conn_->queue()->sync([this] {
      conn_->onMessage = nullptr;
      receiver.reset();
    });
  }

  void waitReady() {
    if (ready_.get_future().wait_for(60s) != std::future_status::ready) fail("no handshake");
  }
  NVConnection& conn() { return *conn_; }
  const std::shared_ptr<NVConnection>& shared() { return conn_; }

  Message next(MessageType type, std::chrono::seconds limit = 60s) {
    std::unique_lock lock(mutex_);
    const auto deadline = Steady::now() + limit;
    for (;;) {
      for (auto it = messages_.begin(); it != messages_.end(); ++it) {
        if (it->type != type) continue;
        Message m = std::move(*it);
        messages_.erase(it);
        return m;
      }
      if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
        fail("no message of type " + std::to_string(rawValue(type)));
      }
    }
  }

  std::unique_ptr<FileReceiver> receiver;  // connection queue

 private:
  void put(Message m) {
    std::lock_guard lock(mutex_);
    messages_.push_back(std::move(m));
    changed_.notify_all();
  }

  std::shared_ptr<NVConnection> conn_;
  std::promise<void> ready_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Message> messages_;
};

// ---- the baseline ----------------------------------------------------------------------------

// NVConnection alone: 256 KiB messages one way over loopback TCP with up to 8 MiB queued (as
// connection_bench measures it), both ends in this process, after a warm-up.
double rawOneWay(Runtime& runtime, std::int64_t bytes) {
  asio::ip::tcp::acceptor acceptor(runtime.context(), {asio::ip::address_v4::loopback(), 0});
  acceptor.listen();
  std::promise<void> clientReady, hostReady;
  auto client = NVConnection::create(
      TCPTransport::connect("127.0.0.1", acceptor.local_endpoint().port()),
      NVConnection::Role::client, DeviceIdentity(Bytes(32, 0x44)), std::nullopt, runtime);
  client->onReady = [&] { clientReady.set_value(); };
  client->start();
  auto host = NVConnection::create(acceptor.accept(), NVConnection::Role::host,
                                   DeviceIdentity(Bytes(32, 0x55)), std::nullopt, runtime);
  host->onReady = [&] { hostReady.set_value(); };
  host->start();
  clientReady.get_future().wait();
  hostReady.get_future().wait();

  const std::size_t size = FileSender::chunkSize;
  std::mutex mutex;
  std::condition_variable changed;
  std::int64_t received = 0, completed = 0;
  host->queue()->sync([&] {
    host->onMessage = [&](MessageType, Bytes) {
      std::lock_guard lock(mutex);
      ++received;
      changed.notify_all();
    };
  });
  const auto run = [&](std::int64_t messages) {
    {
      std::lock_guard lock(mutex);
      received = completed = 0;
    }
    const auto start = Steady::now();
    for (std::int64_t i = 0; i < messages; ++i) {
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return client->pendingBytes() <= 8 * 1024 * 1024; });
      }
      client->send(MessageType::fileChunk, Bytes(size, 0x5A), [&](bool) {
        std::lock_guard lock(mutex);
        ++completed;
        changed.notify_all();
      });
    }
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return received == messages && completed == messages; });
    return double(messages) * double(size) / seconds(Steady::now() - start);
  };
  run(128);  // past TCP's and the allocator's warm-up
  const double rate = run(std::max<std::int64_t>(1, bytes / static_cast<std::int64_t>(size)));
  host->queue()->sync([&] { host->onMessage = nullptr; });
  client->close();
  host->close();
  client->queue()->sync([] {});
  host->queue()->sync([] {});
  return rate;
}

std::filesystem::path tmpfsRoot() {
  if (std::filesystem::is_directory("/dev/shm")) return "/dev/shm";
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) return runtime;
  fail("no tmpfs: neither /dev/shm nor $XDG_RUNTIME_DIR");
}

void writeFile(const std::filesystem::path& path, std::int64_t size) {
  std::vector<char> block(1 << 20);
  std::mt19937 generator(1);
  for (auto& b : block) b = static_cast<char>(generator());
  std::ofstream out(path, std::ios::binary);
  for (std::int64_t left = size; left > 0;) {
    const auto n = static_cast<std::streamsize>(std::min<std::int64_t>(left, block.size()));
    out.write(block.data(), n);
    left -= n;
  }
  if (!out) fail("cannot write " + path.string());
}

void printTransfer(const char* direction, std::int64_t size, double wall, double raw,
                   std::size_t before, std::size_t peak) {
  const double rate = double(size) / wall;
  std::printf(
      "%s: %.0f MiB in %.2f s, %.1f MB/s, ratio to raw %.2f (goal >= 0.80); host RSS before "
      "%.1f MiB, peak %.1f MiB (+%.1f MiB)\n",
      direction, double(size) / MiB, wall, rate / 1e6, rate / raw, double(before) / MiB,
      double(peak) / MiB, (double(peak) - double(before)) / MiB);
}

}  // namespace

int main(int argc, char** argv) {
  log::setSink([](std::string_view) {});
  const std::int64_t size = std::int64_t(argc > 1 ? std::atoll(argv[1]) : 1024) * (1 << 20);
  if (size <= 0) fail("usage: file_transfer_bench [SIZE_MIB]");
  const auto self = std::filesystem::read_symlink("/proc/self/exe");
  const auto program = self.parent_path().parent_path() / "Ombrel_Remote_Host" / "ombrel-host";
  if (!std::filesystem::exists(program)) fail(program.string() + " is not built");

  std::string pattern = (tmpfsRoot() / "ombrel-file-bench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) fail("mkdtemp");
  const std::filesystem::path root = pattern;
  struct Cleanup {
    std::filesystem::path root;
    ~Cleanup() { std::filesystem::remove_all(root); }
  } cleanup{root};
  const auto source = root / "payload.bin";
  writeFile(source, size);

  Runtime runtime;
  const double raw = rawOneWay(runtime, std::min<std::int64_t>(size, std::int64_t(512) << 20));
  std::printf("raw NVConnection one-way (256 KiB messages, 8 MiB queued): %.1f MB/s\n", raw / 1e6);

  HostProcess host(program, root / "host");
  const std::string listening = host.waitFor("listening port=");
  const auto port =
      static_cast<std::uint16_t>(std::stoi(listening.substr(listening.find('=') + 1)));
  Client client(runtime, port);
  client.waitReady();
  client.conn().sendJSON(
      MessageType::clientHello,
      ClientHello{.deviceName = "Bench", .model = "Linux", .protocolVersion = 2});
  client.next(MessageType::hostHello);
  client.conn().sendJSON(MessageType::pairRequest,
                         PairRequest{.deviceName = "Bench", .model = "Linux"});
  host.waitFor("[Bench ");
  std::this_thread::sleep_for(3200ms);  // the card arms after 3 seconds
  host.write("o");
  if (!NVJSON::decode<PairResult>(client.next(MessageType::pairResult).body).ok) {
    fail("pairing refused");
  }
  client.next(MessageType::hostHello);

  // Client to host.
  {
    const std::size_t before = host.rss();
    RSSWatch watch(host);
    std::error_code error;
    auto sender = FileSender::create(source, client.shared(), runtime, error);
    if (!sender) fail("cannot open the payload: " + error.message());
    const auto start = Steady::now();
    sender->start();
    auto result = NVJSON::decode<FileResult>(client.next(MessageType::fileResult, 600s).body);
    const double wall = seconds(Steady::now() - start);
    const std::size_t peak = watch.stopped();
    if (!result.ok) fail("the host refused the file: " + result.message.value_or(""));
    const auto stored = root / "host" / "home" / "Downloads" / "Ombrel Remote" / "payload.bin";
    if (std::filesystem::file_size(stored) != static_cast<std::uintmax_t>(size)) {
      fail("the host stored a file of another size");
    }
    std::filesystem::remove(stored);
    printTransfer("client->host", size, wall, raw, before, peak);
  }

  // Host to client.
  {
    std::promise<FileResult> finished;
    client.conn().queue()->sync([&] {
      client.receiver = std::make_unique<FileReceiver>(root / "inbox");
      client.receiver->onFinished = [&](const FileResult& result,
                                        std::optional<std::filesystem::path>) {
        client.conn().sendJSON(MessageType::fileResult, result);
        finished.set_value(result);
      };
    });
    const std::size_t before = host.rss();
    RSSWatch watch(host);
    const auto start = Steady::now();
    host.write("send '" + source.string() + "'");
    auto done = finished.get_future();
    if (done.wait_for(600s) != std::future_status::ready) fail("the host's file never came");
    const double wall = seconds(Steady::now() - start);
    const std::size_t peak = watch.stopped();
    if (!done.get().ok) fail("the client could not store the host's file");
    if (std::filesystem::file_size(root / "inbox" / "payload.bin") !=
        static_cast<std::uintmax_t>(size)) {
      fail("the client stored a file of another size");
    }
    host.waitFor("files: 已傳送");
    printTransfer("host->client", size, wall, raw, before, peak);
    client.conn().queue()->sync([&] { client.receiver.reset(); });
  }
  return 0;
}
