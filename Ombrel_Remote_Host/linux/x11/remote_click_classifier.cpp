#include "Ombrel_Remote_Host/linux/x11/remote_click_classifier.h"

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <cstring>

namespace ombrel {

std::unique_ptr<RemoteClickClassifier> RemoteClickClassifier::open(
    std::shared_ptr<InjectionRecord> record, const std::string& displayName, const Clock& clock) {
  auto connection = x11::Connection::open(displayName);
  if (!connection) return nullptr;
  Display* display = connection->display();
  int opcode = 0, event = 0, error = 0;
  int major = 2, minor = 0;
  if (!XQueryExtension(display, "XInputExtension", &opcode, &event, &error) ||
      XIQueryVersion(display, &major, &minor) != Success) {
    return nullptr;
  }
  unsigned char bits[XIMaskLen(XI_LASTEVENT)] = {};
  XISetMask(bits, XI_RawKeyPress);
  XISetMask(bits, XI_RawKeyRelease);
  XISetMask(bits, XI_RawButtonPress);
  XISetMask(bits, XI_RawButtonRelease);
  XISetMask(bits, XI_HierarchyChanged);
  XIEventMask mask{.deviceid = XIAllDevices, .mask_len = sizeof bits, .mask = bits};
  XISelectEvents(display, DefaultRootWindow(display), &mask, 1);
  XSync(display, False);
  return std::unique_ptr<RemoteClickClassifier>(
      new RemoteClickClassifier(std::move(connection), opcode, std::move(record), clock));
}

RemoteClickClassifier::RemoteClickClassifier(std::shared_ptr<x11::Connection> connection,
                                             int opcode, std::shared_ptr<InjectionRecord> record,
                                             const Clock& clock)
    : connection_(std::move(connection)),
      display_(connection_->display()),
      opcode_(opcode),
      record_(std::move(record)),
      clock_(clock) {
  reloadDevices();
}

RemoteClickClassifier::~RemoteClickClassifier() = default;

int RemoteClickClassifier::fd() const { return ConnectionNumber(display_); }

void RemoteClickClassifier::reloadDevices() {
  xtestDevices_.clear();
  int count = 0;
  XIDeviceInfo* devices = XIQueryDevice(display_, XIAllDevices, &count);
  for (int i = 0; i < count; ++i) {
    // The server's XTest slaves are named "<master name> XTEST pointer/keyboard".
    xtestDevices_[devices[i].deviceid] = std::strstr(devices[i].name, "XTEST") != nullptr;
  }
  if (devices) XIFreeDeviceInfo(devices);
}

bool RemoteClickClassifier::isXTestDevice(int deviceId) {
  auto it = xtestDevices_.find(deviceId);
  if (it == xtestDevices_.end()) {
    reloadDevices();
    it = xtestDevices_.find(deviceId);
  }
  return it != xtestDevices_.end() && it->second;
}

void RemoteClickClassifier::processPending() {
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    XGenericEventCookie* cookie = &event.xcookie;
    if (cookie->type != GenericEvent || cookie->extension != opcode_ ||
        !XGetEventData(display_, cookie)) {
      continue;
    }
    if (cookie->evtype == XI_HierarchyChanged) {
      reloadDevices();
      XFreeEventData(display_, cookie);
      continue;
    }
    const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
    // Each raw event comes once from the slave device and once through its master; the
    // slave's copy (deviceid == sourceid) names the device that really produced it.
    if (raw->deviceid == raw->sourceid) {
      using K = InjectedEvent::Kind;
      K kind = K::buttonPress;
      switch (cookie->evtype) {
        case XI_RawKeyPress:
          kind = K::keyPress;
          break;
        case XI_RawKeyRelease:
          kind = K::keyRelease;
          break;
        case XI_RawButtonPress:
          kind = K::buttonPress;
          break;
        default:
          kind = K::buttonRelease;
          break;
      }
      const auto detail = static_cast<unsigned>(raw->detail);
      const bool remote =
          isXTestDevice(raw->sourceid) && record_->claim(kind, detail, clock_.now());
      const Origin origin = remote ? Origin::remote : Origin::local;
      if (kind == K::keyPress || kind == K::buttonPress) lastPress_ = origin;
      if (onClassified) onClassified({.kind = kind, .detail = detail, .origin = origin});
    }
    XFreeEventData(display_, cookie);
  }
}

std::optional<RemoteClickClassifier::Origin> RemoteClickClassifier::lastPressOrigin() {
  XSync(display_, False);
  processPending();
  return lastPress_;
}

}  // namespace ombrel
