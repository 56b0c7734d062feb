#include "Ombrel_Remote_Host/linux/x11/x11_monitors.h"

#include <X11/Xatom.h>

#include <algorithm>

#include "Ombrel_Remote_Host/linux/x11/edid.h"

namespace ombrel::x11 {

namespace {

constexpr double fallbackRefreshRate = 60.0;

double modeRate(const XRRModeInfo& mode) {
  double lines = mode.vTotal;
  if (mode.modeFlags & RR_DoubleScan) lines *= 2;
  if (mode.modeFlags & RR_Interlace) lines /= 2;
  if (mode.dotClock == 0 || mode.hTotal == 0 || lines == 0) return 0;
  return static_cast<double>(mode.dotClock) / (mode.hTotal * lines);
}

std::string edidName(Connection& connection, RROutput output) {
  ::Atom edidAtom = connection.atom(RR_PROPERTY_RANDR_EDID);
  ErrorTrap trap(connection.display());
  ::Atom type = None;
  int format = 0;
  unsigned long count = 0;
  unsigned long after = 0;
  unsigned char* data = nullptr;
  std::string name;
  if (XRRGetOutputProperty(connection.display(), output, edidAtom, 0, 256, False, False,
                           AnyPropertyType, &type, &format, &count, &after, &data) == Success &&
      data != nullptr) {
    if (format == 8) name = edidMonitorName(ByteView(data, count)).value_or("");
    XFree(data);
  }
  return name;
}

}  // namespace

bool hasMonitors(Connection& connection) {
  int event = 0;
  int error = 0;
  int major = 0;
  int minor = 0;
  return XRRQueryExtension(connection.display(), &event, &error) &&
         XRRQueryVersion(connection.display(), &major, &minor) &&
         (major > 1 || (major == 1 && minor >= 5));
}

std::vector<Monitor> listMonitors(Connection& connection) {
  ::Display* display = connection.display();
  std::vector<Monitor> out;
  // Extension requests on a dead connection confuse libXext's per-display bookkeeping.
  if (!connection.alive()) return out;
  bool monitors15 = hasMonitors(connection);
  if (!connection.alive()) return out;
  if (!monitors15) {
    Monitor whole;
    whole.info.id = static_cast<std::uint32_t>(connection.root());
    whole.info.name = "螢幕 " + std::to_string(whole.info.id);
    whole.rect = {whole.info.id, 0, 0, DisplayWidth(display, DefaultScreen(display)),
                  DisplayHeight(display, DefaultScreen(display))};
    whole.primary = true;
    whole.info.pixelWidth = whole.rect.width;
    whole.info.pixelHeight = whole.rect.height;
    whole.info.pointWidth = static_cast<double>(whole.rect.width);
    whole.info.pointHeight = static_cast<double>(whole.rect.height);
    whole.info.refreshRate = fallbackRefreshRate;
    whole.info.isMain = true;
    out.push_back(whole);
    return out;
  }

  // An output or CRTC can vanish between two of these requests (a display unplugged); its
  // error must not reach anyone else.
  ErrorTrap trap(display);
  XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, connection.root());
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(display, connection.root(), True, &count);
  for (int i = 0; i < count; ++i) {
    const XRRMonitorInfo& m = monitors[i];
    Monitor monitor;
    monitor.name = m.name;
    monitor.primary = m.primary;
    monitor.automatic = m.automatic;
    monitor.mmWidth = m.mwidth;
    monitor.mmHeight = m.mheight;
    monitor.outputs.assign(m.outputs, m.outputs + m.noutput);
    auto id = static_cast<std::uint32_t>(m.name);
    monitor.rect = {id, m.x, m.y, m.width, m.height};

    double rate = 0;
    std::string name;
    for (RROutput output : monitor.outputs) {
      if (resources == nullptr) break;
      XRROutputInfo* info = XRRGetOutputInfo(display, resources, output);
      if (info == nullptr) continue;
      if (info->crtc != None && std::find(monitor.crtcs.begin(), monitor.crtcs.end(), info->crtc) ==
                                    monitor.crtcs.end()) {
        monitor.crtcs.push_back(info->crtc);
        if (rate == 0) {
          if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, info->crtc)) {
            for (int k = 0; k < resources->nmode; ++k) {
              if (resources->modes[k].id == crtc->mode) rate = modeRate(resources->modes[k]);
            }
            XRRFreeCrtcInfo(crtc);
          }
        }
      }
      XRRFreeOutputInfo(info);
      if (name.empty()) name = edidName(connection, output);
    }
    if (name.empty()) name = connection.atomName(m.name);
    if (name.empty()) name = "螢幕 " + std::to_string(id);

    monitor.info = {.id = id,
                    .name = name,
                    .pixelWidth = m.width,
                    .pixelHeight = m.height,
                    .pointWidth = static_cast<double>(m.width),
                    .pointHeight = static_cast<double>(m.height),
                    .refreshRate = rate > 0 ? rate : fallbackRefreshRate,
                    .isMain = m.primary != 0};
    out.push_back(std::move(monitor));
  }
  if (monitors != nullptr) XRRFreeMonitors(monitors);
  if (resources != nullptr) XRRFreeScreenResources(resources);
  if (!connection.alive()) return {};

  // One main display: RandR may flag an output and an output-less monitor primary at once; it
  // lists the primary monitor first.
  bool anyMain = false;
  for (auto& m : out) {
    if (anyMain) m.info.isMain = false;
    anyMain = anyMain || m.info.isMain;
  }
  if (!anyMain && !out.empty()) {
    // A desktop always has a main display; RandR leaves the primary unset until someone sets
    // it, and then the monitor at the origin is the one the desktop starts on.
    auto origin = std::find_if(out.begin(), out.end(),
                               [](auto& m) { return m.rect.x == 0 && m.rect.y == 0; });
    (origin != out.end() ? *origin : out.front()).info.isMain = true;
  }
  return out;
}

}  // namespace ombrel::x11
