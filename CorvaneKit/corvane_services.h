#pragma once

// The owner's two reachability switches as one value.

#include "CorvaneKit/corvane_path.h"

namespace ombrel {

struct CorvaneServices {
  bool linkEnabled = true;    // the Corvane service: relay, router port mapping, ICE
  bool remoteEnabled = true;  // remote access as such

  bool needsListener() const { return linkEnabled || remoteEnabled; }
  bool registersRelay() const { return linkEnabled; }
  // With both switches on every path is allowed; with remote access alone only a LAN path
  // that is not relayed; with remote access off none.
  bool allowsRemote(Corvane::Path path, bool relayed) const;
  void enableAll() { linkEnabled = remoteEnabled = true; }

  bool operator==(const CorvaneServices&) const = default;
};

}  // namespace ombrel
