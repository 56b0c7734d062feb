#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace ombrel::test {

// A private Xvfb for one test or benchmark (header-only, no X libraries needed): the server picks a
// free display number itself (-displayfd), so tests running side by side never collide. Stopped on
// destruction.
class XvfbServer {
 public:
  // `screen` is Xvfb's WIDTHxHEIGHTxDEPTH; `extra` goes on Xvfb's command line as it is (e.g.
  // "-extension", "DAMAGE"). Check ok() before use.
  explicit XvfbServer(const std::string& screen = "5120x2880x24",
                      const std::vector<std::string>& extra = {}) {
    int fds[2];
    if (pipe(fds) != 0) return;
    // Built before fork: a child of a threaded process must not allocate.
    std::string fd = std::to_string(fds[1]);
    std::vector<const char*> argv{"Xvfb",         "-displayfd", fd.c_str(), "-screen", "0",
                                  screen.c_str(), "-nolisten",  "tcp",      "-noreset"};
    for (const auto& arg : extra) argv.push_back(arg.c_str());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      int null = open("/dev/null", O_RDWR);
      dup2(null, STDIN_FILENO);
      dup2(null, STDOUT_FILENO);
      dup2(null, STDERR_FILENO);
      execvp("Xvfb", const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    close(fds[1]);
    if (pid_ < 0) {
      close(fds[0]);
      return;
    }
    // Xvfb writes its display number once it accepts connections.
    std::string number;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{.fd = fds[0], .events = POLLIN, .revents = 0};
      if (poll(&p, 1, 200) <= 0) continue;
      char c = 0;
      if (read(fds[0], &c, 1) != 1) break;
      if (c == '\n') {
        display_ = ":" + number;
        break;
      }
      number.push_back(c);
    }
    close(fds[0]);
  }
  ~XvfbServer() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool ok() const { return !display_.empty(); }
  // ":N"
  const std::string& display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

}  // namespace ombrel::test
