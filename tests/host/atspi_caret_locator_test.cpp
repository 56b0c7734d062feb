// The caret locator against AT-SPI: absent, and a real accessibility bus that the test starts.
#include "Ombrel_Remote_Host/linux/atspi/atspi_caret_locator.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>

#include "base/runtime.h"
#include "host/accessibility_bus.h"

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

TEST(AtspiCaretLocatorTest, ARealBusWithNothingFocusedHasNoCaret) {
  if (!test::accessibilityBusInstalled()) {
    GTEST_SKIP() << "at-spi2-core is not installed: no accessibility bus to start";
  }
  test::SessionBus bus;
  if (bus.address().empty()) GTEST_SKIP() << "dbus-daemon could not start a session bus";
  // Connected, asked the registry, and found no focused text (no application runs); the same
  // when asked from the blocking worker.
  for (bool onWorker : {false, true}) {
    EXPECT_EXIT(probe(bus.address(), onWorker), ::testing::ExitedWithCode(1), "") << onWorker;
  }
}

}  // namespace
}  // namespace ombrel
