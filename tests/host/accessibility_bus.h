#pragma once

// A private session bus for the AT-SPI tests: its service activation starts at-spi2-core's bus
// launcher and registry on demand, and they leave with it.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace ombrel::test {

inline bool accessibilityBusInstalled() {
  return std::filesystem::exists("/usr/libexec/at-spi-bus-launcher");
}

// HOME and XDG_RUNTIME_DIR point into a temporary folder so the accessibility bus socket is the
// test's own; DISPLAY is unset so that the launcher publishes the bus on no X server.
class SessionBus {
 public:
  SessionBus() {
    char dirTemplate[] = "/tmp/ombrel-atspi-XXXXXX";
    if (!mkdtemp(dirTemplate)) return;
    dir_ = dirTemplate;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      setenv("HOME", dir_.c_str(), 1);
      setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
      unsetenv("DISPLAY");
      if (fds[1] == 3) {
        fcntl(3, F_SETFD, 0);
      } else {
        dup2(fds[1], 3);
      }
      execlp("dbus-daemon", "dbus-daemon", "--session", "--nofork", "--nopidfile",
             "--print-address=3", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    pollfd p{.fd = fds[0], .events = POLLIN};
    char c;
    while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') address_ += c;
    close(fds[0]);
  }
  ~SessionBus() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(dir_, ignored);
    }
  }
  SessionBus(const SessionBus&) = delete;
  SessionBus& operator=(const SessionBus&) = delete;

  const std::string& address() const { return address_; }
  const std::string& dir() const { return dir_; }

 private:
  pid_t pid_ = -1;
  std::string dir_;
  std::string address_;
};

}  // namespace ombrel::test
