#pragma once

#include "OmbrelKit/input_event.h"

namespace ombrel {

// Turns the client's pixel scroll deltas into whole wheel clicks (X buttons 4 to 7), keeping
// the remainder between events so that a slow continuous scroll, whose every event is worth
// less than one click, still scrolls.
//
// Ratio: one click per 160/3 (about 53.3) pixels, the inverse of the 3/160 clicks per pixel
// GTK uses when it turns smooth scrolling back into wheel steps; one click scrolls about three
// lines in most toolkits, close to what the same gesture scrolls on the client.
//
// Signs follow the client: dy > 0 scrolls up (content moves down), dx > 0 scrolls left.
// A gesture's `began` drops any remainder of the previous gesture; its `ended` drops what is
// left after that event. Not thread-safe; the injector owns one.
class WheelAccumulator {
 public:
  static constexpr double pixelsPerClick = 160.0 / 3.0;
  // One event never turns into more clicks than this, however large its delta.
  static constexpr int maxClicksPerEvent = 60;

  struct Clicks {
    int up = 0;    // negative: down
    int left = 0;  // negative: right
    bool operator==(const Clicks&) const = default;
  };

  Clicks add(double dx, double dy, ScrollPhase phase);

 private:
  double remainderX_ = 0;
  double remainderY_ = 0;
};

}  // namespace ombrel
