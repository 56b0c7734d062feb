#pragma once

// The list of paired devices, persisted in the settings together with a seal (an HMAC made with
// the host's identity key) so that a list edited outside the application is detected.
//
// Loading (in the constructor): a list that does not decode starts empty; a list whose seal is
// missing or wrong is discarded, with a log line, once the host has ever sealed (the sealed
// marker of the identity's key file); before that it is accepted, as written by a version
// without seals. The list is then saved once, which rewrites the seal and sets the marker.
//
// On a temporary identity (its key file could not be read or written) the stored list is left
// exactly as it is for the real identity to find again: it is not trusted (its seal cannot be
// checked), never rewritten or resealed, and the marker is never set. Pairings of such a run
// live in memory only.
//
// Grants: an entry with `expiresAt` is trusted only while its expiry is later than now;
// `expireGrants` removes elapsed ones (the controller's one-second timer) and ends their
// sessions.
//
// Threading: the list, its key index and `lastEvent` sit behind one mutex, so every operation
// is safe from any thread; `isTrusted` and `isLimited` are what connection queues call.
// Changes are meant to come from the main thread. Callbacks (`onChange`, `onEvent`, the session
// registry) are called after the mutex is released, on the thread that made the change. Set the
// callbacks and the registry before the store is shared.

#include <algorithm>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OmbrelKit/device_identity.h"
#include "Ombrel_Remote_Host/settings/host_settings.h"
#include "Ombrel_Remote_Host/trust/session_registry.h"
#include "Ombrel_Remote_Host/trust/trusted_client.h"
#include "base/clock.h"

namespace ombrel {

class TrustedClientStore {
 public:
  static constexpr std::string_view sealPurpose = "trusted-list-v1";
  static constexpr std::string_view tamperedLogLine =
      "Ombrel Remote: paired-device list was changed outside the app; removing all paired devices";
  static constexpr std::string_view temporaryIdentityLogLine =
      "Ombrel Remote: temporary identity; the stored paired-device list is not used or changed";

  // Loads the list from `settings` and saves it once (see above). `identity` and `clock` (whose
  // calendar time dates the entries) must outlive the store; `account` names the identity's
  // key file, whose sealed marker is used.
  TrustedClientStore(HostSettings settings, const DeviceIdentity& identity, const Clock& clock,
                     std::string account = "host");

  TrustedClientStore(const TrustedClientStore&) = delete;
  TrustedClientStore& operator=(const TrustedClientStore&) = delete;

  // Where revoked devices' live sessions are ended; may stay unset (no sessions yet).
  void setSessionRegistry(SessionRegistry* sessions);
  // The list after every save.
  std::function<void(const std::vector<TrustedClient>&)> onChange;
  // A new `lastEvent` text.
  std::function<void(const std::string&)> onEvent;

  std::vector<TrustedClient> clients() const;
  // The key is listed and either permanent or its grant has not reached its end.
  bool isTrusted(ByteView publicKey) const;
  // The key is listed with an expiry, whether or not it has passed.
  bool isLimited(ByteView publicKey) const;
  // Replaces every entry of the key by one added now, expiring `seconds` from now when given.
  void trust(ByteView publicKey, std::string name, std::optional<double> seconds);
  // Removes every entry of the client's key, saves, then ends the key's live sessions.
  void revoke(const TrustedClient& client);
  // Running grants (expiry later than now), soonest end first.
  std::vector<TrustedClient> limitedGrants() const;
  // Revokes every grant whose end has come (or every grant at all when `all`), in list order,
  // and reports each as "已收回「<name>」的遠端操作權限".
  void expireGrants(bool all);
  // Moves the end of every running grant `seconds` later; elapsed ones are left alone.
  void extendGrants(double seconds);
  // Makes every running grant permanent.
  void makeGrantsPermanent();
  void saveTrusted();
  std::optional<std::string> lastEvent() const;

 private:
  double now() const { return ReferenceDate::fromUnix(clock_.wallSeconds()); }
  void load();
  void saveLocked();
  void saveAndPublish(std::unique_lock<std::mutex>& lock);

  HostSettings settings_;
  const DeviceIdentity& identity_;
  const Clock& clock_;
  const std::string account_;
  SessionRegistry* sessions_ = nullptr;

  mutable std::mutex mutex_;
  std::vector<TrustedClient> clients_;
  struct KeyLess {
    using is_transparent = void;
    bool operator()(ByteView a, ByteView b) const {
      return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
    }
  };
  // Public key to expiry, rebuilt from `clients_` on every save.
  std::map<Bytes, std::optional<double>, KeyLess> trustedKeys_;
  std::optional<std::string> lastEvent_;
};

}  // namespace ombrel
