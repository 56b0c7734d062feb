#pragma once

// The paired-device list as it sits in the host's settings file, for tests that plant one
// before the host starts or read back what it left.

#include <memory>
#include <optional>

#include "Ombrel_Remote_Host/settings/host_settings.h"
#include "base/bytes.h"

namespace ombrel::test {

// A fresh handle on the settings file, as the next start of the host would open it.
inline HostSettings storedHostSettings() {
  return HostSettings(
      std::make_shared<SettingsStore>(SettingsStore::fileFor(HostSettings::domain)));
}

// Writes a list (and optionally a seal) straight into the settings file.
inline void storeTrustedList(const Bytes& list, std::optional<Bytes> seal) {
  storedHostSettings().store().edit([&](SettingsStore::Values& values) {
    values["trustedClients"] = SettingsStore::bytesEntry(list);
    if (seal) {
      values["trustedClientsSeal"] = SettingsStore::bytesEntry(*seal);
    } else {
      values.erase("trustedClientsSeal");
    }
  });
}

}  // namespace ombrel::test
