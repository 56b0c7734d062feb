#pragma once

// Tells a client when its route has been slow long enough to look for another: three
// consecutive round-trip samples of 1,500 ms or more. Offered to clients; the host does not
// use it. A plain value owned by one caller.

namespace ombrel {

class RouteQuality {
 public:
  // Records one round-trip time; returns true from the third consecutive slow sample on.
  // Samples that are negative or not finite are ignored (false, count unchanged).
  bool observe(double rttMs);
  int slowSamples() const { return slowSamples_; }

 private:
  int slowSamples_ = 0;
};

}  // namespace ombrel
