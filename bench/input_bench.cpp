// Latency of remote input: from an input event handed to the injector to the request being
// on its way to the X server (XTest requests + XFlush), and, as the upper bound, until the
// server has processed it (an XSync round trip). The "message" rows start earlier, at the
// received `input` message body as the session's handler gets it (JSON decoding, the shared
// sink's lock, the caret report's rescheduling). Runs under an Xvfb it starts itself.
// Baseline in the same process: the bare XTest motion request + XFlush on a connection of
// its own. Goal: p99 <= 1 ms per event.
//
//   build/gcc/bench/input_bench [events]
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <stdlib.h>

#include "Ombrel_Remote_Host/input/input_injector.h"
#include "Ombrel_Remote_Host/input/session_input_services.h"
#include "Ombrel_Remote_Host/linux/x11/x11_input_sink.h"
#include "base/log.h"
#include "base/runtime.h"
#include "tests/support/xvfb_server.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  double p50 = 0, p99 = 0, max = 0;  // microseconds
};

// Times `events` calls of `event(i)`, each followed by `after()` inside the timed span.
Figures measure(int events, const std::function<void(int)>& event,
                const std::function<void()>& after) {
  std::vector<double> us;
  us.reserve(events);
  for (int i = 0; i < events; ++i) {
    const auto start = Clock::now();
    event(i);
    after();
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100], us.back()};
}

void print(const char* name, const Figures& f, const Figures& baseline) {
  std::printf("%-34s p50 %8.1f us  p99 %8.1f us  max %8.1f us  p99/baseline %6.2f  %s\n", name,
              f.p50, f.p99, f.max, f.p99 / std::max(baseline.p99, 0.001),
              f.p99 <= 1000 ? "ok" : "OVER 1 ms");
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ombrel;
  const int events = argc > 1 ? std::max(100, std::atoi(argv[1])) : 10000;
  log::setSink([](std::string_view) {});
  test::XvfbServer server("1920x1080x24");
  if (!server.ok()) {
    std::fprintf(stderr, "input_bench: Xvfb did not start\n");
    return 1;
  }
  Display* raw = XOpenDisplay(server.display().c_str());
  std::shared_ptr<X11InputSink> sink = X11InputSink::open(server.display());
  if (!raw || !sink || !sink->canInject()) {
    std::fprintf(stderr, "input_bench: no XTest on %s\n", server.display().c_str());
    return 1;
  }
  const SystemClock clock;
  InputInjector injector(sink, InputRect{0, 0, 1920, 1080}, clock);
  auto nothing = [] {};
  auto roundTrip = [&] { sink->sync(); };
  auto x = [](int i) { return (i % 1000) / 1000.0; };

  std::printf("input_bench: %d events per row on Xvfb %s\n", events, server.display().c_str());
  const Figures baseline = measure(
      events, [&](int i) { XTestFakeMotionEvent(raw, -1, (i % 1000) + 10, 500, CurrentTime); },
      [&] { XFlush(raw); });
  print("baseline XTest motion + XFlush", baseline, baseline);
  struct Row {
    const char* name;
    int events;
    std::function<void(int)> event;
  };
  const Row rows[] = {
      {"moveTo", events, [&](int i) { injector.moveTo(x(i), 0.5); }},
      {"moveBy", events, [&](int i) { injector.moveBy(i % 2 ? 3 : -3, 1 - i % 3); }},
      {"button press/release", events,
       [&](int i) { injector.button(MouseButton::left, i % 2 == 0); }},
      {"key down/up", events, [&](int i) { injector.key(0x04, i % 2 == 0); }},
      {"scroll 20 px", events, [&](int) { injector.scroll(0, 20, ScrollPhase::changed); }},
      // A new character each time: a spare keycode is remapped for it (64 cycle the pool).
      {"text, one new character", events / 10,
       [&](int i) {
         const char32_t cp = 0x4E00 + (i % 64);
         const char utf8[] = {char(0xE0 | (cp >> 12)), char(0x80 | ((cp >> 6) & 0x3F)),
                              char(0x80 | (cp & 0x3F)), 0};
         injector.text(utf8);
       }},
  };
  // The session's handler on the same desktop, through InputServices (no session: the caret
  // reports it schedules find nobody to send to).
  Runtime runtime;
  auto services = InputServices::create({.sink = sink,
                                         .blockingWorker = runtime.blockingWorker(),
                                         .clock = runtime.sharedClock(),
                                         .mainDisplayBounds = [] {
                                           return InputRect{0, 0, 1920, 1080};
                                         }});
  SessionInput session(services, {});
  std::vector<Bytes> moves, keys;
  for (int i = 0; i < 1000; ++i) {
    moves.push_back(toBytes(R"({"moveTo":{"x":)" + std::to_string(x(i)) + R"(,"y":0.5}})"));
  }
  for (bool down : {true, false}) {
    keys.push_back(
        toBytes(std::string(R"({"key":{"hid":4,"down":)") + (down ? "true" : "false") + "}}"));
  }
  const Row messageRows[] = {
      {"message moveTo", events, [&](int i) { session.handleInput(moves[i % 1000]); }},
      {"message key down/up", events, [&](int i) { session.handleInput(keys[i % 2]); }},
  };
  for (const Row& row : messageRows) {
    print((std::string(row.name) + ", flushed").c_str(), measure(row.events, row.event, nothing),
          baseline);
  }
  session.end();

  for (const Row& row : rows) {
    print((std::string(row.name) + ", flushed").c_str(), measure(row.events, row.event, nothing),
          baseline);
    print((std::string(row.name) + ", round trip").c_str(),
          measure(row.events, row.event, roundTrip), baseline);
  }
  double load[3] = {};
  if (getloadavg(load, 3) > 0) std::printf("load average %.2f\n", load[0]);
  injector.releaseAll();
  XCloseDisplay(raw);
  return 0;
}
