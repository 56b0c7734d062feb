#pragma once
// A plain Xlib window that records what reaches it, and a fixture with an injector on a
// private Xvfb.
// Header-only: the X libraries are linked through the host library. It includes
// <gtest/gtest.h> before Xlib, whose macros (None, Bool, Status) break GoogleTest.

#include <gtest/gtest.h>
// clang-format off
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// clang-format on
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Ombrel_Remote_Host/input/input_injector.h"
#include "Ombrel_Remote_Host/linux/x11/x11_input_sink.h"
#include "base/clock.h"
#include "base/log.h"
#include "tests/support/xvfb_server.h"

namespace ombrel::xtest {

// One event as the window saw it.
struct SeenEvent {
  int type = 0;  // MotionNotify, ButtonPress, ...
  int x = 0, y = 0;
  unsigned button = 0;
  unsigned keycode = 0;
  unsigned state = 0;
  KeySym keysym = NoSymbol;  // with the event's modifiers applied
};

// A window over the whole screen that takes the input focus and records pointer and key
// events. Keeps its copy of the keyboard map current, as every X client must.
class XTestWindow {
 public:
  explicit XTestWindow(const std::string& display) {
    display_ = XOpenDisplay(display.c_str());
    if (!display_) return;
    const int screen = DefaultScreen(display_);
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.event_mask = PointerMotionMask | ButtonPressMask | ButtonReleaseMask | KeyPressMask |
                            KeyReleaseMask | StructureNotifyMask;
    window_ =
        XCreateWindow(display_, RootWindow(display_, screen), 0, 0, DisplayWidth(display_, screen),
                      DisplayHeight(display_, screen), 0, CopyFromParent, InputOutput,
                      CopyFromParent, CWOverrideRedirect | CWEventMask, &attributes);
    XMapRaised(display_, window_);
    waitFor([](const XEvent& e) { return e.type == MapNotify; });
    XSetInputFocus(display_, window_, RevertToParent, CurrentTime);
    XSync(display_, False);
  }
  ~XTestWindow() {
    if (display_) XCloseDisplay(display_);
  }
  XTestWindow(const XTestWindow&) = delete;
  XTestWindow& operator=(const XTestWindow&) = delete;

  Display* display() const { return display_; }

  // Reads events until `count` pointer or key events of the given types have been seen since
  // the last clear(), or a few seconds passed. Returns those events.
  std::vector<SeenEvent> collect(std::vector<int> types, std::size_t count) {
    auto matching = [&] {
      std::vector<SeenEvent> out;
      for (const auto& e : seen_) {
        for (int t : types) {
          if (e.type == t) out.push_back(e);
        }
      }
      return out;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (matching().size() < count && std::chrono::steady_clock::now() < deadline) {
      pump(100);
    }
    return matching();
  }

  void clear() { seen_.clear(); }

 private:
  void waitFor(const std::function<bool(const XEvent&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (std::chrono::steady_clock::now() < deadline) {
      while (XPending(display_) > 0) {
        XEvent e;
        XNextEvent(display_, &e);
        if (done(e)) return;
      }
      pollfd p{.fd = ConnectionNumber(display_), .events = POLLIN};
      poll(&p, 1, 100);
    }
  }

  void pump(int timeoutMs) {
    XSync(display_, False);
    if (XPending(display_) == 0) {
      pollfd p{.fd = ConnectionNumber(display_), .events = POLLIN};
      poll(&p, 1, timeoutMs);
    }
    while (XPending(display_) > 0) {
      XEvent e;
      XNextEvent(display_, &e);
      SeenEvent s{.type = e.type};
      switch (e.type) {
        case MappingNotify:
          XRefreshKeyboardMapping(&e.xmapping);
          continue;
        case MotionNotify:
          s.x = e.xmotion.x_root, s.y = e.xmotion.y_root, s.state = e.xmotion.state;
          break;
        case ButtonPress:
        case ButtonRelease:
          s.x = e.xbutton.x_root, s.y = e.xbutton.y_root, s.state = e.xbutton.state;
          s.button = e.xbutton.button;
          break;
        case KeyPress:
        case KeyRelease: {
          s.keycode = e.xkey.keycode, s.state = e.xkey.state;
          char text[16];
          XLookupString(&e.xkey, text, sizeof text, &s.keysym, nullptr);
          break;
        }
        default:
          continue;
      }
      seen_.push_back(s);
    }
  }

  Display* display_ = nullptr;
  Window window_ = 0;
  std::vector<SeenEvent> seen_;
};

// One Xvfb for a suite, and for each test an injector on it driven by the test's clock.
class InjectorOnXvfbTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server = new test::XvfbServer("1920x1080x24"); }
  static void TearDownTestSuite() {
    delete server;
    server = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server->ok()) << "Xvfb did not start";
    log::setSink([](std::string_view) {});
    sink = X11InputSink::open(server->display());
    ASSERT_TRUE(sink);
    ASSERT_TRUE(sink->canInject());
    // Well past zero, as the steady clock is on a running machine.
    clock.advance(100);
    injector = std::make_unique<InputInjector>(sink, InputRect{0, 0, 1920, 1080}, clock);
  }
  void TearDown() override {
    if (injector) injector->releaseAll();
    log::setSink({});
  }

  static inline test::XvfbServer* server = nullptr;
  ManualClock clock;
  std::shared_ptr<X11InputSink> sink;
  std::unique_ptr<InputInjector> injector;
};

}  // namespace ombrel::xtest
