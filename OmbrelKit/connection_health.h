#pragma once

// Stall detection for a link that expects regular answers: it is stalled when no response
// arrived for `timeout` seconds while running. Offered to clients; the host does not use it.
//
// A plain value owned by one caller; times are seconds on the caller's clock. Samples that are
// not finite numbers are ignored.
//
// States: stopped -> running (start) -> stopped (stop).

#include <optional>

namespace ombrel {

class ConnectionHealth {
 public:
  // `timeout` must be positive; anything else is a programming error (std::invalid_argument).
  explicit ConnectionHealth(double timeout);

  void start(double at);
  // Moves the last response forward (never back); ignored while stopped.
  void acknowledge(double at);
  void stop() { lastResponse_.reset(); }
  bool isStalled(double now) const;

  double timeout() const { return timeout_; }
  std::optional<double> lastResponse() const { return lastResponse_; }

 private:
  double timeout_;
  std::optional<double> lastResponse_;
};

}  // namespace ombrel
