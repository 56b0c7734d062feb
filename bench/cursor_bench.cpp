// The streaming cursor timer's X work: one tick is location() + imageHash() on X11CursorSource,
// as StreamControl runs it, on an Xvfb the benchmark starts itself. Baseline in the same
// process: what a tick costs when it reads the whole picture every time (XQueryPointer +
// XFixesGetCursorImage + the fingerprint of the pixels) on a connection of its own. Rows with
// an unchanged cursor (the usual case) and with a cursor that changes before every tick (the
// worst case, where the picture must be read anyway).
//
//   build/rel/bench/cursor_bench [ticks]
#include <X11/Xlib.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xfixes.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "Ombrel_Remote_Host/linux/x11/x11_cursor_source.h"
#include "base/log.h"
#include "tests/support/xvfb_server.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Figures {
  double p50 = 0, mean = 0;  // microseconds per tick
};

// Times `ticks` calls of `tick(i)`, each after an untimed `before(i)`.
Figures measure(int ticks, const std::function<void(int)>& before,
                const std::function<void(int)>& tick) {
  std::vector<double> us;
  us.reserve(ticks);
  for (int i = 0; i < ticks; ++i) {
    before(i);
    const auto start = Clock::now();
    tick(i);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  double total = 0;
  for (double u : us) total += u;
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], total / static_cast<double>(us.size())};
}

void print(const char* name, const Figures& f, const Figures& baseline, double readsPerTick) {
  std::printf("%-44s p50 %7.1f us  mean %7.1f us  mean/baseline %5.2f  image reads/tick %.3f\n",
              name, f.p50, f.mean, f.mean / std::max(baseline.mean, 0.001), readsPerTick);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ombrel;
  const int ticks = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
  log::setSink([](std::string_view) {});
  test::XvfbServer server("1920x1080x24");
  Display* client = server.ok() ? XOpenDisplay(server.display().c_str()) : nullptr;
  Display* raw = server.ok() ? XOpenDisplay(server.display().c_str()) : nullptr;
  auto source = server.ok() ? X11CursorSource::open(server.display()) : nullptr;
  if (!client || !raw || !source) {
    std::fprintf(stderr, "cursor_bench: no Xvfb with XFIXES\n");
    return 1;
  }
  const ::Window root = DefaultRootWindow(client);
  const ::Cursor shapes[2] = {XCreateFontCursor(client, XC_left_ptr),
                              XCreateFontCursor(client, XC_xterm)};
  XDefineCursor(client, root, shapes[0]);
  XWarpPointer(client, None, root, 0, 0, 0, 0, 600, 400);
  XSync(client, False);

  // The whole picture read and hashed every tick, as the timer did before it listened for
  // changes.
  std::uint64_t sink = 0;
  auto fullRead = [&](int) {
    ::Window r = None, c = None;
    int rx = 0, ry = 0, wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(raw, DefaultRootWindow(raw), &r, &c, &rx, &ry, &wx, &wy, &mask);
    XFixesCursorImage* image = XFixesGetCursorImage(raw);
    if (image == nullptr) return;
    x11::CursorPixels pixels{
        .width = image->width, .height = image->height, .hotX = image->xhot, .hotY = image->yhot};
    const std::size_t count = std::size_t{image->width} * image->height;
    pixels.rgba.resize(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
      const auto pixel = static_cast<std::uint32_t>(image->pixels[i]);
      for (int b = 0; b < 4; ++b)
        pixels.rgba[i * 4 + b] = static_cast<std::uint8_t>(pixel >> b * 8);
    }
    XFree(image);
    sink += X11CursorSource::fingerprint(pixels) + static_cast<std::uint64_t>(rx);
  };
  auto sourceTick = [&](int) {
    auto location = source->location();
    auto hash = source->imageHash();
    sink += (hash ? *hash : 0) + (location ? static_cast<std::uint64_t>(location->x) : 0);
  };
  auto unchanged = [](int) {};
  auto change = [&](int i) {
    XDefineCursor(client, root, shapes[i % 2]);
    XSync(client, False);
  };
  auto reads = [&] { return static_cast<double>(source->imageReads()); };

  // The reads a row made per tick; measured before the figures are printed.
  auto sourceRow = [&](const char* name, const std::function<void(int)>& before,
                       const Figures& against) {
    const double start = reads();
    const Figures figures = measure(ticks, before, sourceTick);
    print(name, figures, against, (reads() - start) / ticks);
  };

  std::printf("cursor_bench: %d ticks per row on Xvfb %s\n", ticks, server.display().c_str());
  sourceTick(0);  // the first tick reads the picture once
  const Figures baseline = measure(ticks, unchanged, fullRead);
  print("baseline: full read per tick, unchanged", baseline, baseline, 1);
  sourceRow("location()+imageHash(), unchanged", unchanged, baseline);
  const Figures changing = measure(ticks, change, fullRead);
  print("baseline: full read per tick, changing", changing, changing, 1);
  sourceRow("location()+imageHash(), changing", change, changing);
  std::printf("(checksum %llu)\n", static_cast<unsigned long long>(sink));
  XCloseDisplay(raw);
  XCloseDisplay(client);
  return 0;
}
