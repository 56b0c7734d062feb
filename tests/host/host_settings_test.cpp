#include "Ombrel_Remote_Host/settings/host_settings.h"

#include <gtest/gtest.h>

#include "support/temp_home.h"

namespace ombrel {
namespace {

using Key = HostSettings::Key;
using Json = SettingsStore::Value;

class HostSettingsTest : public ::testing::Test {
 protected:
  std::shared_ptr<SettingsStore> storeWith(const SettingsStore::Values& values) {
    auto store = std::make_shared<SettingsStore>(SettingsStore::fileFor(HostSettings::domain));
    store->edit([&](SettingsStore::Values& stored) { stored = values; });
    return store;
  }

  test::TempHome home_;
  std::filesystem::path legacyFile_ = SettingsStore::fileFor(HostSettings::legacyDomain);
};

TEST_F(HostSettingsTest, FirstStartDefaults) {
  HostSettings settings = HostSettings::open();
  EXPECT_TRUE(settings.receiveFiles());
  EXPECT_TRUE(settings.syncClipboard());
  EXPECT_TRUE(settings.pairingEnabled());
  EXPECT_TRUE(settings.keepAwake());
  EXPECT_TRUE(settings.corvaneEnabled());
  EXPECT_TRUE(settings.remoteEnabled());
  EXPECT_FALSE(settings.supportMode());
  EXPECT_FALSE(settings.portMappingConsented());
  EXPECT_FALSE(settings.corvaneICEPreviewEnabled());
  EXPECT_EQ(settings.relayAddress(), "");
  EXPECT_FALSE(settings.hasLaunchAtLogin());
  EXPECT_EQ(settings.trustedClients(), std::nullopt);
  EXPECT_EQ(settings.trustedClientsSeal(), std::nullopt);
  // No old suite on disk is an empty one: the migration is done and not tried again.
  EXPECT_TRUE(settings.migratedFromNeroValde());
  EXPECT_EQ(settings.store().file(),
            home_.configHome() / "Ombrel Remote" / "com.tamsovern.ombrel.host.json");
}

// Each reader against a stored Boolean of the opposite of its default and a wrong-typed value.
TEST_F(HostSettingsTest, ReadingRules) {
  struct Case {
    std::string_view key;
    bool (HostSettings::*read)() const;
    bool defaultValue;
  };
  const Case cases[] = {
      {Key::receiveFiles, &HostSettings::receiveFiles, true},
      {Key::syncClipboard, &HostSettings::syncClipboard, true},
      {Key::pairingEnabled, &HostSettings::pairingEnabled, true},
      {Key::keepAwake, &HostSettings::keepAwake, true},
      {Key::corvaneEnabled, &HostSettings::corvaneEnabled, true},
      {Key::remoteEnabled, &HostSettings::remoteEnabled, true},
      {Key::supportMode, &HostSettings::supportMode, false},
      {Key::portMappingConsented, &HostSettings::portMappingConsented, false},
      {Key::corvaneICEPreviewEnabled, &HostSettings::corvaneICEPreviewEnabled, false},
      {Key::migratedFromNeroValde, &HostSettings::migratedFromNeroValde, false},
  };
  const Json wrongTyped[] = {Json("false"), Json("true"), Json(0), Json(1),
                             SettingsStore::bytesEntry(Bytes{1})};
  for (const Case& c : cases) {
    HostSettings stored(storeWith({{std::string(c.key), !c.defaultValue}}));
    EXPECT_EQ((stored.*c.read)(), !c.defaultValue) << c.key;
    for (const Json& wrong : wrongTyped) {
      HostSettings settings(storeWith({{std::string(c.key), wrong}}));
      EXPECT_EQ((settings.*c.read)(), c.defaultValue) << c.key << " = " << wrong.dump();
    }
  }

  EXPECT_EQ(HostSettings(storeWith({{"relayAddress", true}})).relayAddress(), "");
  EXPECT_EQ(HostSettings(storeWith({{"relayAddress", "r.example:1"}})).relayAddress(),
            "r.example:1");
  EXPECT_EQ(HostSettings(storeWith({{"trustedClients", "AAAA"}})).trustedClients(), std::nullopt);
  // Any stored value means the owner decided about the login item.
  EXPECT_TRUE(HostSettings(storeWith({{"launchAtLogin", "no"}})).hasLaunchAtLogin());
}

TEST_F(HostSettingsTest, SettersPersist) {
  {
    HostSettings settings = HostSettings::open();
    settings.setReceiveFiles(false);
    settings.setSyncClipboard(false);
    settings.setPairingEnabled(false);
    settings.setSupportMode(true);
    settings.setKeepAwake(false);
    settings.setPortMappingConsented(true);
    settings.setCorvaneEnabled(false);
    settings.setRemoteEnabled(false);
    settings.setRelayAddress("relay.example");
    settings.setLaunchAtLogin(false);
    settings.setTrustedClients(toBytes("[]"), Bytes{9, 9});
  }
  HostSettings settings = HostSettings::open();
  EXPECT_FALSE(settings.receiveFiles());
  EXPECT_FALSE(settings.syncClipboard());
  EXPECT_FALSE(settings.pairingEnabled());
  EXPECT_TRUE(settings.supportMode());
  EXPECT_FALSE(settings.keepAwake());
  EXPECT_TRUE(settings.portMappingConsented());
  EXPECT_FALSE(settings.corvaneEnabled());
  EXPECT_FALSE(settings.remoteEnabled());
  EXPECT_EQ(settings.relayAddress(), "relay.example");
  EXPECT_TRUE(settings.hasLaunchAtLogin());
  EXPECT_EQ(settings.trustedClients(), toBytes("[]"));
  EXPECT_EQ(settings.trustedClientsSeal(), (Bytes{9, 9}));
}

TEST_F(HostSettingsTest, MigrationCopiesOnlyMissingKeysOnce) {
  const Bytes oldList = toBytes(R"([{"name":"old"}])");
  const Bytes oldSeal(32, 0xab);
  {
    SettingsStore legacy(legacyFile_);
    legacy.edit([&](SettingsStore::Values& values) {
      values["trustedClients"] = SettingsStore::bytesEntry(oldList);
      values["trustedClientsSeal"] = SettingsStore::bytesEntry(oldSeal);
      values["relayAddress"] = "old.relay";
      values["keepAwake"] = false;
      values["syncClipboard"] = false;
      values["receiveFiles"] = false;
      values["pairingEnabled"] = "odd";  // copied unchanged, and still reads as its default
      // Not one of the migrated keys:
      values["remoteEnabled"] = false;
      values["supportMode"] = true;
    });
  }
  // Already decided in the new domain: kept.
  storeWith({{"relayAddress", "new.relay"}, {"keepAwake", true}});

  HostSettings settings = HostSettings::open();
  EXPECT_TRUE(settings.migratedFromNeroValde());
  EXPECT_EQ(settings.relayAddress(), "new.relay");
  EXPECT_TRUE(settings.keepAwake());
  EXPECT_EQ(settings.trustedClients(), oldList);
  EXPECT_EQ(settings.trustedClientsSeal(), oldSeal);
  EXPECT_FALSE(settings.syncClipboard());
  EXPECT_FALSE(settings.receiveFiles());
  EXPECT_EQ(settings.store().value("pairingEnabled"), Json("odd"));
  EXPECT_TRUE(settings.pairingEnabled());
  EXPECT_FALSE(settings.store().contains("portMappingConsented"));  // the old suite had none
  EXPECT_TRUE(settings.remoteEnabled());
  EXPECT_FALSE(settings.supportMode());

  // Once marked, later changes to the old suite are never picked up, even for missing keys.
  SettingsStore(legacyFile_).setBool("portMappingConsented", true);
  settings.store().remove("syncClipboard");
  HostSettings again = HostSettings::open();
  EXPECT_FALSE(again.store().contains("portMappingConsented"));
  EXPECT_FALSE(again.store().contains("syncClipboard"));
}

TEST_F(HostSettingsTest, UnreadableOldSuiteIsRetriedAtNextStart) {
  std::filesystem::create_directories(legacyFile_);  // exists, but cannot be read
  EXPECT_FALSE(HostSettings::open().migratedFromNeroValde());

  std::filesystem::remove(legacyFile_);
  SettingsStore(legacyFile_).setString("relayAddress", "old.relay");
  HostSettings settings = HostSettings::open();
  EXPECT_TRUE(settings.migratedFromNeroValde());
  EXPECT_EQ(settings.relayAddress(), "old.relay");
}

}  // namespace
}  // namespace ombrel
