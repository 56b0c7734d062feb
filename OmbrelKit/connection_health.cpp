#include "OmbrelKit/connection_health.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace ombrel {

ConnectionHealth::ConnectionHealth(double timeout) : timeout_(timeout) {
  if (!(timeout > 0)) throw std::invalid_argument("ConnectionHealth needs a positive timeout");
}

void ConnectionHealth::start(double at) {
  if (std::isfinite(at)) lastResponse_ = at;
}

void ConnectionHealth::acknowledge(double at) {
  if (lastResponse_ && std::isfinite(at)) lastResponse_ = std::max(*lastResponse_, at);
}

bool ConnectionHealth::isStalled(double now) const {
  return lastResponse_ && now - *lastResponse_ >= timeout_;
}

}  // namespace ombrel
