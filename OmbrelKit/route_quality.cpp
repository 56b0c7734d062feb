#include "OmbrelKit/route_quality.h"

#include <cmath>

namespace ombrel {

bool RouteQuality::observe(double rttMs) {
  if (!std::isfinite(rttMs) || rttMs < 0) return false;
  if (rttMs >= 1'500) {
    ++slowSamples_;
  } else {
    slowSamples_ = 0;
  }
  return slowSamples_ > 2;
}

}  // namespace ombrel
