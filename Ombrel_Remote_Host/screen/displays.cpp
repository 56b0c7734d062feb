#include "Ombrel_Remote_Host/screen/displays.h"

#include <mutex>

#include "Ombrel_Remote_Host/screen/screen_backends.h"

namespace ombrel {

namespace {

std::mutex platformMutex;
std::shared_ptr<DisplayConfiguration> platformConfiguration;

}  // namespace

std::vector<DisplayInfo> Displays::all() {
  auto configuration = platform();
  return configuration ? configuration->displays() : std::vector<DisplayInfo>{};
}

std::shared_ptr<DisplayConfiguration> Displays::platform() {
  std::lock_guard lock(platformMutex);
  // Opened on first use and again after a failure or a lost connection: the X server may
  // start after the host, or restart under it.
  if (!platformConfiguration || !platformConfiguration->isConnected()) {
    platformConfiguration = openDisplayConfiguration();
  }
  return platformConfiguration;
}

void Displays::usePlatform(std::shared_ptr<DisplayConfiguration> configuration) {
  std::lock_guard lock(platformMutex);
  platformConfiguration = std::move(configuration);
}

}  // namespace ombrel
