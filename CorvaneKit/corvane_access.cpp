#include "CorvaneKit/corvane_access.h"

namespace ombrel {

bool CorvaneServices::allowsRemote(Corvane::Path path, bool relayed) const {
  if (!remoteEnabled) return false;
  if (linkEnabled) return true;
  return path == Corvane::Path::local && !relayed;
}

CorvaneAccess::CorvaneAccess(CorvaneServices services) : services_(services) {}

CorvaneServices CorvaneAccess::services() const {
  std::lock_guard guard(lock_);
  return services_;
}

CorvaneAccess::Token CorvaneAccess::token() const {
  std::lock_guard guard(lock_);
  return Token{.remote = remote_, .external = external_};
}

void CorvaneAccess::update(CorvaneServices services) {
  std::lock_guard guard(lock_);
  if (services.remoteEnabled != services_.remoteEnabled) ++remote_;
  if (services.linkEnabled != services_.linkEnabled) ++external_;
  services_ = services;
}

bool CorvaneAccess::allows(Token token, Corvane::Path path, bool relayed) const {
  std::lock_guard guard(lock_);
  if (!services_.remoteEnabled || token.remote != remote_) return false;
  if (path == Corvane::Path::local && !relayed) return true;
  return services_.linkEnabled && token.external == external_;
}

}  // namespace ombrel
