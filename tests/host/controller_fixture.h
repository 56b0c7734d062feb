#pragma once

// A HostController on a ManualClock runtime, in a throw-away home, with fake desktop services,
// a fake session factory and an injectable interface list. Real sockets on loopback carry the
// intake tests.

#include <gtest/gtest.h>

#include <poll.h>
#include <asio/connect.hpp>
#include <asio/ip/tcp.hpp>

#include <chrono>
#include <memory>
#include <mutex>

#include "Ombrel_Remote_Host/controller/host_controller.h"
#include "Ombrel_Remote_Host/platform/fake/fake_bonjour_advertiser.h"
#include "Ombrel_Remote_Host/platform/fake/fake_login_item.h"
#include "Ombrel_Remote_Host/platform/fake/fake_power_manager.h"
#include "Ombrel_Remote_Host/platform/fake/fake_screen_lock.h"
#include "host/controller_fakes.h"
#include "host/manual_runtime.h"
#include "support/mailbox.h"
#include "support/temp_home.h"

namespace ombrel::test {

class ControllerFixture : public ManualRuntimeTest {
 protected:
  ControllerFixture() : ManualRuntimeTest(3) {
    factory = std::make_shared<FakeSessionFactory>(runtime->mainQueue());
  }

  ~ControllerFixture() override {
    if (controller) {
      controller->shutdown();
      onMain([&] { controller->unobserve(observer); });
    }
    controller.reset();
    // Sessions hold sockets of the runtime's io_context: they go before it does.
    factory.reset();
    runtime.reset();
  }

  // Builds the controller; `port` 0 asks the listener for any free port.
  void startController(std::uint16_t port = 0) {
    HostController::Dependencies deps;
    deps.runtime = runtime.get();
    deps.power = power;
    deps.screenLock = screenLock;
    deps.loginItem = loginItem;
    deps.advertiser = advertiser;
    deps.sessions = factory;
    deps.relay = relay;
    deps.portMapper = portMapper;
    deps.listenerPort = port;
    deps.hostName = "Test Host";
    deps.interfaces = [this]() -> std::optional<std::vector<InterfaceAddress>> {
      std::lock_guard lock(interfacesMutex);
      return interfaces;
    };
    deps.permissions = [this] {
      std::lock_guard lock(interfacesMutex);
      return permissions;
    };
    deps.setPrivacyScreen = [this](bool on) { privacyCalls.push_back(on); };
    controller = HostController::create(std::move(deps));
    factory->access = &controller->access();
    onMain([&] { observer = controller->observe([this](HostField f) { changes.put(f); }); });
  }

  // Waits until `predicate` (run on the main queue) holds, woken by every published change.
  template <typename P>
  bool waitFor(P predicate, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (onMain(predicate)) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      changes.take(std::min(left, std::chrono::milliseconds(50)));
    }
  }

  bool waitForListener() {
    return waitFor([&] { return controller->listenerPort() != 0; });
  }

  // A client connection to the controller's listener on 127.0.0.1.
  asio::ip::tcp::socket connectClient() {
    const std::uint16_t port = onMain([&] { return controller->listenerPort(); });
    asio::ip::tcp::socket socket(clientContext);
    socket.connect({asio::ip::address_v4::loopback(), port});
    return socket;
  }

  // True when the host closed the connection within the limit.
  static bool closedByHost(asio::ip::tcp::socket& socket,
                           std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    pollfd entry{socket.native_handle(), POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(limit.count())) <= 0) return false;
    char byte;
    std::error_code error;
    const auto n = socket.read_some(asio::buffer(&byte, 1), error);
    return n == 0 && error;
  }

  std::shared_ptr<FakeLiveSession> makeSession(std::string remoteIP) {
    auto session =
        std::make_shared<FakeLiveSession>(runtime->mainQueue(), std::move(remoteIP),
                                          onMain([&] { return controller->access().token(); }));
    return session;
  }

  TempHome home;
  std::shared_ptr<FakePowerManager> power = std::make_shared<FakePowerManager>();
  std::shared_ptr<FakeScreenLock> screenLock = std::make_shared<FakeScreenLock>();
  std::shared_ptr<FakeLoginItem> loginItem = std::make_shared<FakeLoginItem>();
  std::shared_ptr<FakeBonjourAdvertiser> advertiser = std::make_shared<FakeBonjourAdvertiser>();
  std::shared_ptr<FakeRelayService> relay = std::make_shared<FakeRelayService>();
  std::shared_ptr<FakePortMapping> portMapper = std::make_shared<FakePortMapping>();
  std::shared_ptr<FakeSessionFactory> factory;
  std::mutex interfacesMutex;
  std::optional<std::vector<InterfaceAddress>> interfaces = std::vector<InterfaceAddress>{};
  DesktopPermissions permissions;
  std::vector<bool> privacyCalls;  // main queue
  Mailbox<HostField> changes;
  int observer = 0;
  asio::io_context clientContext;
  std::shared_ptr<HostController> controller;
};

}  // namespace ombrel::test
