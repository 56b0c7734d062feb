#include "Ombrel_Remote_Host/linux/x11/x11_screen_capturer.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>

#include "Ombrel_Remote_Host/linux/x11/x11_monitors.h"

namespace ombrel {

namespace {

// B, G, R, X bytes in memory: 32 bits per pixel, least significant byte first, blue lowest.
bool hasBGRXLayout(::Display* display) {
  int screen = DefaultScreen(display);
  Visual* visual = DefaultVisual(display, screen);
  int depth = DefaultDepth(display, screen);
  if (visual->c_class != TrueColor || (depth != 24 && depth != 32) ||
      visual->red_mask != 0xFF0000 || visual->green_mask != 0xFF00 || visual->blue_mask != 0xFF ||
      ImageByteOrder(display) != LSBFirst) {
    return false;
  }
  int count = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(display, &count);
  bool ok = false;
  for (int i = 0; i < count; ++i) {
    if (formats[i].depth == depth) ok = formats[i].bits_per_pixel == 32;
  }
  if (formats != nullptr) XFree(formats);
  return ok;
}

constexpr auto layoutCheckInterval = std::chrono::milliseconds(250);

bool intersect(DisplayRect& a, const DisplayRect& b) {
  std::int64_t left = std::max(a.x, b.x);
  std::int64_t top = std::max(a.y, b.y);
  std::int64_t right = std::min(a.x + a.width, b.x + b.width);
  std::int64_t bottom = std::min(a.y + a.height, b.y + b.height);
  if (right <= left || bottom <= top) return false;
  a = {a.id, left, top, right - left, bottom - top};
  return true;
}

}  // namespace

std::unique_ptr<X11ScreenCapturer> X11ScreenCapturer::open(std::uint32_t displayID,
                                                           const std::string& displayName) {
  auto capture = x11::Connection::open(displayName);
  if (!capture) return nullptr;
  std::optional<DisplayRect> bounds;
  {
    auto lock = capture->lock();
    for (auto& monitor : x11::listMonitors(*capture)) {
      if (monitor.info.id == displayID) bounds = monitor.rect;
    }
  }
  if (!bounds || bounds->width <= 0 || bounds->height <= 0) return nullptr;
  std::unique_ptr<X11ScreenCapturer> capturer(new X11ScreenCapturer(std::move(capture), *bounds));
  if (!capturer->initialise()) return nullptr;
  return capturer;
}

X11ScreenCapturer::X11ScreenCapturer(std::shared_ptr<x11::Connection> capture, DisplayRect bounds)
    : capture_(std::move(capture)), bounds_(bounds) {}

std::optional<std::string> X11ScreenCapturer::missingFacility(::Display* display) {
  int event = 0, error = 0, major = 2, minor = 0;
  // Named as the server knows them, which is what `xdpyinfo -queryExtensions` lists.
  const char* missing = nullptr;
  if (!XDamageQueryExtension(display, &event, &error)) {
    missing = "DAMAGE";
  } else if (!XFixesQueryExtension(display, &event, &error) ||
             !XFixesQueryVersion(display, &major, &minor)) {
    missing = "XFIXES";
  } else if (int opcode = 0; !XQueryExtension(display, RANDR_NAME, &opcode, &event, &error)) {
    // Asked in the core protocol: libXrandr, once asked, keeps per-connection data that it
    // frees only on servers that have the extension.
    missing = "RANDR";
  }
  if (missing != nullptr) return std::string("X 伺服器缺少 ") + missing + " 擴充功能";
  if (!hasBGRXLayout(display)) return "X 伺服器的畫面不是 24 位元全彩格式";
  return std::nullopt;
}

bool X11ScreenCapturer::initialise() {
  auto lock = capture_->lock();
  ::Display* display = capture_->display();
  if (missingFacility(display)) return false;
  int error = 0, major = 1, minor = 1;
  XDamageQueryExtension(display, &damageEventBase_, &error);
  XRRQueryExtension(display, &randrEventBase_, &error);
  XDamageQueryVersion(display, &major, &minor);
  XRRSelectInput(display, capture_->root(),
                 RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
  damage_ = XDamageCreate(display, capture_->root(), XDamageReportNonEmpty);
  parts_ = XFixesCreateRegion(display, nullptr, 0);
  if (!attachSharedMemory()) stride_ = bounds_.width * 4;
  XSync(display, False);
  return true;
}

bool X11ScreenCapturer::attachSharedMemory() {
  ::Display* display = capture_->display();
  if (!XShmQueryExtension(display)) return false;
  int screen = DefaultScreen(display);
  shmImage_ = XShmCreateImage(
      display, DefaultVisual(display, screen), DefaultDepth(display, screen), ZPixmap, nullptr,
      &shm_, static_cast<unsigned>(bounds_.width), static_cast<unsigned>(bounds_.height));
  if (shmImage_ == nullptr) return false;
  shm_.shmid =
      shmget(IPC_PRIVATE, static_cast<std::size_t>(shmImage_->bytes_per_line) * shmImage_->height,
             IPC_CREAT | 0600);
  if (shm_.shmid < 0) {
    XDestroyImage(shmImage_);
    shmImage_ = nullptr;
    return false;
  }
  void* address = shmat(shm_.shmid, nullptr, 0);
  bool attached = false;
  if (address != reinterpret_cast<void*>(-1)) {
    shm_.shmaddr = shmImage_->data = static_cast<char*>(address);
    shm_.readOnly = False;
    x11::ErrorTrap trap(display);
    // A server on another machine cannot attach; that is not an error, just the slow path.
    attached = XShmAttach(display, &shm_) && trap.sync();
  }
  // Marked for removal now: it disappears once both sides have detached, even after a crash.
  shmctl(shm_.shmid, IPC_RMID, nullptr);
  if (!attached) {
    if (shm_.shmaddr != nullptr) shmdt(shm_.shmaddr);
    shm_.shmaddr = nullptr;
    shmImage_->data = nullptr;
    XDestroyImage(shmImage_);
    shmImage_ = nullptr;
    return false;
  }
  stride_ = shmImage_->bytes_per_line;
  return true;
}

void X11ScreenCapturer::releaseSharedMemory() {
  if (shmImage_ == nullptr) return;
  XShmDetach(capture_->display(), &shm_);
  XSync(capture_->display(), False);
  shmImage_->data = nullptr;
  XDestroyImage(shmImage_);
  shmImage_ = nullptr;
  shmdt(shm_.shmaddr);
  shm_.shmaddr = nullptr;
}

X11ScreenCapturer::~X11ScreenCapturer() {
  auto lock = capture_->lock();
  if (!capture_->alive()) {
    // The server and its resources are gone; only our side of the segment is left.
    if (shmImage_ != nullptr) {
      shmImage_->data = nullptr;
      XDestroyImage(shmImage_);
      shmdt(shm_.shmaddr);
    }
    return;
  }
  x11::ErrorTrap trap(capture_->display());
  releaseSharedMemory();
  if (damage_ != None) XDamageDestroy(capture_->display(), damage_);
  if (parts_ != None) XFixesDestroyRegion(capture_->display(), parts_);
}

void X11ScreenCapturer::disableSharedMemoryForTest() {
  auto lock = capture_->lock();
  releaseSharedMemory();
  stride_ = bounds_.width * 4;
}

void X11ScreenCapturer::drainEvents() {
  ::Display* display = capture_->display();
  bool layoutChanged = false;
  while (XPending(display) > 0) {
    XEvent event;
    XNextEvent(display, &event);
    if (event.type == damageEventBase_ + XDamageNotify) {
      dirty_ = true;
    } else if (event.type == randrEventBase_ + RRScreenChangeNotify ||
               event.type == randrEventBase_ + RRNotify) {
      XRRUpdateConfiguration(&event);
      layoutChanged = true;
    }
  }
  // Output-less monitors come and go without any event, so their layout is also looked at now
  // and then.
  auto now = std::chrono::steady_clock::now();
  if (!layoutChanged && now - lastLayoutCheck_ < layoutCheckInterval) return;
  lastLayoutCheck_ = now;
  auto monitors = x11::listMonitors(*capture_);
  auto same =
      std::find_if(monitors.begin(), monitors.end(), [&](auto& m) { return m.rect == bounds_; });
  if (same == monitors.end()) geometryChanged_ = true;
}

bool X11ScreenCapturer::damageTouchesMonitor() {
  ::Display* display = capture_->display();
  XDamageSubtract(display, damage_, None, parts_);
  int count = 0;
  XRectangle* rects = XFixesFetchRegion(display, parts_, &count);
  bool touches = false;
  for (int i = 0; i < count && !touches; ++i) {
    DisplayRect r{0, rects[i].x, rects[i].y, rects[i].width, rects[i].height};
    touches = intersect(r, bounds_);
  }
  if (rects != nullptr) XFree(rects);
  return touches;
}

CaptureResult X11ScreenCapturer::capture(std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int fd = -1;
    {
      auto lock = capture_->lock();
      drainEvents();
      if (!capture_->alive()) return CaptureResult::error;
      if (geometryChanged_) return CaptureResult::reinit;
      if (dirty_) {
        dirty_ = false;
        if (damageTouchesMonitor() || !everGrabbed_) return grabLocked();
      }
      XFlush(capture_->display());
      fd = ConnectionNumber(capture_->display());
    }
    auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return CaptureResult::timeout;
    pollfd wait{.fd = fd, .events = POLLIN, .revents = 0};
    poll(&wait, 1, static_cast<int>(std::min(left, layoutCheckInterval).count()));
  }
}

CaptureResult X11ScreenCapturer::grab() {
  auto lock = capture_->lock();
  drainEvents();
  if (!capture_->alive()) return CaptureResult::error;
  if (geometryChanged_) return CaptureResult::reinit;
  // What this grab shows needs no capture of its own.
  dirty_ = false;
  damageTouchesMonitor();
  return grabLocked();
}

CaptureResult X11ScreenCapturer::grabLocked() {
  ::Display* display = capture_->display();
  x11::ErrorTrap trap(display);
  if (shmImage_ != nullptr) {
    if (!XShmGetImage(display, capture_->root(), shmImage_, static_cast<int>(bounds_.x),
                      static_cast<int>(bounds_.y), AllPlanes) ||
        !trap.sync()) {
      return CaptureResult::error;
    }
  } else {
    XImage* image = XGetImage(display, capture_->root(), static_cast<int>(bounds_.x),
                              static_cast<int>(bounds_.y), static_cast<unsigned>(bounds_.width),
                              static_cast<unsigned>(bounds_.height), AllPlanes, ZPixmap);
    if (image == nullptr || !trap.sync() || image->bits_per_pixel != 32) {
      if (image != nullptr) XDestroyImage(image);
      return CaptureResult::error;
    }
    std::size_t row = static_cast<std::size_t>(bounds_.width) * 4;
    buffer_.resize(row * static_cast<std::size_t>(bounds_.height));
    for (std::int64_t y = 0; y < bounds_.height; ++y) {
      std::memcpy(buffer_.data() + y * row, image->data + y * image->bytes_per_line, row);
    }
    XDestroyImage(image);
  }
  if (!capture_->alive()) return CaptureResult::error;
  everGrabbed_ = true;
  paintExcludedWindows();
  return CaptureResult::ok;
}

CapturedFrame X11ScreenCapturer::frame() const {
  if (!everGrabbed_) return {};
  const auto* data = shmImage_ != nullptr ? reinterpret_cast<const std::uint8_t*>(shmImage_->data)
                                          : buffer_.data();
  return {data, bounds_.width, bounds_.height, stride_};
}

void X11ScreenCapturer::setExcludedWindows(std::vector<std::uint64_t> windows) {
  auto lock = capture_->lock();
  excluded_ = std::move(windows);
}

void X11ScreenCapturer::paintExcludedWindows() {
  ::Display* display = capture_->display();
  auto* pixels =
      shmImage_ != nullptr ? reinterpret_cast<std::uint8_t*>(shmImage_->data) : buffer_.data();
  for (std::uint64_t id : excluded_) {
    auto window = static_cast<::Window>(id);
    x11::ErrorTrap trap(display);
    XWindowAttributes attributes{};
    int x = 0, y = 0;
    ::Window child = None;
    if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable ||
        !XTranslateCoordinates(display, window, capture_->root(), 0, 0, &x, &y, &child) ||
        !trap.sync()) {
      continue;  // gone or hidden: nothing of it on screen
    }
    std::int64_t border = attributes.border_width;
    DisplayRect r{0, x - border, y - border, attributes.width + 2 * border,
                  attributes.height + 2 * border};
    if (!intersect(r, bounds_)) continue;
    for (std::int64_t row = r.y - bounds_.y; row < r.y - bounds_.y + r.height; ++row) {
      std::memset(pixels + row * stride_ + (r.x - bounds_.x) * 4, 0,
                  static_cast<std::size_t>(r.width) * 4);
    }
  }
}

}  // namespace ombrel
