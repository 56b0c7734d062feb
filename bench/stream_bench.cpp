// The streaming pipeline on a private Xvfb whose picture changes all the time (a scrolling page
// of coloured blocks, drawn by a child process at 120 Hz):
//   1. capture + convert + encode per frame, for a 1080p and a 720p display, against
//      `ffmpeg -f x11grab ... -c:v libx264 -preset ultrafast -tune zerolatency` grabbing the same
//      pixels of the same server in the same run; wall and CPU time per frame and their ratios;
//      and for the 1080p display while only small parts change (typing), where the capture grabs
//      and converts only what changed;
//   2. the shipped ScreenStreamer at 1080p60: frames encoded per second, sustained.
// Plain harness printing figures and ratios. Run: build/gcc/bench/stream_bench [frames] [seconds]
// `stream_bench --animate` only draws that page on $DISPLAY until killed, for other harnesses
// (bench/stream_memory.sh) that need a picture that keeps changing.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "Ombrel_Remote_Host/app/allocator_settings.h"
#include "Ombrel_Remote_Host/linux/x11/x11_screen_capturer.h"
#include "Ombrel_Remote_Host/screen/displays.h"
#include "Ombrel_Remote_Host/stream/screen_streamer.h"
#include "Ombrel_Remote_Host/video/video_encoder.h"
#include "base/log.h"
#include "base/runtime.h"
#include "tests/support/xvfb_server.h"

namespace ombrel {
namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Scrolls a page of random coloured blocks over the whole screen, forever.
[[noreturn]] void animate(const char* display) {
  Display* d = XOpenDisplay(display);
  if (!d) _exit(1);
  const int screen = DefaultScreen(d);
  const int w = DisplayWidth(d, screen), h = DisplayHeight(d, screen);
  Window root = RootWindow(d, screen);
  Pixmap page =
      XCreatePixmap(d, root, unsigned(w * 2), unsigned(h * 2), unsigned(DefaultDepth(d, screen)));
  GC gc = XCreateGC(d, page, 0, nullptr);
  std::mt19937 random(7);
  XSetForeground(d, gc, 0xF0F0F0);
  XFillRectangle(d, page, gc, 0, 0, unsigned(w * 2), unsigned(h * 2));
  for (int i = 0; i < 6000; ++i) {
    XSetForeground(d, gc, random() & 0xFFFFFF);
    XFillRectangle(d, page, gc, int(random() % unsigned(w * 2)), int(random() % unsigned(h * 2)),
                   8 + random() % 120, 6 + random() % 40);
  }
  for (long t = 0;; ++t) {
    XCopyArea(d, page, root, gc, int((t * 7) % w), int((t * 5) % h), unsigned(w), unsigned(h), 0,
              0);
    XSync(d, False);
    usleep(8333);
  }
}

// A child process that "types": one small glyph-sized block per 8 ms along the lines of a white
// page, the rest of the screen still, as an editor or a terminal changes it.
pid_t startTyping(const std::string& display) {
  pid_t pid = fork();
  if (pid != 0) return pid;
  Display* d = XOpenDisplay(display.c_str());
  if (!d) _exit(1);
  const int screen = DefaultScreen(d);
  const int w = DisplayWidth(d, screen), h = DisplayHeight(d, screen);
  Window root = RootWindow(d, screen);
  GC gc = XCreateGC(d, root, 0, nullptr);
  std::mt19937 random(7);
  XSetForeground(d, gc, 0xFFFFFF);
  XFillRectangle(d, root, gc, 0, 0, unsigned(w), unsigned(h));
  const int columns = (w - 40) / 12, lines = (h - 40) / 24;
  for (long t = 0;; ++t) {
    const int column = int(t % columns), line = int((t / columns) % lines);
    XSetForeground(d, gc, random() & 0x3F3F3F);
    XFillRectangle(d, root, gc, 20 + column * 12, 20 + line * 24, 9, 16);
    XSync(d, False);
    usleep(8333);
  }
}

pid_t startAnimator(const std::string& display) {
  pid_t pid = fork();
  if (pid == 0) animate(display.c_str());
  return pid;
}

// An output-less RandR monitor over the top-left corner, so a 720p display exists beside the
// 1080p one and both pipelines grab exactly the same pixels.
void addMonitor(const std::string& display, const char* name, int width, int height) {
  Display* d = XOpenDisplay(display.c_str());
  XRRMonitorInfo* m = XRRAllocateMonitor(d, 0);
  m->name = XInternAtom(d, name, False);
  m->width = width;
  m->height = height;
  m->mwidth = width / 4;
  m->mheight = height / 4;
  XRRSetMonitor(d, DefaultRootWindow(d), m);
  XRRFreeMonitors(m);
  XSync(d, False);
  XCloseDisplay(d);
}

struct PerFrame {
  double wallMs = 0;
  double cpuMs = 0;
  double pageFaults = 0;  // of this process alone (not the X server's, nor ffmpeg's)
};

long pageFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt + usage.ru_majflt;
}

PerFrame ours(std::uint32_t displayID, int width, int height, int kbps, int frames) {
  auto capturer = X11ScreenCapturer::open(displayID);
  if (!capturer) return {};
  VideoEncoder encoder(width, height, 60, kbps, VideoCodec::h264);
  std::mutex lock;
  std::condition_variable done;
  int emitted = 0;
  encoder.onFrame = [&](VideoFrame) {
    std::lock_guard guard(lock);
    ++emitted;
    done.notify_one();
  };
  const auto start = Clock::now();
  const double cpu = cpuSeconds();
  const long faults = pageFaults();
  for (int t = 0; t < frames; ++t) {
    // What the capture thread and the encoder do for one picture: grab (what changed) into a
    // pooled shared-memory image, convert (what changed) and encode, one picture in flight.
    if (capturer->grab() != CaptureResult::ok) return {};
    encoder.encode(capturer->picture(), t);
    std::unique_lock guard(lock);
    done.wait(guard, [&] { return emitted == t + 1; });
  }
  return {secondsSince(start) * 1000 / frames, (cpuSeconds() - cpu) * 1000 / frames,
          double(pageFaults() - faults) / frames};
}

PerFrame ffmpeg(const std::string& display, int width, int height, int kbps, int frames) {
  std::string command =
      "ffmpeg -hide_banner -nostdin -loglevel info -benchmark -f x11grab "
      "-draw_mouse 0 -framerate 1000 -video_size " +
      std::to_string(width) + "x" + std::to_string(height) + " -i " + display + "+0,0 -frames:v " +
      std::to_string(frames) + " -c:v libx264 -preset ultrafast -tune zerolatency -b:v " +
      std::to_string(kbps) + "k -f null - 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  char line[512];
  double user = 0, system = 0, real = 0;
  while (fgets(line, sizeof line, pipe)) {
    std::sscanf(line, "bench: utime=%lfs stime=%lfs rtime=%lfs", &user, &system, &real);
  }
  pclose(pipe);
  return {real * 1000 / frames, (user + system) * 1000 / frames};
}

void sustained(std::uint32_t displayID, double seconds) {
  Runtime runtime;
  auto streamer = ScreenStreamer::create(runtime, {});
  std::atomic<int> frames{0};
  streamer->onVideo = [&](VideoFrame) { ++frames; };
  std::mutex lock;
  std::condition_variable started;
  bool ready = false;
  streamer->start(displayID, 1920, 1080, 60, 8000, VideoCodec::h264, false,
                  [&](std::optional<NVError>) {
                    std::lock_guard guard(lock);
                    ready = true;
                    started.notify_one();
                  });
  {
    std::unique_lock guard(lock);
    started.wait(guard, [&] { return ready; });
  }
  // The first second warms up; the rest is measured.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const int before = frames;
  const std::int64_t skippedBefore = streamer->skippedByEncoder();
  const long faults = pageFaults();
  const auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double elapsed = secondsSince(start);
  std::printf(
      "sustained 1080p60 ScreenStreamer: %.1f frames/s encoded, %.1f/s dropped at the "
      "in-flight gate, %.0f page faults per frame, over %.1f s\n",
      (frames - before) / elapsed, double(streamer->skippedByEncoder() - skippedBefore) / elapsed,
      double(pageFaults() - faults) / std::max(frames - before, 1), elapsed);
  streamer->stop();
}

}  // namespace
}  // namespace ombrel

int main(int argc, char** argv) {
  using namespace ombrel;
  if (argc > 1 && std::strcmp(argv[1], "--animate") == 0) animate(nullptr);
  // The host program's allocator, so the figures are the host's.
  applyAllocatorSettings();
  const int frames = argc > 1 ? std::atoi(argv[1]) : 120;
  const double seconds = argc > 2 ? std::atof(argv[2]) : 5;
  log::setSink([](std::string_view) {});
  test::XvfbServer server("1920x1080x24");
  if (!server.ok()) {
    std::fprintf(stderr, "Xvfb did not start\n");
    return 1;
  }
  setenv("DISPLAY", server.display().c_str(), 1);
  addMonitor(server.display(), "BENCH720", 1280, 720);
  pid_t animator = startAnimator(server.display());

  std::uint32_t full = 0, small = 0;
  for (const auto& d : Displays::all()) {
    if (d.pixelWidth == 1920) full = d.id;
    if (d.pixelWidth == 1280) small = d.id;
  }
  struct Case {
    const char* name;
    std::uint32_t id;
    int width, height, kbps;
  } cases[] = {{"1080p", full, 1920, 1080, 8000},
               {"720p", small, 1280, 720, 5000},
               {"1080p typing", full, 1920, 1080, 8000}};
  for (const Case& c : cases) {
    if (&c == &cases[2]) {
      // Small changes from here on; the sustained run below still scrolls.
      kill(animator, SIGTERM);
      waitpid(animator, nullptr, 0);
      animator = startTyping(server.display());
    }
    PerFrame mine = ours(c.id, c.width, c.height, c.kbps, frames);
    PerFrame base = ffmpeg(server.display(), c.width, c.height, c.kbps, frames);
    if (base.wallMs <= 0)
      std::printf("%-12s ffmpeg baseline did not run (is ffmpeg installed?)\n", c.name);
    std::printf(
        "%-12s capture+convert+encode: ours %6.2f ms/frame wall %6.2f ms cpu %6.0f page faults | "
        "ffmpeg x11grab+libx264 %6.2f ms wall %6.2f ms cpu | ratio ours/ffmpeg wall %.2f cpu "
        "%.2f\n",
        c.name, mine.wallMs, mine.cpuMs, mine.pageFaults, base.wallMs, base.cpuMs,
        base.wallMs > 0 ? mine.wallMs / base.wallMs : 0,
        base.cpuMs > 0 ? mine.cpuMs / base.cpuMs : 0);
  }
  kill(animator, SIGTERM);
  waitpid(animator, nullptr, 0);
  animator = startAnimator(server.display());
  sustained(full, seconds);

  kill(animator, SIGTERM);
  waitpid(animator, nullptr, 0);
  return 0;
}
