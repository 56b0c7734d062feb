// The caret locator against AT-SPI: absent, and a real accessibility bus that the test starts.
#include "Ombrel_Remote_Host/linux/atspi/atspi_caret_locator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <optional>
#include <string>

#include "base/runtime.h"

namespace ombrel {
namespace {

// AT-SPI keeps process-wide state, so each case runs in a child process of its own.
// Exit codes: 0 no locator, 1 locator without caret, 2 locator with a caret, 3 an answer
// off the asking queue, 4 no answer. `onWorker` asks as the sessions do: on the Runtime's
// blocking worker, with the answer handed back to a queue.
[[noreturn]] void probe(const std::string& sessionBus, bool onWorker = false) {
  unsetenv("DISPLAY");  // the bus must not be looked up on some X server
  unsetenv("AT_SPI_BUS_ADDRESS");
  setenv("DBUS_SESSION_BUS_ADDRESS", sessionBus.c_str(), 1);
  auto locator = AtspiCaretLocator::create();
  if (!locator) _exit(0);
  if (!onWorker) _exit(locator->caretRect() ? 2 : 1);
  Runtime runtime;
  auto queue = runtime.makeQueue("test.caret");
  std::promise<int> code;
  runtime.blockingWorker()->makeLane()->run(
      queue, [&] { return locator->caretRect(); },
      [&](const std::optional<InputRect>& caret) {
        code.set_value(!queue->isCurrent() ? 3 : caret ? 2 : 1);
      });
  auto answer = code.get_future();
  _exit(answer.wait_for(std::chrono::seconds(30)) == std::future_status::ready ? answer.get() : 4);
}

TEST(AtspiCaretLocatorTest, WithoutAnAccessibilityBusThereIsNoLocator) {
  EXPECT_EXIT(probe("unix:path=/nonexistent/ombrel-test-bus"), ::testing::ExitedWithCode(0), "");
}

// A private session bus whose service activation starts at-spi2-core's bus launcher and
// registry; they leave with it. HOME and XDG_RUNTIME_DIR point into a temporary folder so
// the accessibility bus socket is the test's own.
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
  const std::string& address() const { return address_; }

 private:
  pid_t pid_ = -1;
  std::string dir_;
  std::string address_;
};

TEST(AtspiCaretLocatorTest, ARealBusWithNothingFocusedHasNoCaret) {
  if (!std::filesystem::exists("/usr/libexec/at-spi-bus-launcher")) {
    GTEST_SKIP() << "at-spi2-core is not installed: no accessibility bus to start";
  }
  SessionBus bus;
  if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon could not start a session bus";
  // Connected, asked the registry, and found no focused text (no application runs); the same
  // when asked from the blocking worker.
  for (bool onWorker : {false, true}) {
    EXPECT_EXIT(probe(bus.address(), onWorker), ::testing::ExitedWithCode(1), "") << onWorker;
  }
}

}  // namespace
}  // namespace ombrel
