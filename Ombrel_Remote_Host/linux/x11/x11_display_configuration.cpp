#include "Ombrel_Remote_Host/linux/x11/x11_display_configuration.h"

#include <X11/Xatom.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "Ombrel_Remote_Host/linux/x11/x11_monitors.h"

namespace ombrel {

namespace {

// The physical size a virtual display reports: 0.19 mm per pixel, an ordinary desktop pitch.
constexpr double millimetresPerPixel = 0.19;

// Places an output-less monitor. The X server refuses to redefine a monitor in place (despite
// what the protocol says), so an existing one is deleted first; callers that need the two steps
// to look like one change hold a server grab.
bool setMonitor(::Display* display, ::Window root, const x11::Monitor& monitor, std::int64_t x,
                std::int64_t y, std::int64_t width, std::int64_t height, bool exists = true,
                std::optional<bool> primary = std::nullopt) {
  XRRMonitorInfo* info = XRRAllocateMonitor(display, 0);
  if (info == nullptr) return false;
  if (exists) XRRDeleteMonitor(display, root, monitor.name);
  info->name = monitor.name;
  info->primary = primary.value_or(monitor.primary);
  info->automatic = False;
  info->x = static_cast<int>(x);
  info->y = static_cast<int>(y);
  info->width = static_cast<int>(width);
  info->height = static_cast<int>(height);
  info->mwidth = monitor.mmWidth;
  info->mheight = monitor.mmHeight;
  XRRSetMonitor(display, root, info);
  XRRFreeMonitors(info);
  return true;
}

// The screen's size now. Xlib's DisplayWidth/DisplayHeight keep the size the connection was
// opened with until it handles a RandR event, and this connection listens for none.
DisplayPoint screenSize(::Display* display, ::Window root) {
  ::Window ignored = None;
  int x = 0, y = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  XGetGeometry(display, root, &ignored, &x, &y, &width, &height, &border, &depth);
  return {width, height};
}

// Resizes the screen keeping its pixel pitch: Xlib's size in pixels and millimetres, though
// both as of the connection's start, still give the pitch.
bool resizeScreen(::Display* display, ::Window root, DisplayPoint to) {
  int screen = DefaultScreen(display);
  x11::ErrorTrap trap(display);
  XRRSetScreenSize(
      display, root, static_cast<int>(to.x), static_cast<int>(to.y),
      static_cast<int>(to.x * DisplayWidthMM(display, screen) / DisplayWidth(display, screen)),
      static_cast<int>(to.y * DisplayHeightMM(display, screen) / DisplayHeight(display, screen)));
  return trap.sync();
}

struct CrtcPlacement {
  RRCrtc crtc = None;
  int x = 0, y = 0;
  int oldX = 0, oldY = 0;
  RRMode mode = None;
  Rotation rotation = RR_Rotate_0;
  std::vector<RROutput> outputs;
};

bool placeCrtc(::Display* display, XRRScreenResources* resources, CrtcPlacement& c, int x, int y) {
  return XRRSetCrtcConfig(display, resources, c.crtc, CurrentTime, x, y, c.mode, c.rotation,
                          c.outputs.data(),
                          static_cast<int>(c.outputs.size())) == RRSetConfigSuccess;
}

}  // namespace

std::shared_ptr<X11DisplayConfiguration> X11DisplayConfiguration::open(
    const std::string& displayName) {
  auto connection = x11::Connection::open(displayName);
  if (!connection) return nullptr;
  return std::make_shared<X11DisplayConfiguration>(std::move(connection));
}

X11DisplayConfiguration::X11DisplayConfiguration(std::shared_ptr<x11::Connection> connection)
    : connection_(std::move(connection)) {}

X11DisplayConfiguration::~X11DisplayConfiguration() {
  for (std::uint32_t id : std::set(created_)) removeVirtual(id);
}

std::vector<DisplayInfo> X11DisplayConfiguration::displays() {
  auto lock = connection_->lock();
  if (!connection_->alive()) return {};
  std::vector<DisplayInfo> out;
  for (auto& monitor : x11::listMonitors(*connection_)) out.push_back(monitor.info);
  return out;
}

std::vector<DisplayRect> X11DisplayConfiguration::layout() {
  auto lock = connection_->lock();
  if (!connection_->alive()) return {};
  std::vector<DisplayRect> out;
  for (auto& monitor : x11::listMonitors(*connection_)) out.push_back(monitor.rect);
  return out;
}

std::optional<std::uint32_t> X11DisplayConfiguration::createVirtual(std::int64_t width,
                                                                    std::int64_t height,
                                                                    const std::string& name) {
  auto lock = connection_->lock();
  if (!connection_->alive()) return {};
  ::Display* display = connection_->display();
  if (!x11::hasMonitors(*connection_) || width <= 0 || height <= 0) return std::nullopt;
  auto monitors = x11::listMonitors(*connection_);

  // A monitor of the same name would be replaced, so a taken name gets a number.
  std::string unique = name.empty() ? "Ombrel" : name;
  for (int n = 2;; ++n) {
    ::Atom atom = connection_->atom(unique.c_str());
    if (std::none_of(monitors.begin(), monitors.end(), [&](auto& m) { return m.name == atom; })) {
      break;
    }
    unique = (name.empty() ? "Ombrel" : name) + " " + std::to_string(n);
  }

  std::int64_t right = 0;
  std::int64_t bottom = 0;
  for (auto& m : monitors) {
    right = std::max(right, m.rect.x + m.rect.width);
    bottom = std::max(bottom, m.rect.y + m.rect.height);
  }
  DisplayPoint size = screenSize(display, connection_->root());
  std::int64_t screenWidth = size.x;
  std::int64_t screenHeight = size.y;
  std::optional<DisplayPoint> origin;
  for (DisplayPoint candidate : {DisplayPoint{right, 0}, DisplayPoint{0, bottom}}) {
    if (candidate.x + width <= screenWidth && candidate.y + height <= screenHeight) {
      origin = candidate;
      break;
    }
  }
  if (!origin) {
    int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
    XRRGetScreenSizeRange(display, connection_->root(), &minWidth, &minHeight, &maxWidth,
                          &maxHeight);
    std::int64_t grownWidth = std::max(screenWidth, right + width);
    std::int64_t grownHeight = std::max(screenHeight, height);
    if (grownWidth > maxWidth || grownHeight > maxHeight) return std::nullopt;
    if (!resizeScreen(display, connection_->root(), {grownWidth, grownHeight})) {
      return std::nullopt;
    }
    if (!screenBeforeGrowth_) screenBeforeGrowth_ = size;
    origin = DisplayPoint{right, 0};
  }

  x11::Monitor monitor;
  monitor.name = connection_->atom(unique.c_str());
  monitor.mmWidth = static_cast<int>(std::lround(millimetresPerPixel * width));
  monitor.mmHeight = static_cast<int>(std::lround(millimetresPerPixel * height));
  x11::ErrorTrap trap(display);
  if (!setMonitor(display, connection_->root(), monitor, origin->x, origin->y, width, height,
                  false) ||
      !trap.sync()) {
    return std::nullopt;
  }
  auto id = static_cast<std::uint32_t>(monitor.name);
  created_.insert(id);
  return id;
}

bool X11DisplayConfiguration::selectMode(std::uint32_t id, std::int64_t width,
                                         std::int64_t height) {
  auto lock = connection_->lock();
  if (!connection_->alive()) return {};
  for (auto& monitor : x11::listMonitors(*connection_)) {
    if (monitor.info.id != id) continue;
    if (monitor.rect.width == width && monitor.rect.height == height) return true;
    // Someone changed it; ask again, the next look tells whether it took.
    ::Display* display = connection_->display();
    XGrabServer(display);
    {
      x11::ErrorTrap trap(display);
      setMonitor(display, connection_->root(), monitor, monitor.rect.x, monitor.rect.y, width,
                 height);
    }
    XUngrabServer(display);
    XSync(display, False);
    return false;
  }
  return false;
}

void X11DisplayConfiguration::removeVirtual(std::uint32_t id) {
  auto lock = connection_->lock();
  if (!connection_->alive()) return;
  if (created_.erase(id) == 0) return;
  {
    x11::ErrorTrap trap(connection_->display());
    XRRDeleteMonitor(connection_->display(), connection_->root(), static_cast<::Atom>(id));
  }
  restorePrimary();
  shrinkScreen();
}

void X11DisplayConfiguration::savePrimary(const std::vector<x11::Monitor>& monitors) {
  if (primaryBefore_) return;  // the first record stands
  Primary before;
  before.output = XRRGetOutputPrimary(connection_->display(), connection_->root());
  for (auto& m : monitors) {
    if (m.primary && !m.automatic && !created_.contains(m.info.id)) before.monitor = m.name;
  }
  primaryBefore_ = before;
}

void X11DisplayConfiguration::restorePrimary() {
  if (!primaryBefore_) return;
  ::Display* display = connection_->display();
  ::Window root = connection_->root();
  auto monitors = x11::listMonitors(*connection_);
  if (std::any_of(monitors.begin(), monitors.end(), [&](auto& m) {
        return created_.contains(m.info.id) && m.rect.x == 0 && m.rect.y == 0;
      })) {
    return;
  }
  Primary before = *std::exchange(primaryBefore_, std::nullopt);
  x11::ErrorTrap trap(display);
  if (XRRGetOutputPrimary(display, root) != before.output) {
    XRRSetOutputPrimary(display, root, before.output);
  }
  for (auto& m : monitors) {
    if (m.name == before.monitor && !m.primary) {
      setMonitor(display, root, m, m.rect.x, m.rect.y, m.rect.width, m.rect.height, true, true);
    }
  }
}

void X11DisplayConfiguration::shrinkScreen() {
  if (!screenBeforeGrowth_) return;
  ::Display* display = connection_->display();
  ::Window root = connection_->root();
  DisplayPoint target = *screenBeforeGrowth_;
  for (auto& m : x11::listMonitors(*connection_)) {
    target.x = std::max(target.x, m.rect.x + m.rect.width);
    target.y = std::max(target.y, m.rect.y + m.rect.height);
  }
  DisplayPoint size = screenSize(display, root);
  target = {std::min(target.x, size.x), std::min(target.y, size.y)};
  if (target != size) resizeScreen(display, root, target);
  if (created_.empty()) screenBeforeGrowth_.reset();
}

bool X11DisplayConfiguration::applyOrigins(const std::map<std::uint32_t, DisplayPoint>& origins) {
  auto lock = connection_->lock();
  if (!connection_->alive()) return {};
  ::Display* display = connection_->display();
  ::Window root = connection_->root();
  if (!x11::hasMonitors(*connection_)) return false;
  auto monitors = x11::listMonitors(*connection_);
  XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
  if (resources == nullptr) return false;

  std::vector<CrtcPlacement> crtcs;
  std::vector<std::pair<const x11::Monitor*, DisplayPoint>> bare;
  std::int64_t needWidth = 0;
  std::int64_t needHeight = 0;
  for (auto& monitor : monitors) {
    auto wanted = origins.find(monitor.info.id);
    DisplayPoint to{monitor.rect.x, monitor.rect.y};
    if (wanted != origins.end()) to = wanted->second;
    needWidth = std::max(needWidth, to.x + monitor.rect.width);
    needHeight = std::max(needHeight, to.y + monitor.rect.height);
    if (to == DisplayPoint{monitor.rect.x, monitor.rect.y}) continue;
    if (monitor.crtcs.empty()) {
      bare.emplace_back(&monitor, to);
      continue;
    }
    for (RRCrtc crtc : monitor.crtcs) {
      XRRCrtcInfo* info = XRRGetCrtcInfo(display, resources, crtc);
      if (info == nullptr) continue;
      // A monitor spanning several CRTCs keeps their arrangement: each moves by the same step.
      crtcs.push_back(
          {.crtc = crtc,
           .x = static_cast<int>(info->x + to.x - monitor.rect.x),
           .y = static_cast<int>(info->y + to.y - monitor.rect.y),
           .oldX = info->x,
           .oldY = info->y,
           .mode = info->mode,
           .rotation = info->rotation,
           .outputs = std::vector<RROutput>(info->outputs, info->outputs + info->noutput)});
      XRRFreeCrtcInfo(info);
    }
  }

  if (std::any_of(bare.begin(), bare.end(), [&](auto& move) {
        return created_.contains(move.first->info.id) && move.second == DisplayPoint{0, 0};
      })) {
    savePrimary(monitors);
  }
  DisplayPoint size = screenSize(display, root);
  bool grow = needWidth > size.x || needHeight > size.y;
  bool ok = true;
  XGrabServer(display);
  {
    x11::ErrorTrap trap(display);
    if (grow) {
      ok = resizeScreen(display, root, {std::max(needWidth, size.x), std::max(needHeight, size.y)});
      if (ok && !screenBeforeGrowth_) screenBeforeGrowth_ = size;
    }
    std::size_t placed = 0;
    for (; ok && placed < crtcs.size(); ++placed) {
      ok = placeCrtc(display, resources, crtcs[placed], crtcs[placed].x, crtcs[placed].y) &&
           trap.sync();
      if (!ok) break;
    }
    std::size_t moved = 0;
    for (; ok && moved < bare.size(); ++moved) {
      auto& [monitor, to] = bare[moved];
      // A virtual display of ours at the origin is the main display, as the primary monitor.
      std::optional<bool> primary;
      if (created_.contains(monitor->info.id)) primary = to == DisplayPoint{0, 0};
      ok = setMonitor(display, root, *monitor, to.x, to.y, monitor->rect.width,
                      monitor->rect.height, true, primary) &&
           trap.sync();
      if (!ok) break;
    }
    if (!ok) {
      // Half a layout is worse than none: put back what already moved.
      x11::ErrorTrap undo(display);
      for (std::size_t i = 0; i < placed; ++i) {
        XRRScreenResources* fresh = XRRGetScreenResourcesCurrent(display, root);
        if (fresh == nullptr) break;
        placeCrtc(display, fresh, crtcs[i], crtcs[i].oldX, crtcs[i].oldY);
        XRRFreeScreenResources(fresh);
      }
      for (std::size_t i = 0; i < moved; ++i) {
        auto& monitor = *bare[i].first;
        setMonitor(display, root, monitor, monitor.rect.x, monitor.rect.y, monitor.rect.width,
                   monitor.rect.height);
      }
      undo.sync();
    }
  }
  XUngrabServer(display);
  XSync(display, False);
  XRRFreeScreenResources(resources);
  restorePrimary();
  return ok;
}

X11DisplayConfiguration::Extents X11DisplayConfiguration::frameExtents(::Window window) {
  auto values =
      connection_->longProperty(window, connection_->atom("_NET_FRAME_EXTENTS"), XA_CARDINAL);
  if (values.size() < 4) return {};
  return {static_cast<long>(values[0]), static_cast<long>(values[1]), static_cast<long>(values[2]),
          static_cast<long>(values[3])};
}

std::vector<WindowFrame> X11DisplayConfiguration::openWindows() {
  auto lock = connection_->lock();
  if (!connection_->alive()) return {};
  ::Display* display = connection_->display();
  ::Window root = connection_->root();
  std::vector<WindowFrame> out;
  auto clients = connection_->longProperty(root, connection_->atom("_NET_CLIENT_LIST"), XA_WINDOW);
  ::Atom pidAtom = connection_->atom("_NET_WM_PID");
  ::Atom stateAtom = connection_->atom("_NET_WM_STATE");
  ::Atom hiddenAtom = connection_->atom("_NET_WM_STATE_HIDDEN");
  ::Atom typeAtom = connection_->atom("_NET_WM_WINDOW_TYPE");
  ::Atom normalAtom = connection_->atom("_NET_WM_WINDOW_TYPE_NORMAL");
  ::Atom dialogAtom = connection_->atom("_NET_WM_WINDOW_TYPE_DIALOG");
  for (unsigned long client : clients) {
    ::Window window = client;
    auto pid = connection_->longProperty(window, pidAtom, XA_CARDINAL);
    if (!pid.empty() && static_cast<pid_t>(pid[0]) == getpid()) continue;
    auto types = connection_->longProperty(window, typeAtom, XA_ATOM);
    // Docks, desktops, menus and the like belong to the desktop, not to an application.
    if (!types.empty() && types[0] != normalAtom && types[0] != dialogAtom) continue;
    auto states = connection_->longProperty(window, stateAtom, XA_ATOM);
    if (std::find(states.begin(), states.end(), hiddenAtom) != states.end()) continue;

    x11::ErrorTrap trap(display);
    XWindowAttributes attributes{};
    int x = 0;
    int y = 0;
    ::Window child = None;
    if (!XGetWindowAttributes(display, window, &attributes) || attributes.map_state != IsViewable ||
        !XTranslateCoordinates(display, window, root, 0, 0, &x, &y, &child) || !trap.sync()) {
      continue;
    }
    Extents e = frameExtents(window);
    out.push_back({.window = window,
                   .x = x - e.left,
                   .y = y - e.top,
                   .width = attributes.width + e.left + e.right,
                   .height = attributes.height + e.top + e.bottom});
  }
  return out;
}

void X11DisplayConfiguration::setWindowPosition(std::uint64_t window, std::int64_t x,
                                                std::int64_t y) {
  auto lock = connection_->lock();
  if (!connection_->alive()) return;
  x11::ErrorTrap trap(connection_->display());
  // With the default north-west gravity a window manager places the frame's corner here.
  XMoveWindow(connection_->display(), static_cast<::Window>(window), static_cast<int>(x),
              static_cast<int>(y));
}

void X11DisplayConfiguration::setWindowSize(std::uint64_t window, std::int64_t width,
                                            std::int64_t height) {
  auto lock = connection_->lock();
  if (!connection_->alive()) return;
  Extents e = frameExtents(static_cast<::Window>(window));
  std::int64_t clientWidth = width - e.left - e.right;
  std::int64_t clientHeight = height - e.top - e.bottom;
  if (clientWidth < 1 || clientHeight < 1) return;
  x11::ErrorTrap trap(connection_->display());
  XResizeWindow(connection_->display(), static_cast<::Window>(window),
                static_cast<unsigned>(clientWidth), static_cast<unsigned>(clientHeight));
}

}  // namespace ombrel
