#include "Ombrel_Remote_Host/input/wheel_accumulator.h"

#include <algorithm>
#include <cmath>

namespace ombrel {
namespace {

// Whole clicks out of `remainder` (in pixels), leaving the fraction behind.
int takeClicks(double& remainder) {
  const double clicks = std::trunc(remainder / WheelAccumulator::pixelsPerClick);
  remainder -= clicks * WheelAccumulator::pixelsPerClick;
  const double limit = WheelAccumulator::maxClicksPerEvent;
  if (std::fabs(clicks) > limit) remainder = 0;
  return static_cast<int>(std::clamp(clicks, -limit, limit));
}

double finite(double v) { return std::isfinite(v) ? v : 0.0; }

}  // namespace

WheelAccumulator::Clicks WheelAccumulator::add(double dx, double dy, ScrollPhase phase) {
  if (phase == ScrollPhase::began) remainderX_ = remainderY_ = 0;
  // Bounded before adding so that a huge delta cannot grow the remainder without limit.
  const double cap = (maxClicksPerEvent + 1) * pixelsPerClick;
  remainderX_ = std::clamp(remainderX_ + finite(dx), -cap, cap);
  remainderY_ = std::clamp(remainderY_ + finite(dy), -cap, cap);
  Clicks clicks{.up = takeClicks(remainderY_), .left = takeClicks(remainderX_)};
  if (phase == ScrollPhase::ended) remainderX_ = remainderY_ = 0;
  return clicks;
}

}  // namespace ombrel
