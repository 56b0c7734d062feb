#include "Ombrel_Remote_Host/screen/linux/x11_gamma_tables.h"

#include <algorithm>

namespace ombrel {

namespace {

void loadRamp(::Display* display, RRCrtc crtc, const std::vector<unsigned short>& red,
              const std::vector<unsigned short>& green, const std::vector<unsigned short>& blue) {
  XRRCrtcGamma* gamma = XRRAllocGamma(static_cast<int>(red.size()));
  if (gamma == nullptr) return;
  std::copy(red.begin(), red.end(), gamma->red);
  std::copy(green.begin(), green.end(), gamma->green);
  std::copy(blue.begin(), blue.end(), gamma->blue);
  XRRSetCrtcGamma(display, crtc, gamma);
  XRRFreeGamma(gamma);
}

}  // namespace

std::unique_ptr<X11GammaTables> X11GammaTables::open(const std::string& displayName) {
  auto connection = x11::Connection::open(displayName);
  if (!connection) return nullptr;
  return std::make_unique<X11GammaTables>(std::move(connection));
}

X11GammaTables::X11GammaTables(std::shared_ptr<x11::Connection> connection)
    : connection_(std::move(connection)) {}

void X11GammaTables::blank() {
  auto lock = connection_->lock();
  ::Display* display = connection_->display();
  x11::ErrorTrap trap(display);
  XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, connection_->root());
  if (resources == nullptr) return;
  bool keep = !blanked_;
  for (int i = 0; i < resources->ncrtc; ++i) {
    RRCrtc crtc = resources->crtcs[i];
    int size = XRRGetCrtcGammaSize(display, crtc);
    if (size <= 0) continue;
    if (keep) {
      XRRCrtcGamma* gamma = XRRGetCrtcGamma(display, crtc);
      if (gamma == nullptr) continue;
      saved_.push_back({crtc, std::vector<unsigned short>(gamma->red, gamma->red + gamma->size),
                        std::vector<unsigned short>(gamma->green, gamma->green + gamma->size),
                        std::vector<unsigned short>(gamma->blue, gamma->blue + gamma->size)});
      XRRFreeGamma(gamma);
    }
    std::vector<unsigned short> zero(static_cast<std::size_t>(size), 0);
    loadRamp(display, crtc, zero, zero, zero);
  }
  XRRFreeScreenResources(resources);
  blanked_ = true;
}

void X11GammaTables::restore() {
  auto lock = connection_->lock();
  x11::ErrorTrap trap(connection_->display());
  for (auto& ramp : saved_) {
    loadRamp(connection_->display(), ramp.crtc, ramp.red, ramp.green, ramp.blue);
  }
  saved_.clear();
  blanked_ = false;
}

}  // namespace ombrel
