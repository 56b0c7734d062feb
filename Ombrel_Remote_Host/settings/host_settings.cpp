#include "Ombrel_Remote_Host/settings/host_settings.h"

namespace ombrel {

HostSettings HostSettings::open() {
  auto store = std::make_shared<SettingsStore>(SettingsStore::fileFor(domain));
  migrateLegacy(*store, SettingsStore::fileFor(legacyDomain));
  return HostSettings(std::move(store));
}

HostSettings::HostSettings(std::shared_ptr<SettingsStore> store) : store_(std::move(store)) {}

bool HostSettings::migrateLegacy(SettingsStore& current, const std::filesystem::path& legacyFile) {
  if (current.boolValue(Key::migratedFromNeroValde).value_or(false)) return false;
  auto legacy = SettingsStore::openExisting(legacyFile);
  if (!legacy) return false;
  const SettingsStore::Values old = legacy->values();
  current.edit([&](SettingsStore::Values& values) {
    for (std::string_view key : migratedKeys) {
      if (values.find(key) != values.end()) continue;
      if (auto it = old.find(key); it != old.end()) values.emplace(std::string(key), it->second);
    }
    values.insert_or_assign(std::string(Key::migratedFromNeroValde), true);
  });
  return true;
}

bool HostSettings::onByDefault(std::string_view key) const {
  return store_->boolValue(key).value_or(true);
}

bool HostSettings::offByDefault(std::string_view key) const {
  return store_->boolValue(key).value_or(false);
}

bool HostSettings::receiveFiles() const { return onByDefault(Key::receiveFiles); }
bool HostSettings::syncClipboard() const { return onByDefault(Key::syncClipboard); }
bool HostSettings::pairingEnabled() const { return onByDefault(Key::pairingEnabled); }
bool HostSettings::supportMode() const { return offByDefault(Key::supportMode); }
bool HostSettings::keepAwake() const { return onByDefault(Key::keepAwake); }
bool HostSettings::portMappingConsented() const { return offByDefault(Key::portMappingConsented); }
bool HostSettings::corvaneEnabled() const { return onByDefault(Key::corvaneEnabled); }
bool HostSettings::remoteEnabled() const { return onByDefault(Key::remoteEnabled); }
std::string HostSettings::relayAddress() const {
  return store_->stringValue(Key::relayAddress).value_or("");
}
bool HostSettings::hasLaunchAtLogin() const { return store_->contains(Key::launchAtLogin); }
bool HostSettings::corvaneICEPreviewEnabled() const {
  return offByDefault(Key::corvaneICEPreviewEnabled);
}
bool HostSettings::migratedFromNeroValde() const {
  return offByDefault(Key::migratedFromNeroValde);
}
std::optional<Bytes> HostSettings::trustedClients() const {
  return store_->bytesValue(Key::trustedClients);
}
std::optional<Bytes> HostSettings::trustedClientsSeal() const {
  return store_->bytesValue(Key::trustedClientsSeal);
}

void HostSettings::setReceiveFiles(bool value) { store_->setBool(Key::receiveFiles, value); }
void HostSettings::setSyncClipboard(bool value) { store_->setBool(Key::syncClipboard, value); }
void HostSettings::setPairingEnabled(bool value) { store_->setBool(Key::pairingEnabled, value); }
void HostSettings::setSupportMode(bool value) { store_->setBool(Key::supportMode, value); }
void HostSettings::setKeepAwake(bool value) { store_->setBool(Key::keepAwake, value); }
void HostSettings::setPortMappingConsented(bool value) {
  store_->setBool(Key::portMappingConsented, value);
}
void HostSettings::setCorvaneEnabled(bool value) { store_->setBool(Key::corvaneEnabled, value); }
void HostSettings::setRemoteEnabled(bool value) { store_->setBool(Key::remoteEnabled, value); }
void HostSettings::setRelayAddress(std::string_view value) {
  store_->setString(Key::relayAddress, value);
}
void HostSettings::setLaunchAtLogin(bool value) { store_->setBool(Key::launchAtLogin, value); }

void HostSettings::setTrustedClients(ByteView list, ByteView seal) {
  store_->edit([&](SettingsStore::Values& values) {
    values.insert_or_assign(std::string(Key::trustedClients), SettingsStore::bytesEntry(list));
    values.insert_or_assign(std::string(Key::trustedClientsSeal), SettingsStore::bytesEntry(seal));
  });
}

}  // namespace ombrel
