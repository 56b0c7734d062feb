#pragma once

// The keys of the hosts this client has paired with, one per host ID, so a later connection to
// the same host ID (or the same address) that presents a different key is refused instead of
// trusted: whoever answers there is not the host the owner paired with.
//
// Stored as JSON in "$XDG_CONFIG_HOME/Ombrel Remote Client/pins.json" (~/.config when unset):
//   {"hosts":[{"hostID":"0001 2345 6789","publicKey":"<base64>","address":"host:port"}]}
// IDs saved in the legacy form are upgraded when the file is read.
//
// Threading: not thread-safe; the client uses it from one queue.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace ombrel {

class HostPins {
 public:
  struct Pin {
    std::string hostID;
    Bytes publicKey;
    std::string address;
  };
  enum class Verdict { unknown, matches, mismatch };

  explicit HostPins(std::filesystem::path file = defaultPath());
  static std::filesystem::path defaultPath();

  // Judges `publicKey` met at `address`, when the user expected `hostID` (may be empty):
  // a pin for that host ID, or else for that address, must hold the same key.
  Verdict check(const std::string& hostID, const std::string& address, ByteView publicKey) const;
  // Pins `publicKey` under its host ID, remembering where it was met. Saves at once.
  void pin(ByteView publicKey, const std::string& address);

  const std::vector<Pin>& pins() const { return pins_; }

 private:
  void save() const;

  std::filesystem::path file_;
  std::vector<Pin> pins_;
};

}  // namespace ombrel
