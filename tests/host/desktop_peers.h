#pragma once

// Real desktop peers for tests: private dbus-daemons, python-dbusmock services, avahi-daemon in a
// network namespace of its own. Everything started here is stopped by its owner's destructor.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "Ombrel_Remote_Host/linux/dbus/sd_bus.h"

extern char** environ;

namespace ombrel::test {

using namespace std::chrono_literals;

// Polls `done` until it holds or `timeout` passes. For waiting on other processes, where there is
// no clock to inject.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

class TempDir {
 public:
  explicit TempDir(std::filesystem::path parent = std::filesystem::temp_directory_path()) {
    std::string pattern = (parent / "ombrel-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

inline bool programExists(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/bin:/bin";
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    auto candidate = std::filesystem::path(dirs.substr(start, end - start)) / name;
    if (access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

// The distribution's interpreter, which has python3-dbusmock, even when another python3 is
// first on PATH.
inline std::string systemPython() {
  return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

class ChildProcess {
 public:
  struct Options {
    std::map<std::string, std::string> env;  // added to (or replacing) this process's
    bool captureStdout = false;
    bool quiet = true;       // stdout (when not captured) and stderr to /dev/null
    bool pipeStdin = false;  // write() feeds its standard input; else /dev/null
  };

  ChildProcess(const std::vector<std::string>& argv, Options options) {
    std::vector<std::string> envStrings;
    for (char** e = environ; *e; ++e) {
      std::string entry = *e;
      if (!options.env.contains(entry.substr(0, entry.find('=')))) envStrings.push_back(entry);
    }
    for (const auto& [key, value] : options.env) envStrings.push_back(key + "=" + value);
    std::vector<char*> envp;
    for (auto& s : envStrings) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& s : args) argp.push_back(s.data());
    argp.push_back(nullptr);

    int pipeFds[2] = {-1, -1};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int inFds[2] = {-1, -1};
    if (options.pipeStdin && pipe2(inFds, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, inFds[0], STDIN_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (options.captureStdout && pipe2(pipeFds, O_CLOEXEC) == 0) {
      posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    } else if (options.quiet) {
      posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    if (options.quiet) {
      posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so stopping it reaches whatever it started.
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    if (posix_spawnp(&pid_, argp[0], &actions, &attr, argp.data(), envp.data()) != 0) pid_ = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (pipeFds[1] >= 0) close(pipeFds[1]);
    if (inFds[0] >= 0) close(inFds[0]);
    out_ = pipeFds[0];
    in_ = inFds[1];
  }
  ~ChildProcess() {
    closeStdin();
    stop();
    if (out_ >= 0) close(out_);
  }

  pid_t pid() const { return pid_; }

  // Writes to the process's standard input (Options::pipeStdin).
  bool write(std::string_view text) {
    while (!text.empty()) {
      ssize_t n = ::write(in_, text.data(), text.size());
      if (n <= 0) return false;
      text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
  }
  void closeStdin() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }
  void signal(int number) {
    if (pid_ > 0) kill(pid_, number);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool started() const { return pid_ > 0; }

  // The next line of the captured stdout.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      auto newline = buffer_.find('\n');
      if (newline != std::string::npos) {
        std::string line = buffer_.substr(0, newline);
        buffer_.erase(0, newline + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (out_ < 0 || left.count() <= 0) return std::nullopt;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char chunk[4096];
      ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Everything the process writes to stdout until it exits (or `timeout`).
  std::string readAll(std::chrono::milliseconds timeout = 10s) {
    std::string all;
    while (auto line = readLine(timeout)) all += *line + "\n";
    return all + buffer_;
  }

  // Waits for the process to end by itself; its exit status, or nullopt on timeout.
  std::optional<int> wait(std::chrono::milliseconds timeout = 10s) {
    if (pid_ <= 0) return exitStatus_;
    int status = 0;
    bool done = waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, timeout);
    if (!done) return std::nullopt;
    pid_ = -1;
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return exitStatus_;
  }

  // SIGTERM to the process group, SIGKILL after a grace period.
  void stop(std::chrono::milliseconds grace = 3s) {
    if (pid_ <= 0) return;
    kill(-pid_, SIGTERM);
    if (!wait(grace)) {
      kill(-pid_, SIGKILL);
      wait(grace);
    }
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string buffer_;
  std::optional<int> exitStatus_;
};

// A dbus-daemon of our own on a Unix socket in `dir`, with a policy that lets anyone own any
// name (logind's, Avahi's, the screensaver's).
class PrivateBus {
 public:
  PrivateBus(const std::filesystem::path& dir, const std::string& name) {
    auto config = dir / (name + ".conf");
    std::ofstream(config)
        << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=)"
        << (dir / (name + ".socket")).string() << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
)";
    daemon_.emplace(
        std::vector<std::string>{"dbus-daemon", "--nofork", "--nopidfile",
                                 "--config-file=" + config.string(), "--print-address=1"},
        ChildProcess::Options{.captureStdout = true});
    if (auto line = daemon_->readLine(10s)) address_ = *line;
  }

  bool running() const { return !address_.empty(); }
  const std::string& address() const { return address_; }
  void stop() { daemon_.reset(); }

  // Whether `name` has an owner on this bus now.
  bool hasOwner(const std::string& name) const {
    SdBus bus(BusKind::session, address_);
    SdBusError error;
    auto reply = bus.call(
        {"org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner"},
        [&](sd_bus_message* m) { return sd_bus_message_append(m, "s", name.c_str()); }, 2s, error);
    int owned = 0;
    return reply && sd_bus_message_read(reply.get(), "b", &owned) >= 0 && owned;
  }

 private:
  std::optional<ChildProcess> daemon_;
  std::string address_;
};

// A python-dbusmock service. `systemBus` and `sessionBus` are what the mock sees as its buses.
class DBusMock {
 public:
  DBusMock(const std::vector<std::string>& mockArgs, const PrivateBus& bus,
           const std::string& busName, bool onSystemBus) {
    std::vector<std::string> argv{systemPython(), "-m", "dbusmock"};
    argv.insert(argv.end(), mockArgs.begin(), mockArgs.end());
    std::map<std::string, std::string> env;
    env[onSystemBus ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS"] = bus.address();
    process_.emplace(argv, ChildProcess::Options{.env = env});
    ready_ = waitUntil([&] { return bus.hasOwner(busName); }, 15s);
  }
  bool ready() const { return ready_; }

 private:
  std::optional<ChildProcess> process_;
  bool ready_ = false;
};

inline bool dbusmockAvailable() {
  return programExists("dbus-daemon") &&
         std::system((systemPython() + " -c 'import dbusmock' 2>/dev/null").c_str()) == 0;
}

// Calls a method on `address` and returns the reply (nullptr on failure).
inline SdBusMessage callOn(const std::string& address, const SdBus::Method& method,
                           const SdBus::Arguments& arguments = nullptr) {
  SdBus bus(BusKind::session, address);
  SdBusError error;
  return bus.call(method, arguments, 5s, error);
}

// The names of the methods a dbusmock object has been called with, in order.
inline std::vector<std::string> mockCalls(const std::string& address, const char* destination,
                                          const char* path) {
  std::vector<std::string> names;
  auto reply = callOn(address, {destination, path, "org.freedesktop.DBus.Mock", "GetCalls"});
  if (!reply || sd_bus_message_enter_container(reply.get(), 'a', "(tsav)") < 0) return names;
  while (sd_bus_message_enter_container(reply.get(), 'r', "tsav") > 0) {
    std::uint64_t time = 0;
    const char* name = nullptr;
    sd_bus_message_read(reply.get(), "ts", &time, &name);
    names.emplace_back(name ? name : "");
    sd_bus_message_skip(reply.get(), "av");
    sd_bus_message_exit_container(reply.get());
  }
  return names;
}

// Adds one method to a dbusmock object; `code` is Python run with `args` bound.
inline bool addMockMethod(const std::string& address, const char* destination, const char* path,
                          const char* interface, const char* name, const char* in, const char* out,
                          const char* code) {
  return callOn(address, {destination, path, "org.freedesktop.DBus.Mock", "AddMethod"},
                [&](sd_bus_message* m) {
                  return sd_bus_message_append(m, "sssss", interface, name, in, out, code);
                }) != nullptr;
}

}  // namespace ombrel::test
