// The accessibility tree for the AI channel, read through AT-SPI from real GTK 3 windows on a
// private X server and a private accessibility bus.
// gtest before Xlib, whose macros (None, Bool) would break gtest's declarations.
#include <gtest/gtest.h>

// clang-format off
#include <X11/Xlib.h>
#include <X11/Xatom.h>
// clang-format on
#include <atspi/atspi.h>

#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Ombrel_Remote_Host/ai/ai_backends.h"
#include "Ombrel_Remote_Host/linux/atspi/atspi_caret_locator.h"
#include "Ombrel_Remote_Host/linux/atspi/atspi_ui_tree_source.h"
#include "Ombrel_Remote_Host/linux/x11/x11_active_window.h"
#include "base/runtime.h"
#include "host/accessibility_bus.h"
#include "host/desktop_peers.h"
#include "support/xvfb_server.h"

namespace ombrel {
namespace {

using namespace std::chrono_literals;

// The windows the tests read. "probe": a plain box holding a box that wraps only a button, a
// password entry holding text, a label, a label longer than a value may be and a progress bar.
// "labels": 1,000 labels in a grid. The window is placed at (200, 150) and prints "ready" once it
// has the focus.
constexpr const char* kWindowScript = R"(
import sys
import gi
gi.require_version('Gtk', '3.0')
from gi.repository import GLib, Gdk, Gtk

GLib.set_prgname('ombrel-ai-probe')
GLib.set_application_name('ombrel-ai-probe')
window = Gtk.Window(title='AI Probe')
if sys.argv[1] == 'probe':
    outer = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    wrap = Gtk.Box()
    wrap.add(Gtk.Button(label='Press'))
    outer.add(wrap)
    secret = Gtk.Entry()
    secret.set_visibility(False)
    secret.set_text('hunter2')
    outer.add(secret)
    outer.add(Gtk.Label(label='Hello'))
    long = Gtk.Label(label='長' * 300)
    long.set_ellipsize(3)
    long.set_max_width_chars(10)
    outer.add(long)
    bar = Gtk.ProgressBar()
    bar.set_fraction(0.25)
    outer.add(bar)
    window.add(outer)
else:
    grid = Gtk.Grid()
    for i in range(1000):
        grid.attach(Gtk.Label(label='L%d' % i), i % 40, i // 40, 1, 1)
    window.add(grid)
window.move(200, 150)

def focus(*_):
    window.get_window().focus(Gdk.CURRENT_TIME)
    return False

def announce(*_):
    if window.is_active():
        print('ready', flush=True)

window.connect('map-event', focus)
window.connect('notify::is-active', announce)
window.connect('destroy', Gtk.main_quit)
window.show_all()
Gtk.main()
)";

bool gtkAvailable() {
  return std::system((test::systemPython() +
                      " -c \"import gi; gi.require_version('Gtk', '3.0')\" 2>/dev/null")
                         .c_str()) == 0;
}

struct Reading {
  std::string app;
  std::optional<UINode> tree;
};

enum class Asker {
  caller,           // the probe's main thread
  workerWithCaret,  // the Runtime's blocking worker, while another thread asks for the caret
};

// Reads the frontmost tree in a child process (AT-SPI keeps process-wide state) through
// openUITreeSource(), as the host does; `display` empty: no X server to ask for the focused
// window. Nothing when the child failed.
std::optional<Reading> readTree(const std::string& bus, const std::string& display, int maxDepth,
                                int maxNodes, Asker asker = Asker::caller) {
  int fds[2];
  if (pipe(fds) != 0) return std::nullopt;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    unsetenv("AT_SPI_BUS_ADDRESS");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("XDG_SESSION_TYPE");
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.c_str(), 1);
    if (display.empty()) {
      unsetenv("DISPLAY");
    } else {
      setenv("DISPLAY", display.c_str(), 1);
    }
    auto source = openUITreeSource();
    if (!source || !source->available()) _exit(2);
    UITreeSource::FrontmostTree tree;
    if (asker == Asker::caller) {
      tree = source->frontmostTree(maxDepth, maxNodes);
    } else {
      auto locator = AtspiCaretLocator::create();
      if (!locator) _exit(3);
      std::atomic<bool> done{false};
      std::thread caret([&] {
        while (!done) locator->caretRect();
      });
      Runtime runtime;
      auto queue = runtime.makeQueue("test.tree");
      std::promise<UITreeSource::FrontmostTree> answer;
      runtime.blockingWorker()->makeLane()->run(
          queue, [&] { return source->frontmostTree(maxDepth, maxNodes); },
          [&](const UITreeSource::FrontmostTree& t) { answer.set_value(t); });
      auto future = answer.get_future();
      if (future.wait_for(60s) != std::future_status::ready) _exit(4);
      tree = future.get();
      done = true;
      caret.join();
    }
    nlohmann::json out;
    out["app"] = tree.app;
    if (tree.tree) toJSON(out["tree"], *tree.tree);
    const std::string text = out.dump();
    const bool written = write(fds[1], text.data(), text.size()) == ssize_t(text.size());
    _exit(written ? 0 : 5);
  }
  close(fds[1]);
  std::string text;
  pollfd p{.fd = fds[0], .events = POLLIN};
  char chunk[65536];
  while (poll(&p, 1, 90000) > 0) {
    const ssize_t n = read(fds[0], chunk, sizeof chunk);
    if (n <= 0) break;
    text.append(chunk, std::size_t(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    ADD_FAILURE() << "the probe failed with status " << status;
    return std::nullopt;
  }
  auto json = nlohmann::json::parse(text);
  Reading reading{json.at("app").get<std::string>(), std::nullopt};
  if (json.contains("tree")) fromJSON(json["tree"], reading.tree.emplace());
  return reading;
}

int countNodes(const UINode& node) {
  int count = 1;
  for (const auto& child : node.children.value_or(std::vector<UINode>{})) {
    count += countNodes(child);
  }
  return count;
}

UINode withoutFrames(UINode node) {
  node.frame.reset();
  if (node.children) {
    for (auto& child : *node.children) child = withoutFrames(std::move(child));
  }
  return node;
}

UINode node(std::string role, std::optional<std::string> title = std::nullopt,
            std::optional<std::string> value = std::nullopt) {
  return UINode{.role = std::move(role), .title = std::move(title), .value = std::move(value)};
}

std::string dump(const UINode& tree) {
  nlohmann::json out;
  toJSON(out, tree);
  return out.dump(1);
}

std::string repeated(const std::string& text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

class AtspiUITreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::accessibilityBusInstalled()) GTEST_SKIP() << "at-spi2-core is not installed";
    if (!gtkAvailable()) GTEST_SKIP() << "python3-gi and gir1.2-gtk-3.0 are not installed";
    ASSERT_TRUE(xvfb_.ok()) << "Xvfb did not start";
    ASSERT_FALSE(bus_.address().empty()) << "dbus-daemon could not start a session bus";
    // The windows must talk to the test's accessibility bus, found through the session bus.
    for (const char* name : {"AT_SPI_BUS_ADDRESS", "NO_AT_BRIDGE", "GTK_A11Y"}) unsetenv(name);
  }

  // Starts a window of kWindowScript and waits until it has the focus.
  void openWindow(const std::string& kind) {
    window_.emplace(
        std::vector<std::string>{test::systemPython(), "-c", kWindowScript, kind},
        test::ChildProcess::Options{.env = {{"DISPLAY", xvfb_.display()},
                                            {"DBUS_SESSION_BUS_ADDRESS", bus_.address()},
                                            {"HOME", bus_.dir()},
                                            {"XDG_RUNTIME_DIR", bus_.dir()},
                                            {"GSETTINGS_BACKEND", "memory"}},
                                    .captureStdout = true});
    ASSERT_EQ(window_->readLine(60s), "ready") << "the GTK window did not come up focused";
  }

  test::XvfbServer xvfb_{"1920x1080x24"};
  test::SessionBus bus_;
  std::optional<test::ChildProcess> window_;
};

// The probe window, found through the focused X window's process and, without an X server to
// ask, through its active window; also when asked on the blocking worker while the caret
// locator uses AT-SPI from another thread.
TEST_F(AtspiUITreeTest, ReadsTheFocusedApplicationsTree) {
  openWindow("probe");
  const std::string longText = repeated("長", 200);
  const UINode expected = [&] {
    UINode group = node("Group");
    group.children = {node("Button", "Press"), node("SecureTextField"),
                      node("StaticText", "Hello", "Hello"),
                      node("StaticText", repeated("長", 300), longText),
                      node("ProgressIndicator", std::nullopt, "0.25")};
    UINode window = node("Window", "AI Probe");
    window.children = {group};
    UINode app = node("Application", "ombrel-ai-probe");
    app.children = {window};
    return app;
  }();
  struct Case {
    std::string display;
    Asker asker;
  };
  for (const Case& c : {Case{xvfb_.display(), Asker::caller}, Case{"", Asker::caller},
                        Case{xvfb_.display(), Asker::workerWithCaret}}) {
    SCOPED_TRACE("display \"" + c.display + "\", asker " + std::to_string(int(c.asker)));
    auto reading = readTree(bus_.address(), c.display, 12, 800, c.asker);
    ASSERT_TRUE(reading);
    EXPECT_EQ(reading->app, "ombrel-ai-probe");
    ASSERT_TRUE(reading->tree);
    EXPECT_EQ(withoutFrames(*reading->tree), expected) << dump(*reading->tree);

    // Screen coordinates: the window stands where it was put, the button inside it.
    const UINode& window = reading->tree->children->at(0);
    ASSERT_TRUE(window.frame);
    EXPECT_EQ((*window.frame)[0], 200);
    EXPECT_EQ((*window.frame)[1], 150);
    const UINode& button = window.children->at(0).children->at(0);
    ASSERT_TRUE(button.frame);
    EXPECT_GE((*button.frame)[0], 200);
    EXPECT_GE((*button.frame)[1], 150);
    EXPECT_GT((*button.frame)[2], 0);
    EXPECT_FALSE(reading->tree->frame) << "an application has no extents";
  }
}

// One counter across the whole tree, and the depth cap: application, window, grid, 1,000 labels.
TEST_F(AtspiUITreeTest, CutsTheTreeAtTheNodeAndDepthCaps) {
  openWindow("labels");
  struct Case {
    int maxDepth;
    int maxNodes;
    int nodes;
  };
  for (const Case& c : {Case{12, 800, 800}, Case{12, 10, 10}, Case{2, 800, 3}}) {
    SCOPED_TRACE(std::to_string(c.maxDepth) + " levels, " + std::to_string(c.maxNodes) + " nodes");
    auto reading = readTree(bus_.address(), xvfb_.display(), c.maxDepth, c.maxNodes);
    ASSERT_TRUE(reading);
    ASSERT_TRUE(reading->tree);
    EXPECT_EQ(countNodes(*reading->tree), c.nodes);
  }
}

// A bus without applications has nothing frontmost.
TEST_F(AtspiUITreeTest, WithoutApplicationsNothingIsFrontmost) {
  auto reading = readTree(bus_.address(), xvfb_.display(), 12, 800);
  ASSERT_TRUE(reading);
  EXPECT_EQ(reading->app, "");
  EXPECT_FALSE(reading->tree);
}

// A stopped application cannot hold the walk: its calls run into their timeouts and it is left
// out. The limit is a generous safety bound, far below the tens of seconds of D-Bus's defaults.
TEST_F(AtspiUITreeTest, AHungApplicationIsLeftOutQuickly) {
  openWindow("labels");
  window_->signal(SIGSTOP);
  const auto started = std::chrono::steady_clock::now();
  auto reading = readTree(bus_.address(), xvfb_.display(), 12, 800);
  const auto took = std::chrono::steady_clock::now() - started;
  window_->signal(SIGCONT);
  ASSERT_TRUE(reading);
  EXPECT_FALSE(reading->tree);
  EXPECT_LT(took, 15s);
}

// Without an accessibility bus the source says so, and neither it nor a caret locator made
// after it aborts the process (libatspi, once it failed to connect, claims to be connected).
TEST(AtspiUITreeNoBusTest, WithoutABusNothingIsAvailable) {
  EXPECT_EXIT(
      {
        unsetenv("DISPLAY");
        unsetenv("AT_SPI_BUS_ADDRESS");
        setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/ombrel-test-bus", 1);
        auto source = openUITreeSource();
        const bool unavailable = source && !source->available();
        const auto tree = source->frontmostTree(12, 800);
        const bool nothing = tree.app.empty() && !tree.tree;
        _exit(unavailable && nothing && !AtspiCaretLocator::create() &&
                      !AtspiCaretLocator::create() && !source->available()
                  ? 0
                  : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// The focused window's process: the window manager's active window, else the input focus,
// climbing from a toolkit's inner window to the client window that names its process.
TEST(X11ActiveWindowTest, FindsTheProcessOfTheFocusedWindow) {
  test::XvfbServer xvfb("640x480x24");
  ASSERT_TRUE(xvfb.ok());
  auto connection = x11::Connection::open(xvfb.display());
  ASSERT_TRUE(connection);
  ::Display* display = connection->display();
  const ::Window root = connection->root();
  auto window = [&](::Window parent, std::optional<long> pid) {
    ::Window w = XCreateSimpleWindow(display, parent, 0, 0, 50, 50, 0, 0, 0);
    if (pid) {
      XChangeProperty(display, w, XInternAtom(display, "_NET_WM_PID", False), XA_CARDINAL, 32,
                      PropModeReplace, reinterpret_cast<const unsigned char*>(&*pid), 1);
    }
    XMapWindow(display, w);
    return w;
  };
  const ::Window client = window(root, 4242);
  const ::Window inner = window(client, std::nullopt);
  const ::Window other = window(root, 777);
  const ::Window anonymous = window(root, std::nullopt);
  const ::Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
  XSync(display, False);

  struct Case {
    const char* what;
    std::optional<::Window> activeWindow;
    ::Window focus;
    std::optional<std::int64_t> pid;
  };
  for (const Case& c : {
           Case{"focus on a client window", std::nullopt, client, 4242},
           Case{"focus inside a client window", std::nullopt, inner, 4242},
           Case{"focus on a window naming no process", std::nullopt, anonymous, std::nullopt},
           Case{"the active window before the focus", other, inner, 777},
           Case{"an active window of None", ::Window(None), inner, 4242},
       }) {
    SCOPED_TRACE(c.what);
    if (c.activeWindow) {
      long value = long(*c.activeWindow);
      XChangeProperty(display, root, active, XA_WINDOW, 32, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(&value), 1);
    } else {
      XDeleteProperty(display, root, active);
    }
    XSetInputFocus(display, c.focus, RevertToParent, CurrentTime);
    XSync(display, False);
    EXPECT_EQ(activeWindowProcess(*connection), c.pid);
  }
}

TEST(UIRoleNameTest, NamesRolesAsTheAXVocabularyDoes) {
  struct Case {
    AtspiRole role;
    const char* name;
  };
  for (const Case& c : {
           Case{ATSPI_ROLE_INVALID, "?"},
           Case{ATSPI_ROLE_PUSH_BUTTON, "Button"},
           Case{ATSPI_ROLE_PASSWORD_TEXT, "SecureTextField"},
           Case{ATSPI_ROLE_FILLER, "Group"},
           Case{ATSPI_ROLE_INTERNAL_FRAME, "Group"},
           Case{ATSPI_ROLE_FRAME, "Window"},
           Case{ATSPI_ROLE_SCROLL_PANE, "ScrollArea"},
           // Not in the vocabulary: AT-SPI's own name in UpperCamelCase.
           Case{ATSPI_ROLE_DESCRIPTION_TERM, "DescriptionTerm"},
           Case{ATSPI_ROLE_TITLE_BAR, "TitleBar"},
       }) {
    EXPECT_EQ(uiRoleName(c.role), c.name) << c.role;
  }
}

}  // namespace
}  // namespace ombrel
