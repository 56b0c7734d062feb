// Every X11 user in the host shares one error regime: a stray X error or a vanished server is
// logged, never the end of the process, whatever order the input and screen layers start in.
// Each case runs in a forked child, so that Xlib ending the process is observed, not suffered.
// GoogleTest before Xlib: Xlib's macros (None, Bool, Status) would break its templates.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
// clang-format on
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Ombrel_Remote_Host/input/injection_record.h"
#include "Ombrel_Remote_Host/linux/x11/remote_click_classifier.h"
#include "Ombrel_Remote_Host/linux/x11/x11_connection.h"
#include "Ombrel_Remote_Host/linux/x11/x11_input_sink.h"
#include "support/xvfb_server.h"

namespace ombrel {
namespace {

// A BadWindow outside any trap, as when a window closes between two requests.
void strayError(Display* display) {
  const Window gone = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XDestroyWindow(display, gone);
  XMapWindow(display, gone);
  XSync(display, False);
}

// Runs the input layer's trapped request: reading the settings of an XSETTINGS manager whose
// window has no settings.
void useInputTrap(X11InputSink& sink) {
  Display* display = sink.display();
  const Window owner =
      XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(display, XInternAtom(display, "_XSETTINGS_S0", False), owner, CurrentTime);
  XSync(display, False);
  (void)sink.doubleClickInterval();
  XDestroyWindow(display, owner);
  XSync(display, False);
}

std::unique_ptr<X11InputSink> openSink(const std::string& display) {
  auto sink = X11InputSink::open(display);
  if (!sink) _exit(3);
  return sink;
}

std::shared_ptr<x11::Connection> openConnection(const std::string& display) {
  auto connection = x11::Connection::open(display);
  if (!connection) _exit(3);
  return connection;
}

struct Outcome {
  int exitCode = -1;
  std::string stderrText;
};

// Runs `body` in a child process; its exit code (or -signal) and what it wrote to stderr.
Outcome inChild(const std::function<void()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    dup2(fds[1], STDERR_FILENO);
    body();
    _exit(0);
  }
  close(fds[1]);
  Outcome outcome;
  char buffer[512];
  ssize_t n = 0;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) outcome.stderrText.append(buffer, n);
  close(fds[0]);
  int status = 0;
  if (pid > 0 && waitpid(pid, &status, 0) == pid) {
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
  }
  return outcome;
}

TEST(XErrorRegimeTest, AStrayErrorOrALostServerNeverEndsTheProcess) {
  test::XvfbServer server("640x480x24");
  ASSERT_TRUE(server.ok());
  const std::string display = server.display();
  const struct {
    const char* name;
    std::function<void()> body;
  } cases[] = {
      {"input layer first, then the screen layer",
       [&] {
         auto sink = openSink(display);
         useInputTrap(*sink);
         strayError(sink->display());
         auto connection = openConnection(display);
         strayError(connection->display());
         strayError(sink->display());
       }},
      {"screen layer first, then the input layer",
       [&] {
         auto connection = openConnection(display);
         strayError(connection->display());
         auto sink = openSink(display);
         useInputTrap(*sink);
         strayError(sink->display());
         strayError(connection->display());
       }},
      {"the input layer's server goes away",
       [] {
         std::optional<test::XvfbServer> own(std::in_place, "640x480x24");
         if (!own->ok()) _exit(3);
         auto sink = openSink(own->display());
         useInputTrap(*sink);
         own.reset();
         sink->sync();
         sink->flush();
       }},
      {"the click classifier's server goes away",
       [] {
         std::optional<test::XvfbServer> own(std::in_place, "640x480x24");
         if (!own->ok()) _exit(3);
         ManualClock clock;
         auto classifier = RemoteClickClassifier::open(std::make_shared<InjectionRecord>(),
                                                       own->display(), clock);
         if (!classifier) _exit(3);
         own.reset();
         (void)classifier->lastPressOrigin();
       }},
  };
  for (const auto& c : cases) {
    const Outcome outcome = inChild(c.body);
    EXPECT_EQ(outcome.exitCode, 0) << c.name << "\n" << outcome.stderrText;
  }
}

}  // namespace
}  // namespace ombrel
