#include "OmbrelKit/video_backpressure.h"

#include <algorithm>
#include <cmath>

namespace ombrel::VideoBackpressure {

int queueBudgetBytes(int bitrateKbps) {
  if (bitrateKbps > 819) return std::min(std::min(std::max(bitrateKbps, 1), 100'000) * 5, 64'000);
  return 4'096;
}

int reducedBitrate(int current, int target, double factor, int minimumKbps) {
  const int base = std::max(std::min(current, target), 1);
  const int floor = std::min(base, std::max(minimumKbps, 1));
  // Clamp in floating point: converting a product outside int's range (or NaN) is undefined.
  const double scaled = std::trunc(factor * base);
  if (std::isnan(scaled) || scaled <= floor) return floor;
  if (scaled >= base) return base;
  return static_cast<int>(scaled);
}

}  // namespace ombrel::VideoBackpressure
