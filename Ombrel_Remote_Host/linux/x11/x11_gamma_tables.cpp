#include "Ombrel_Remote_Host/linux/x11/x11_gamma_tables.h"

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

bool isBlank(::Display* display, RRCrtc crtc, std::size_t size) {
  if (XRRGetCrtcGammaSize(display, crtc) != static_cast<int>(size)) return false;
  XRRCrtcGamma* gamma = XRRGetCrtcGamma(display, crtc);
  if (gamma == nullptr) return false;
  const auto zero = [](unsigned short* channel, int n) {
    return std::all_of(channel, channel + n, [](unsigned short v) { return v == 0; });
  };
  const bool blank = gamma->size == static_cast<int>(size) && zero(gamma->red, gamma->size) &&
                     zero(gamma->green, gamma->size) && zero(gamma->blue, gamma->size);
  XRRFreeGamma(gamma);
  return blank;
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
  std::vector<std::pair<RRCrtc, int>> sizes;
  for (int i = 0; i < resources->ncrtc; ++i) {
    RRCrtc crtc = resources->crtcs[i];
    int size = XRRGetCrtcGammaSize(display, crtc);
    if (size <= 0) continue;
    if (keep) {
      XRRCrtcGamma* gamma = XRRGetCrtcGamma(display, crtc);
      if (gamma == nullptr) continue;
      saved_.push_back({static_cast<std::uint32_t>(crtc),
                        std::vector<unsigned short>(gamma->red, gamma->red + gamma->size),
                        std::vector<unsigned short>(gamma->green, gamma->green + gamma->size),
                        std::vector<unsigned short>(gamma->blue, gamma->blue + gamma->size)});
      XRRFreeGamma(gamma);
    }
    sizes.emplace_back(crtc, size);
  }
  XRRFreeScreenResources(resources);
  // Handed over before the first ramp goes black: from then on a crash is covered.
  if (keep && !saved_.empty()) watchdog_ = GammaWatchdog::start(DisplayString(display), saved_);
  for (auto [crtc, size] : sizes) {
    std::vector<unsigned short> zero(static_cast<std::size_t>(size), 0);
    loadRamp(display, crtc, zero, zero, zero);
  }
  blanked_ = true;
}

void X11GammaTables::restore() {
  auto lock = connection_->lock();
  {
    x11::ErrorTrap trap(connection_->display());
    for (auto& ramp : saved_) {
      loadRamp(connection_->display(), ramp.crtc, ramp.red, ramp.green, ramp.blue);
    }
  }
  // Only once the server has the ramps: dying in between leaves them to the watchdog.
  if (watchdog_) watchdog_->standDown();
  watchdog_.reset();
  saved_.clear();
  blanked_ = false;
}

std::size_t X11GammaTables::restoreBlanked(x11::Connection& connection,
                                           const std::vector<GammaRamp>& ramps) {
  auto lock = connection.lock();
  x11::ErrorTrap trap(connection.display());
  std::size_t restored = 0;
  for (const auto& ramp : ramps) {
    if (!isBlank(connection.display(), ramp.crtc, ramp.red.size())) continue;
    loadRamp(connection.display(), ramp.crtc, ramp.red, ramp.green, ramp.blue);
    ++restored;
  }
  return restored;
}

}  // namespace ombrel
