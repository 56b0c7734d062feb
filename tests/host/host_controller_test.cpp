#include "Ombrel_Remote_Host/controller/host_controller.h"

#include <gtest/gtest.h>

#include "host/controller_fixture.h"

namespace ombrel {
namespace {

using test::ControllerFixture;

class HostControllerTest : public ControllerFixture {};

TEST_F(HostControllerTest, FirstStartTurnsEverythingOnButPortMapping) {
  startController();
  ASSERT_TRUE(waitForListener());
  onMain([&] {
    EXPECT_TRUE(controller->pairingEnabled());
    EXPECT_TRUE(controller->keepAwake());
    EXPECT_TRUE(controller->syncClipboard());
    EXPECT_TRUE(controller->receiveFiles());
    EXPECT_TRUE(controller->corvaneEnabled());
    EXPECT_TRUE(controller->remoteEnabled());
    EXPECT_FALSE(controller->portMappingConsented());
    EXPECT_FALSE(controller->supportMode());
    EXPECT_TRUE(controller->launchAtLogin());
    EXPECT_EQ(controller->launchAtLoginStatus(), "");
    EXPECT_TRUE(controller->lockedReceive());
    EXPECT_TRUE(controller->lockedSync());
    EXPECT_TRUE(controller->lockedPairingEnabled());
    EXPECT_EQ(controller->listenerStatus(),
              "等待連線（埠 " + std::to_string(controller->listenerPort()) + "）");
    EXPECT_EQ(controller->hostName(), "Test Host");
  });
  // The owner never decided about the login item: it is registered and the decision stored.
  EXPECT_EQ(loginItem->status(), LoginItemStatus::enabled);
  EXPECT_TRUE(HostSettings::open().hasLaunchAtLogin());
  // Keep-awake holds one idle-sleep assertion under its name.
  auto held = power->held();
  ASSERT_EQ(held.size(), 1u);
  EXPECT_EQ(held.begin()->second.type, PowerAssertionType::idleSystemSleep);
  EXPECT_EQ(held.begin()->second.name, "Ombrel Remote: stay reachable for remote access");
  // The listener's port is advertised with the host ID; the router is not asked to map it.
  const auto port = onMain([&] { return controller->listenerPort(); });
  EXPECT_EQ(advertiser->port(), port);
  EXPECT_EQ(advertiser->hostID(), controller->identity().hostID());
  ASSERT_FALSE(portMapper->updates.empty());
  EXPECT_EQ(onMain([&] { return portMapper->updates.back(); }),
            (test::FakePortMapping::Update{false, port}));
}

TEST_F(HostControllerTest, SwitchSetToItsValueStoresAndAppliesNothing) {
  startController();
  ASSERT_TRUE(waitForListener());
  const auto creates = power->createCount();
  const auto updates = onMain([&] { return portMapper->updates.size(); });
  const auto relayConfigs = onMain([&] { return relay->configured.size(); });
  onMain([&] {
    controller->setCorvaneEnabled(true);
    controller->setRemoteEnabled(true);
    controller->enableAllServices();
  });
  auto stored = HostSettings::open();
  EXPECT_FALSE(stored.store().contains(HostSettings::Key::corvaneEnabled));
  EXPECT_FALSE(stored.store().contains(HostSettings::Key::remoteEnabled));
  EXPECT_EQ(power->createCount(), creates);
  EXPECT_EQ(onMain([&] { return portMapper->updates.size(); }), updates);
  EXPECT_EQ(onMain([&] { return relay->configured.size(); }), relayConfigs);
}

TEST_F(HostControllerTest, BothSwitchesOffStopTheListenerAndOneRestartsIt) {
  // A free port for the listener to ask for by number.
  std::uint16_t wanted;
  {
    asio::ip::tcp::acceptor probe(clientContext, {asio::ip::tcp::v4(), 0});
    wanted = probe.local_endpoint().port();
  }
  startController(wanted);
  ASSERT_TRUE(waitForListener());
  EXPECT_EQ(onMain([&] { return controller->listenerPort(); }), wanted);
  EXPECT_TRUE(onMain([&] { return controller->awakeAssertionHeld(); }));

  // A LAN session survives the Corvane switch alone; a relayed one does not.
  auto lan = makeSession("192.168.1.20");
  auto relayed = makeSession("");
  onMain([&] {
    controller->accept(lan);
    controller->accept(relayed);
  });
  onMain([&] { controller->setCorvaneEnabled(false); });
  EXPECT_EQ(lan->disconnects(), 0);
  EXPECT_EQ(relayed->disconnects(), 1);
  onMain([&] {
    EXPECT_EQ(controller->relayStatus(), "Corvane 已關閉");
    EXPECT_NE(controller->listenerPort(), 0);
  });
  EXPECT_EQ(onMain([&] { return relay->configured.back(); }), "");

  onMain([&] { controller->setRemoteEnabled(false); });
  EXPECT_EQ(lan->disconnects(), 1);
  onMain([&] {
    EXPECT_EQ(controller->listenerStatus(), "Corvane 與 Remote 已關閉");
    EXPECT_EQ(controller->listenerPort(), 0);
    EXPECT_FALSE(controller->awakeAssertionHeld());
  });
  EXPECT_TRUE(power->held().empty());
  EXPECT_EQ(advertiser->status().state, BonjourState::stopped);
  // Nothing listens on the port any more.
  {
    asio::ip::tcp::socket socket(clientContext);
    std::error_code error;
    socket.connect({asio::ip::address_v4::loopback(), wanted}, error);
    EXPECT_TRUE(error);
  }
  EXPECT_TRUE(HostSettings::open().store().contains(HostSettings::Key::remoteEnabled));

  onMain([&] { controller->setRemoteEnabled(true); });
  ASSERT_TRUE(waitForListener());
  EXPECT_EQ(onMain([&] { return controller->listenerPort(); }), wanted);
  EXPECT_EQ(power->held().size(), 1u);
  EXPECT_EQ(advertiser->status().state, BonjourState::advertising);
  EXPECT_EQ(advertiser->port(), wanted);
}

TEST_F(HostControllerTest, KeepAwakeFollowsItsSettingAndTheSwitches) {
  startController();
  EXPECT_EQ(power->held().size(), 1u);
  onMain([&] { controller->setKeepAwake(false); });
  EXPECT_TRUE(power->held().empty());
  onMain([&] { controller->setKeepAwake(true); });
  EXPECT_EQ(power->held().size(), 1u);
  EXPECT_FALSE(HostSettings::open().store().boolValue(HostSettings::Key::keepAwake) == false);

  // Without power management the owner is told why.
  onMain([&] { controller->setKeepAwake(false); });
  power->setAvailable(false);
  onMain([&] { controller->setKeepAwake(true); });
  EXPECT_EQ(onMain([&] { return controller->keepAwakeStatus(); }), power->status());
  power->setAvailable(true);
  onMain([&] { controller->setKeepAwake(false); });
  EXPECT_EQ(onMain([&] { return controller->keepAwakeStatus(); }), "");
}

TEST_F(HostControllerTest, MirrorsFollowTheirSettings) {
  startController();
  onMain([&] {
    controller->setReceiveFiles(false);
    controller->setSyncClipboard(false);
    controller->setPairingEnabled(false);
    controller->setSupportMode(true);
  });
  EXPECT_FALSE(controller->lockedReceive());
  EXPECT_FALSE(controller->lockedSync());
  EXPECT_FALSE(controller->lockedPairingEnabled());
  EXPECT_TRUE(controller->lockedSupportMode());
  auto stored = HostSettings::open();
  EXPECT_FALSE(stored.receiveFiles());
  EXPECT_FALSE(stored.syncClipboard());
  EXPECT_FALSE(stored.pairingEnabled());
  EXPECT_TRUE(stored.supportMode());
}

TEST_F(HostControllerTest, RelayListIsHandedOverOnlyWhenItChanges) {
  startController();
  onMain([&] {
    ASSERT_EQ(relay->configured.size(), 1u);
    controller->setRelayAddress("relay.example.net:47900, 10.0.0.9");
    ASSERT_EQ(relay->configured.size(), 2u);
    EXPECT_EQ(relay->configured.back(), "relay.example.net:47900,10.0.0.9");
    controller->setRelayAddress("relay.example.net:47900 10.0.0.9");
    EXPECT_EQ(relay->configured.size(), 2u);
    controller->setRelayAddress("off");
    EXPECT_EQ(relay->configured.back(), "");
    EXPECT_EQ(controller->relayStatus(), "未設定（僅區域網路可連）");
  });
  // The relay's own reports take over while Corvane is on, and are masked while it is off.
  relay->onStatus("中繼已連線");
  EXPECT_TRUE(waitFor([&] { return controller->relayStatus() == "中繼已連線"; }));
  onMain([&] { controller->setCorvaneEnabled(false); });
  relay->onStatus("中繼已連線");
  onMain([] {});
  EXPECT_EQ(onMain([&] { return controller->relayStatus(); }), "Corvane 已關閉");
}

TEST_F(HostControllerTest, PortMappingNeedsConsentAndBothSwitches) {
  startController();
  ASSERT_TRUE(waitForListener());
  const auto port = onMain([&] { return controller->listenerPort(); });
  onMain([&] { controller->setPortMappingConsented(true); });
  EXPECT_EQ(onMain([&] { return portMapper->updates.back(); }),
            (test::FakePortMapping::Update{true, port}));
  onMain([&] { controller->setCorvaneEnabled(false); });
  EXPECT_EQ(onMain([&] { return portMapper->updates.back(); }),
            (test::FakePortMapping::Update{false, port}));
}

TEST_F(HostControllerTest, LoginItemFailureShowsTheReasonAndStoresNothing) {
  loginItem->setFailure("磁碟唯讀");
  startController();
  onMain([&] {
    EXPECT_FALSE(controller->launchAtLogin());
    EXPECT_EQ(controller->launchAtLoginStatus(), "登入時自動開啟設定失敗：磁碟唯讀");
  });
  EXPECT_FALSE(HostSettings::open().hasLaunchAtLogin());

  loginItem->setFailure(std::nullopt);
  onMain([&] { controller->setLaunchAtLogin(true); });
  onMain([&] {
    EXPECT_TRUE(controller->launchAtLogin());
    EXPECT_EQ(controller->launchAtLoginStatus(), "");
  });
  onMain([&] { controller->setLaunchAtLogin(false); });
  EXPECT_EQ(loginItem->status(), LoginItemStatus::notRegistered);
  EXPECT_EQ(HostSettings::open().store().boolValue(HostSettings::Key::launchAtLogin), false);
}

TEST_F(HostControllerTest, OwnerWhoDecidedIsNotOverruledAtStart) {
  HostSettings::open().setLaunchAtLogin(false);
  startController();
  EXPECT_EQ(loginItem->changeCount(), 0);
  EXPECT_FALSE(onMain([&] { return controller->launchAtLogin(); }));
}

TEST_F(HostControllerTest, ScreenPermissionStaysOnceCaptureWorked) {
  permissions = {true, true};
  startController();
  onMain([&] {
    EXPECT_TRUE(controller->screenPermission());
    EXPECT_TRUE(controller->accessibilityPermission());
  });
  {
    std::lock_guard lock(interfacesMutex);
    permissions = {false, false};
  }
  clock->advance(HostController::permissionsInterval);
  onMain([&] {
    EXPECT_TRUE(controller->screenPermission());
    EXPECT_FALSE(controller->accessibilityPermission());
  });
}

TEST_F(HostControllerTest, AddressesAreRefreshedWithPermissions) {
  {
    std::lock_guard lock(interfacesMutex);
    interfaces = std::vector<InterfaceAddress>{
        {"eth0", "100.64.3.4", false},
        {"eth0", "192.168.1.20", false},
        {"eth0", "fe80::1%eth0", true},
        {"eth0", "2001:db8::5", true},
    };
  }
  startController();
  ASSERT_TRUE(waitForListener());
  const auto port = std::to_string(onMain([&] { return controller->listenerPort(); }));
  EXPECT_EQ(onMain([&] { return controller->localAddresses(); }),
            (std::vector<std::string>{"100.64.3.4", "192.168.1.20"}));
  EXPECT_EQ(controller->lockedAddresses(),
            (std::vector<std::string>{"192.168.1.20:" + port, "100.64.3.4:" + port,
                                      "[2001:db8::5]:" + port}));

  // A router mapping is advertised last.
  portMapper->onChange({PortMappingStatus::State::mapped, "203.0.113.7:" + port, "已對應"});
  EXPECT_TRUE(waitFor([&] { return controller->lockedAddresses().size() == 4; }));
  EXPECT_EQ(controller->lockedAddresses().back(), "203.0.113.7:" + port);

  // A new LAN address tells the port mapper that the network changed.
  {
    std::lock_guard lock(interfacesMutex);
    interfaces->push_back({"wlan0", "192.168.7.9", false});
  }
  clock->advance(HostController::permissionsInterval);
  onMain([&] {
    EXPECT_EQ(portMapper->networkChanges, 1);
    EXPECT_EQ(controller->localAddresses().size(), 3u);
  });

  // An unreadable interface list changes nothing.
  {
    std::lock_guard lock(interfacesMutex);
    interfaces.reset();
  }
  const auto before = controller->lockedAddresses();
  clock->advance(HostController::permissionsInterval);
  EXPECT_EQ(controller->lockedAddresses(), before);

  // Without a listener port nothing is advertised, mapping or not.
  onMain([&] {
    controller->setCorvaneEnabled(false);
    controller->setRemoteEnabled(false);
  });
  {
    std::lock_guard lock(interfacesMutex);
    interfaces = std::vector<InterfaceAddress>{{"eth0", "192.168.1.20", false}};
  }
  onMain([&] { controller->refreshAddresses(); });
  EXPECT_TRUE(controller->lockedAddresses().empty());
}

TEST_F(HostControllerTest, BonjourTroubleIsShownWhileTheListenerServes) {
  startController();
  ASSERT_TRUE(waitForListener());
  advertiser->setState(BonjourState::noDaemon);
  EXPECT_TRUE(waitFor([&] { return controller->bonjourStatus().state == BonjourState::noDaemon; }));
  onMain([&] {
    EXPECT_EQ(controller->bonjourStatus().text, bonjourStatusText(BonjourState::noDaemon));
    EXPECT_NE(controller->listenerPort(), 0);
  });
  auto client = connectClient();
  EXPECT_TRUE(waitFor([&] { return factory->count() == 1; }));
}

TEST_F(HostControllerTest, GrantsExpireOnTheOneSecondTimer) {
  startController();
  const Bytes key(32, 7);
  onMain([&] { controller->trust(key, "Helper", 5.0); });
  EXPECT_TRUE(controller->isTrusted(key));
  EXPECT_TRUE(controller->isLimited(key));
  EXPECT_EQ(onMain([&] { return controller->trustedClients().size(); }), 1u);
  clock->advance(6.0);
  EXPECT_FALSE(controller->isTrusted(key));
  onMain([&] {
    EXPECT_TRUE(controller->trustedClients().empty());
    ASSERT_TRUE(controller->lastEvent());
    EXPECT_EQ(*controller->lastEvent(), "已收回「Helper」的遠端操作權限");
  });
}

}  // namespace
}  // namespace ombrel
