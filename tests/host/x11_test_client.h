#pragma once

// A plain Xlib client for the screen tests: it plays the other applications (windows with
// known colours), the user changing the display layout, and the window manager's client list.

// GoogleTest first: Xlib's macros (None, Bool) would break its headers.
#include <gtest/gtest.h>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/Xrandr.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/xvfb_server.h"

namespace ombrel::test {

class X11TestClient {
 public:
  explicit X11TestClient(const std::string& display)
      : display_(XOpenDisplay(display.c_str())),
        root_(display_ != nullptr ? DefaultRootWindow(display_) : None) {}
  ~X11TestClient() {
    if (display_ != nullptr) XCloseDisplay(display_);
  }
  X11TestClient(const X11TestClient&) = delete;
  X11TestClient& operator=(const X11TestClient&) = delete;

  ::Display* display() const { return display_; }
  ::Window root() const { return root_; }
  ::Atom atom(const char* name) { return XInternAtom(display_, name, False); }

  // A mapped, unmanaged window filled with `rgb` (0xRRGGBB).
  ::Window window(int x, int y, int width, int height, unsigned long rgb) {
    XSetWindowAttributes attributes{};
    attributes.override_redirect = True;
    attributes.background_pixel = rgb;
    ::Window w = XCreateWindow(display_, root_, x, y, static_cast<unsigned>(width),
                               static_cast<unsigned>(height), 0, CopyFromParent, InputOutput,
                               CopyFromParent, CWOverrideRedirect | CWBackPixel, &attributes);
    XMapWindow(display_, w);
    XSync(display_, False);
    return w;
  }

  void fill(::Window w, int x, int y, int width, int height, unsigned long rgb) {
    GC gc = XCreateGC(display_, w, 0, nullptr);
    XSetForeground(display_, gc, rgb);
    XFillRectangle(display_, w, gc, x, y, static_cast<unsigned>(width),
                   static_cast<unsigned>(height));
    XFreeGC(display_, gc);
    XSync(display_, False);
  }

  struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Geometry&) const = default;
  };
  Geometry geometry(::Window w) {
    XWindowAttributes a{};
    XGetWindowAttributes(display_, w, &a);
    int x = 0, y = 0;
    ::Window child = None;
    XTranslateCoordinates(display_, w, root_, 0, 0, &x, &y, &child);
    return {x, y, a.width, a.height};
  }

  void setLongs(::Window w, const char* property, ::Atom type, std::vector<long> values) {
    XChangeProperty(display_, w, atom(property), type, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(values.data()),
                    static_cast<int>(values.size()));
    XSync(display_, False);
  }

  // An output-less RandR monitor, as a user would add with xrandr --setmonitor (which, like
  // this, deletes a monitor of the same name first: the server does not redefine one).
  void setMonitor(const char* name, int x, int y, int width, int height, bool primary = false) {
    int count = 0;
    XRRMonitorInfo* existing = XRRGetMonitors(display_, root_, False, &count);
    for (int i = 0; i < count; ++i) {
      if (existing[i].name == atom(name)) XRRDeleteMonitor(display_, root_, atom(name));
    }
    XRRFreeMonitors(existing);
    XRRMonitorInfo* m = XRRAllocateMonitor(display_, 0);
    m->name = atom(name);
    m->primary = primary;
    m->x = x;
    m->y = y;
    m->width = width;
    m->height = height;
    m->mwidth = width / 4;
    m->mheight = height / 4;
    XRRSetMonitor(display_, root_, m);
    XRRFreeMonitors(m);
    XSync(display_, False);
  }

  // Drives Xvfb's one output with a new mode of its own: a "physical" display smaller than
  // the screen, at (x, y). Timings of a 60 Hz 1080p mode, scaled to the size.
  void setOutputMode(int width, int height, int x = 0, int y = 0) {
    XRRScreenResources* r = XRRGetScreenResourcesCurrent(display_, root_);
    ASSERT_NE(r, nullptr);
    ASSERT_GE(r->ncrtc, 1);
    std::string name = std::to_string(width) + "x" + std::to_string(height) + "-test";
    XRRModeInfo mode{};
    mode.width = static_cast<unsigned>(width);
    mode.height = static_cast<unsigned>(height);
    mode.hTotal = static_cast<unsigned>(width + 280);
    mode.vTotal = static_cast<unsigned>(height + 45);
    mode.dotClock = static_cast<unsigned long>(mode.hTotal) * mode.vTotal * 60;
    mode.name = name.data();
    mode.nameLength = static_cast<unsigned>(name.size());
    RRMode id = XRRCreateMode(display_, root_, &mode);
    RROutput output = r->outputs[0];
    XRRAddOutputMode(display_, output, id);
    Status s =
        XRRSetCrtcConfig(display_, r, r->crtcs[0], CurrentTime, x, y, id, RR_Rotate_0, &output, 1);
    ASSERT_EQ(s, RRSetConfigSuccess);
    XRRFreeScreenResources(r);
    XSync(display_, False);
  }

  // The monitor RandR itself marks primary ("" with none), and the screen's size.
  std::string primaryMonitor() {
    int count = 0;
    std::string name;
    XRRMonitorInfo* monitors = XRRGetMonitors(display_, root_, True, &count);
    for (int i = 0; i < count && name.empty(); ++i) {
      if (monitors[i].primary) {
        char* text = XGetAtomName(display_, monitors[i].name);
        name = text;
        XFree(text);
      }
    }
    XRRFreeMonitors(monitors);
    return name;
  }
  std::pair<unsigned, unsigned> screenSize() {
    ::Window root = None;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    XGetGeometry(display_, root_, &root, &x, &y, &width, &height, &border, &depth);
    return {width, height};
  }

  RRCrtc firstCrtc() {
    XRRScreenResources* r = XRRGetScreenResourcesCurrent(display_, root_);
    RRCrtc crtc = r->crtcs[0];
    XRRFreeScreenResources(r);
    return crtc;
  }

 private:
  ::Display* display_;
  ::Window root_;
};

}  // namespace ombrel::test
