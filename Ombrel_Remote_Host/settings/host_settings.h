#pragma once

// The host's persisted settings: the keys of its settings domain, their defaults and reading
// rules, and the one-time migration from the domain of the product's former name.
//
// Reading rules: the switches that are on by default read as the stored value when it is a
// Boolean and as true otherwise; "supportMode", "portMappingConsented",
// "corvaneICEPreviewEnabled" and "migratedFromNeroValde" read false unless a Boolean true is
// stored; "relayAddress" reads empty unless a string is stored. A value of the wrong type thus
// reads as its default.
//
// Threading: a thin view over a SettingsStore; safe from any thread.

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "Ombrel_Remote_Host/settings/settings_store.h"
#include "base/bytes.h"

namespace ombrel {

class HostSettings {
 public:
  static constexpr std::string_view domain = "com.tamsovern.ombrel.host";
  static constexpr std::string_view legacyDomain = "com.tamsovern.nerovalde.host";

  struct Key {
    static constexpr std::string_view receiveFiles = "receiveFiles";
    static constexpr std::string_view syncClipboard = "syncClipboard";
    static constexpr std::string_view pairingEnabled = "pairingEnabled";
    static constexpr std::string_view supportMode = "supportMode";
    static constexpr std::string_view keepAwake = "keepAwake";
    static constexpr std::string_view portMappingConsented = "portMappingConsented";
    static constexpr std::string_view corvaneEnabled = "corvaneEnabled";
    static constexpr std::string_view remoteEnabled = "remoteEnabled";
    static constexpr std::string_view relayAddress = "relayAddress";
    static constexpr std::string_view launchAtLogin = "launchAtLogin";
    static constexpr std::string_view trustedClients = "trustedClients";
    static constexpr std::string_view trustedClientsSeal = "trustedClientsSeal";
    static constexpr std::string_view corvaneICEPreviewEnabled = "corvaneICEPreviewEnabled";
    static constexpr std::string_view migratedFromNeroValde = "migratedFromNeroValde";
  };

  // The keys the migration carries over, in the order it copies them.
  static constexpr std::string_view migratedKeys[] = {
      Key::trustedClients, Key::trustedClientsSeal, Key::relayAddress,   Key::keepAwake,
      Key::syncClipboard,  Key::receiveFiles,       Key::pairingEnabled, Key::portMappingConsented,
  };

  // The host's settings handle: opens the domain's file under the configuration home and runs
  // the legacy migration first.
  static HostSettings open();
  // A view over `store` as it is (no migration).
  explicit HostSettings(std::shared_ptr<SettingsStore> store);

  // Copies each migrated key that `current` lacks and the legacy file holds, unchanged, then
  // marks the migration done; nothing when already marked. When the legacy file exists but
  // cannot be read, stops without marking so the next start tries again. Returns whether the
  // migration ran to its end now.
  static bool migrateLegacy(SettingsStore& current, const std::filesystem::path& legacyFile);

  bool receiveFiles() const;
  bool syncClipboard() const;
  bool pairingEnabled() const;
  bool supportMode() const;
  bool keepAwake() const;
  bool portMappingConsented() const;
  bool corvaneEnabled() const;
  bool remoteEnabled() const;
  std::string relayAddress() const;
  // Whether the owner ever decided about the login item (any stored value counts).
  bool hasLaunchAtLogin() const;
  bool corvaneICEPreviewEnabled() const;
  bool migratedFromNeroValde() const;
  std::optional<Bytes> trustedClients() const;
  std::optional<Bytes> trustedClientsSeal() const;

  void setReceiveFiles(bool value);
  void setSyncClipboard(bool value);
  void setPairingEnabled(bool value);
  void setSupportMode(bool value);
  void setKeepAwake(bool value);
  void setPortMappingConsented(bool value);
  void setCorvaneEnabled(bool value);
  void setRemoteEnabled(bool value);
  void setRelayAddress(std::string_view value);
  void setLaunchAtLogin(bool value);
  // The list and its seal go to disk in one write, so a crash can never leave a list beside a
  // seal that does not match it (which a sealed host would treat as tampering).
  void setTrustedClients(ByteView list, ByteView seal);

  SettingsStore& store() const { return *store_; }

 private:
  bool onByDefault(std::string_view key) const;
  bool offByDefault(std::string_view key) const;

  std::shared_ptr<SettingsStore> store_;
};

}  // namespace ombrel
