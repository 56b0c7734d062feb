#include "Ombrel_Remote_Host/trust/trusted_client_store.h"

#include <openssl/crypto.h>

#include <cmath>

#include "base/log.h"

namespace ombrel {
namespace {

bool sameKey(ByteView a, ByteView b) { return std::ranges::equal(a, b); }

// Seals are compared in constant time: a tag that leaks how much of it matched could be
// guessed byte by byte.
bool sameSeal(ByteView a, ByteView b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace

TrustedClientStore::TrustedClientStore(HostSettings settings, const DeviceIdentity& identity,
                                       const Clock& clock, std::string account)
    : settings_(std::move(settings)),
      identity_(identity),
      clock_(clock),
      account_(std::move(account)) {
  load();
}

void TrustedClientStore::setSessionRegistry(SessionRegistry* sessions) { sessions_ = sessions; }

void TrustedClientStore::load() {
  std::vector<TrustedClient> loaded;
  if (auto stored = settings_.trustedClients()) {
    // Undecodable data starts an empty list; the save below overwrites it.
    loaded = NVJSON::tryDecode<std::vector<TrustedClient>>(*stored).value_or(
        std::vector<TrustedClient>{});
    const Bytes expected = identity_.seal(*stored, sealPurpose);
    const std::optional<Bytes> seal = settings_.trustedClientsSeal();
    if (!seal || !sameSeal(*seal, expected)) {
      if (identity_.isTemporary()) {
        // The list was sealed by the real key, or by nobody: neither can be told from tampering
        // without that key, so nothing on it is trusted while it is away.
        loaded.clear();
      } else if (DeviceIdentity::isSealed(account_)) {
        log::line(tamperedLogLine);
        loaded.clear();
      }
      // Never sealed: a list from before seals existed, accepted and sealed now.
    }
  }
  if (identity_.isTemporary()) log::line(temporaryIdentityLogLine);
  std::unique_lock lock(mutex_);
  clients_ = std::move(loaded);
  saveAndPublish(lock);
}

void TrustedClientStore::saveLocked() {
  trustedKeys_.clear();
  for (const TrustedClient& client : clients_) {
    // A repeated key (only in a list not written through `trust`) keeps its first expiry.
    trustedKeys_.emplace(client.publicKey, client.expiresAt);
  }
  // The stored list belongs to the real identity and comes back with it; a seal made with a
  // temporary key could never be checked again.
  if (identity_.isTemporary()) return;
  const Bytes list = NVJSON::encode(clients_);
  settings_.setTrustedClients(list, identity_.seal(list, sealPurpose));
  if (!DeviceIdentity::isSealed(account_)) DeviceIdentity::markSealed(account_, identity_);
}

void TrustedClientStore::saveAndPublish(std::unique_lock<std::mutex>& lock) {
  saveLocked();
  std::vector<TrustedClient> published = clients_;
  lock.unlock();
  if (onChange) onChange(published);
}

void TrustedClientStore::saveTrusted() {
  std::unique_lock lock(mutex_);
  saveAndPublish(lock);
}

std::vector<TrustedClient> TrustedClientStore::clients() const {
  std::lock_guard lock(mutex_);
  return clients_;
}

bool TrustedClientStore::isTrusted(ByteView publicKey) const {
  const double current = now();
  std::lock_guard lock(mutex_);
  auto it = trustedKeys_.find(publicKey);
  if (it == trustedKeys_.end()) return false;
  return !it->second || *it->second > current;
}

bool TrustedClientStore::isLimited(ByteView publicKey) const {
  std::lock_guard lock(mutex_);
  auto it = trustedKeys_.find(publicKey);
  return it != trustedKeys_.end() && it->second.has_value();
}

void TrustedClientStore::trust(ByteView publicKey, std::string name,
                               std::optional<double> seconds) {
  // A grant without a finite length would not survive encoding and would cost the whole list.
  if (seconds && !std::isfinite(*seconds)) return;
  const double current = now();
  std::unique_lock lock(mutex_);
  std::erase_if(clients_, [&](const TrustedClient& c) { return sameKey(c.publicKey, publicKey); });
  clients_.push_back(TrustedClient{
      .publicKey = Bytes(publicKey.begin(), publicKey.end()),
      .name = std::move(name),
      .addedAt = current,
      .expiresAt = seconds ? std::optional<double>(current + *seconds) : std::nullopt,
  });
  saveAndPublish(lock);
}

void TrustedClientStore::revoke(const TrustedClient& client) {
  const Bytes key = client.publicKey;  // `client` may be an element of the list itself
  {
    std::unique_lock lock(mutex_);
    std::erase_if(clients_, [&](const TrustedClient& c) { return sameKey(c.publicKey, key); });
    saveAndPublish(lock);
  }
  if (sessions_) sessions_->closeSessions(key);
}

std::vector<TrustedClient> TrustedClientStore::limitedGrants() const {
  const double current = now();
  std::vector<TrustedClient> grants;
  {
    std::lock_guard lock(mutex_);
    for (const TrustedClient& client : clients_) {
      if (client.expiresAt && *client.expiresAt > current) grants.push_back(client);
    }
  }
  std::ranges::stable_sort(grants, {}, [](const TrustedClient& c) { return *c.expiresAt; });
  return grants;
}

void TrustedClientStore::expireGrants(bool all) {
  const double current = now();
  std::vector<TrustedClient> expired;
  {
    std::lock_guard lock(mutex_);
    for (const TrustedClient& client : clients_) {
      if (client.expiresAt && (all || *client.expiresAt <= current)) expired.push_back(client);
    }
  }
  for (const TrustedClient& client : expired) {
    revoke(client);
    std::string text = "已收回「" + client.name + "」的遠端操作權限";
    {
      std::lock_guard lock(mutex_);
      lastEvent_ = text;
    }
    if (onEvent) onEvent(text);
  }
}

void TrustedClientStore::extendGrants(double seconds) {
  if (!std::isfinite(seconds)) return;
  const double current = now();
  std::unique_lock lock(mutex_);
  for (TrustedClient& client : clients_) {
    if (client.expiresAt && *client.expiresAt > current) *client.expiresAt += seconds;
  }
  saveAndPublish(lock);
}

void TrustedClientStore::makeGrantsPermanent() {
  const double current = now();
  std::unique_lock lock(mutex_);
  for (TrustedClient& client : clients_) {
    if (client.expiresAt && *client.expiresAt > current) client.expiresAt.reset();
  }
  saveAndPublish(lock);
}

std::optional<std::string> TrustedClientStore::lastEvent() const {
  std::lock_guard lock(mutex_);
  return lastEvent_;
}

}  // namespace ombrel
