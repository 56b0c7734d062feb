#pragma once
// A private Xvfb for tests and benchmarks. Header-only, no X libraries needed.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace ombrel::xtest {

// Xvfb on a display number it picks itself (-displayfd), so parallel tests never collide.
class XvfbServer {
 public:
  explicit XvfbServer(const std::string& screen = "1920x1080x24") {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      if (fds[1] == 3) {
        fcntl(3, F_SETFD, 0);
      } else {
        dup2(fds[1], 3);  // the copy is not close-on-exec
      }
      const int devnull = ::open("/dev/null", O_RDWR);
      dup2(devnull, 1);
      dup2(devnull, 2);
      execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", screen.c_str(), "-nolisten", "tcp",
             "-noreset", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd p{.fd = fds[0], .events = POLLIN};
    char c;
    while (poll(&p, 1, 10000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (!number.empty()) name_ = ":" + number;
  }
  ~XvfbServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  XvfbServer(const XvfbServer&) = delete;
  XvfbServer& operator=(const XvfbServer&) = delete;

  bool running() const { return !name_.empty(); }
  const std::string& name() const { return name_; }

 private:
  pid_t pid_ = -1;
  std::string name_;
};

}  // namespace ombrel::xtest
