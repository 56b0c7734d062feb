#include "Ombrel_Remote_Host/linux/x11/x11_screen_capturer.h"

#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstring>
#include <mutex>

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

// Grabs of rows closer than this are joined into one: a request to the server costs more than a
// few rows of pixels. Beyond `maxBands` separate grabs, one grab spans them all.
constexpr std::int64_t bandJoinGap = 16;
constexpr std::size_t maxBands = 8;

struct Band {
  std::int64_t top = 0;
  std::int64_t bottom = 0;
};

std::vector<Band> rowBands(const std::vector<PixelRect>& parts, std::int64_t height) {
  std::vector<Band> bands;
  for (const PixelRect& r : parts) {
    Band band{std::clamp<std::int64_t>(r.y, 0, height),
              std::clamp<std::int64_t>(r.y + r.height, 0, height)};
    if (r.width > 0 && band.bottom > band.top) bands.push_back(band);
  }
  std::sort(bands.begin(), bands.end(), [](auto& a, auto& b) { return a.top < b.top; });
  std::vector<Band> joined;
  for (const Band& band : bands) {
    if (!joined.empty() && band.top <= joined.back().bottom + bandJoinGap) {
      joined.back().bottom = std::max(joined.back().bottom, band.bottom);
    } else {
      joined.push_back(band);
    }
  }
  if (joined.size() > maxBands) joined = {{joined.front().top, joined.back().bottom}};
  return joined;
}

}  // namespace

// One pooled picture's memory. Outlives the capturer while a picture of it is held; by then
// the server is detached from it, and only our mapping is left to undo.
struct X11ScreenCapturer::Image {
  XShmSegmentInfo shm{};
  XImage* header = nullptr;        // shared memory only: what XShmGetImage writes through
  std::vector<std::uint8_t> heap;  // without shared memory
  std::uint8_t* data = nullptr;
  std::int64_t stride = 0;
  bool attached = false;

  Image() = default;
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  ~Image() {
    if (header != nullptr) {
      header->data = nullptr;
      XDestroyImage(header);
    }
    if (shm.shmaddr != nullptr) shmdt(shm.shmaddr);
  }
};

// Which images are held outside the capturer. A picture's storage marks its image free again
// when the last copy goes, on whatever thread that is; the lock orders that thread's reads
// before the capture thread's next write into the image.
struct X11ScreenCapturer::Pool {
  struct Slot {
    std::shared_ptr<Image> image;
    bool held = false;
    std::uint64_t generation = 0;  // the picture the image holds; 0: none
  };
  std::mutex mutex;
  std::vector<Slot> slots;
};

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
  pool_ = std::make_shared<Pool>();
  changes_ = std::make_shared<PictureChanges>();
  sharedMemory_ = XShmQueryExtension(display);
  // The first image tells whether this server can share memory with us at all.
  if (sharedMemory_) {
    auto image = makeImage();
    if (image) {
      pool_->slots.push_back({std::move(image)});
    } else {
      sharedMemory_ = false;
    }
  }
  XSync(display, False);
  return true;
}

std::shared_ptr<X11ScreenCapturer::Image> X11ScreenCapturer::makeImage() {
  auto image = std::make_shared<Image>();
  if (!sharedMemory_) {
    image->stride = bounds_.width * 4;
    image->heap.resize(static_cast<std::size_t>(image->stride * bounds_.height));
    image->data = image->heap.data();
    return image;
  }
  ::Display* display = capture_->display();
  int screen = DefaultScreen(display);
  image->header = XShmCreateImage(
      display, DefaultVisual(display, screen), DefaultDepth(display, screen), ZPixmap, nullptr,
      &image->shm, static_cast<unsigned>(bounds_.width), static_cast<unsigned>(bounds_.height));
  if (image->header == nullptr) return nullptr;
  image->shm.shmid = shmget(
      IPC_PRIVATE, static_cast<std::size_t>(image->header->bytes_per_line) * image->header->height,
      IPC_CREAT | 0600);
  if (image->shm.shmid < 0) return nullptr;
  void* address = shmat(image->shm.shmid, nullptr, 0);
  if (address != reinterpret_cast<void*>(-1)) {
    image->shm.shmaddr = image->header->data = static_cast<char*>(address);
    image->shm.readOnly = False;
    x11::ErrorTrap trap(display);
    // A server on another machine cannot attach; that is not an error, just the slow path.
    image->attached = XShmAttach(display, &image->shm) && trap.sync();
  }
  // Marked for removal now: it disappears once both sides have detached, even after a crash.
  shmctl(image->shm.shmid, IPC_RMID, nullptr);
  if (!image->attached) return nullptr;
  image->data = reinterpret_cast<std::uint8_t*>(image->header->data);
  image->stride = image->header->bytes_per_line;
  return image;
}

void X11ScreenCapturer::detachPool() {
  std::lock_guard lock(pool_->mutex);
  for (auto& slot : pool_->slots) {
    if (slot.image->attached) XShmDetach(capture_->display(), &slot.image->shm);
    slot.image->attached = false;
  }
  XSync(capture_->display(), False);
  pool_->slots.clear();
}

X11ScreenCapturer::~X11ScreenCapturer() {
  if (!pool_) return;  // initialise() never ran
  auto lock = capture_->lock();
  // With the server gone, its side of the segments went with it; ours goes with the images.
  if (!capture_->alive()) return;
  x11::ErrorTrap trap(capture_->display());
  detachPool();
  if (damage_ != None) XDamageDestroy(capture_->display(), damage_);
  if (parts_ != None) XFixesDestroyRegion(capture_->display(), parts_);
}

void X11ScreenCapturer::disableSharedMemoryForTest() {
  auto lock = capture_->lock();
  detachPool();
  sharedMemory_ = false;
}

std::size_t X11ScreenCapturer::pooledImages() const {
  std::lock_guard lock(pool_->mutex);
  return pool_->slots.size();
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

std::vector<PixelRect> X11ScreenCapturer::takeDamage() {
  ::Display* display = capture_->display();
  XDamageSubtract(display, damage_, None, parts_);
  int count = 0;
  XRectangle* rects = XFixesFetchRegion(display, parts_, &count);
  std::vector<PixelRect> parts;
  for (int i = 0; i < count; ++i) {
    DisplayRect r{0, rects[i].x, rects[i].y, rects[i].width, rects[i].height};
    if (intersect(r, bounds_))
      parts.push_back({r.x - bounds_.x, r.y - bounds_.y, r.width, r.height});
  }
  if (rects != nullptr) XFree(rects);
  return parts;
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
        auto damaged = takeDamage();
        if (!damaged.empty() || !everGrabbed_) return grabLocked(std::move(damaged));
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
  return grabLocked(takeDamage());
}

bool X11ScreenCapturer::grabRows(Image& image, std::int64_t top, std::int64_t rows) {
  ::Display* display = capture_->display();
  const int x = static_cast<int>(bounds_.x);
  const int y = static_cast<int>(bounds_.y + top);
  if (image.header != nullptr) {
    // The server writes at the header's offset into the segment, rows packed at the image's
    // own stride: a band of whole rows is a shorter image starting at its first row.
    XImage band = *image.header;
    band.height = static_cast<int>(rows);
    band.data = image.header->data + top * image.stride;
    return XShmGetImage(display, capture_->root(), &band, x, y, AllPlanes) != 0;
  }
  XImage* part = XGetImage(display, capture_->root(), x, y, static_cast<unsigned>(bounds_.width),
                           static_cast<unsigned>(rows), AllPlanes, ZPixmap);
  if (part == nullptr) return false;
  bool ok = part->bits_per_pixel == 32;
  const auto row = static_cast<std::size_t>(bounds_.width) * 4;
  for (std::int64_t r = 0; ok && r < rows; ++r) {
    std::memcpy(image.data + (top + r) * image.stride, part->data + r * part->bytes_per_line, row);
  }
  XDestroyImage(part);
  return ok;
}

CaptureResult X11ScreenCapturer::grabLocked(std::optional<std::vector<PixelRect>> damaged) {
  ::Display* display = capture_->display();
  auto excluded = excludedRects();
  if (damaged && excluded != painted_) {
    // What was painted over must come back in every image; what is painted now is new.
    damaged->insert(damaged->end(), painted_.begin(), painted_.end());
    damaged->insert(damaged->end(), excluded.begin(), excluded.end());
  }
  if (!everGrabbed_) damaged.reset();
  painted_ = excluded;
  const std::uint64_t generation = ++generation_;
  changes_->record(generation, std::move(damaged));

  // The free image that needs the least brought up to date: the one that held a picture last.
  std::size_t index = 0;
  std::uint64_t held = 0;
  {
    std::lock_guard lock(pool_->mutex);
    auto& slots = pool_->slots;
    index = slots.size();
    for (std::size_t i = 0; i < slots.size(); ++i) {
      if (!slots[i].held &&
          (index == slots.size() || slots[i].generation > slots[index].generation)) {
        index = i;
      }
    }
    if (index < slots.size()) {
      held = slots[index].generation;
      slots[index].held = true;
      slots[index].generation = 0;  // until the grab completes
    }
  }
  std::shared_ptr<Image> image;
  if (index == pool_->slots.size()) {
    image = makeImage();
    if (!image) return CaptureResult::error;
    std::lock_guard lock(pool_->mutex);
    pool_->slots.push_back({image, true, 0});
  } else {
    std::lock_guard lock(pool_->mutex);
    image = pool_->slots[index].image;
  }
  // Hands the image back to the pool whatever happens below; the picture takes it over.
  std::shared_ptr<const void> storage(image.get(), [pool = pool_, image, index](const void*) {
    std::lock_guard lock(pool->mutex);
    if (index < pool->slots.size() && pool->slots[index].image == image) {
      pool->slots[index].held = false;
    }
  });

  std::vector<Band> bands{{0, bounds_.height}};
  if (auto stale = changes_->between(held, generation)) bands = rowBands(*stale, bounds_.height);
  {
    x11::ErrorTrap trap(display);
    bool ok = true;
    for (const Band& band : bands) {
      ok = ok && grabRows(*image, band.top, band.bottom - band.top);
    }
    if (!ok || !trap.sync() || !capture_->alive()) return CaptureResult::error;
  }
  for (const PixelRect& r : excluded) {
    for (std::int64_t row = r.y; row < r.y + r.height; ++row) {
      std::memset(image->data + row * image->stride + r.x * 4, 0,
                  static_cast<std::size_t>(r.width) * 4);
    }
  }
  {
    std::lock_guard lock(pool_->mutex);
    if (index < pool_->slots.size() && pool_->slots[index].image == image) {
      pool_->slots[index].generation = generation;
    }
  }
  auto picture = std::make_shared<PixelBuffer>();
  picture->width = bounds_.width;
  picture->height = bounds_.height;
  picture->stride = static_cast<std::size_t>(image->stride);
  picture->data = image->data;
  picture->storage = std::move(storage);
  picture->generation = generation;
  picture->changes = changes_;
  current_ = std::move(picture);
  everGrabbed_ = true;
  return CaptureResult::ok;
}

CapturedFrame X11ScreenCapturer::frame() const {
  if (!current_) return {};
  return {current_->data, current_->width, current_->height,
          static_cast<std::int64_t>(current_->stride)};
}

void X11ScreenCapturer::setExcludedWindows(std::vector<std::uint64_t> windows) {
  auto lock = capture_->lock();
  excluded_ = std::move(windows);
}

std::vector<PixelRect> X11ScreenCapturer::excludedRects() {
  ::Display* display = capture_->display();
  std::vector<PixelRect> rects;
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
    rects.push_back({r.x - bounds_.x, r.y - bounds_.y, r.width, r.height});
  }
  return rects;
}

}  // namespace ombrel
