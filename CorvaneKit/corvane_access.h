#pragma once

// The reachability access gate: which connection paths may carry sessions under the owner's
// two switches, and whether a session admitted earlier is still covered by them.
//
// A session takes a Token when it is created and presents it on every check. Each switch change
// advances its own counter, so every token taken before it stops covering the paths that depend
// on that switch, even after the switch is turned back: a LAN path depends on remote access
// alone, a relayed or non-LAN path on both switches. The counters only grow.
//
// Threading: every operation holds the gate's mutex for its whole duration; callable from any
// thread.

#include <cstdint>
#include <mutex>

#include "CorvaneKit/corvane_path.h"
#include "CorvaneKit/corvane_services.h"

namespace ombrel {

class CorvaneAccess {
 public:
  struct Token {
    std::int64_t remote = 0;
    std::int64_t external = 0;

    bool operator==(const Token&) const = default;
  };

  explicit CorvaneAccess(CorvaneServices services = {});

  CorvaneAccess(const CorvaneAccess&) = delete;
  CorvaneAccess& operator=(const CorvaneAccess&) = delete;

  CorvaneServices services() const;
  Token token() const;
  void update(CorvaneServices services);
  bool allows(Token token, Corvane::Path path, bool relayed) const;

 private:
  mutable std::mutex lock_;
  CorvaneServices services_;
  std::int64_t remote_ = 0;
  std::int64_t external_ = 0;
};

}  // namespace ombrel
