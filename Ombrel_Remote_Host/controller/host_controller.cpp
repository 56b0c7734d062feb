#include "Ombrel_Remote_Host/controller/host_controller.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <stdexcept>

#include "OmbrelKit/nv_protocol.h"
#include "base/log.h"

namespace ombrel {

namespace {

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
  std::string result;
  for (const auto& part : parts) {
    if (!result.empty()) result += separator;
    result += part;
  }
  return result;
}

}  // namespace

// ---- construction ------------------------------------------------------------------------

HostController::HostController(Dependencies dependencies)
    : runtime_(*dependencies.runtime),
      mainQueue_(dependencies.runtime->mainQueue()),
      deps_(std::move(dependencies)),
      power_(deps_.power),
      settings_(deps_.settings ? std::move(*deps_.settings) : HostSettings::open()),
      identity_(deps_.identity ? std::move(*deps_.identity) : DeviceIdentity::loadOrCreate("host")),
      hostName_(deps_.hostName ? *deps_.hostName : machineHostName()) {
  deps_.settings.reset();
  deps_.identity.reset();
  // Published state, read in the order the settings are listed.
  receiveFiles_ = settings_.receiveFiles();
  pairingEnabled_ = settings_.pairingEnabled();
  portMappingConsented_ = settings_.portMappingConsented();
  corvaneEnabled_ = settings_.corvaneEnabled();
  remoteEnabled_ = settings_.remoteEnabled();
  relayAddress_ = deps_.relayAddress ? *deps_.relayAddress : settings_.relayAddress();
  supportMode_ = settings_.supportMode();
  keepAwake_ = settings_.keepAwake();
  syncClipboard_ = settings_.syncClipboard();
  lockedReceive_ = receiveFiles_;
  lockedSync_ = syncClipboard_;
  lockedSupportMode_ = supportMode_;
  lockedPairingEnabled_ = pairingEnabled_;
}

HostController::~HostController() = default;

std::shared_ptr<HostController> HostController::create(Dependencies dependencies) {
  if (!dependencies.runtime || !dependencies.power || !dependencies.screenLock ||
      !dependencies.loginItem || !dependencies.advertiser) {
    throw std::invalid_argument("HostController needs a runtime and its desktop services");
  }
  auto queue = dependencies.runtime->mainQueue();
  return queue->sync([&] {
    auto controller = std::shared_ptr<HostController>(new HostController(std::move(dependencies)));
    controller->construct();
    return controller;
  });
}

std::string HostController::machineHostName() {
  std::array<char, 256> name{};
  if (gethostname(name.data(), name.size() - 1) != 0 || name[0] == '\0') return "電腦";
  return name.data();
}

void HostController::construct() {
  mainQueue_->assertCurrent();
  std::weak_ptr<HostController> weak = weak_from_this();
  // Callbacks of collaborators arrive on their own threads; they touch state on the main queue.
  // Collaborators may outlive the controller and its runtime: their callbacks hold the main
  // queue weakly, so they never keep a queue past the io_context it runs on.
  auto onMain = [weak, weakQueue = std::weak_ptr<SerialQueue>(mainQueue_)](auto work) {
    auto queue = weakQueue.lock();
    if (!queue) return;
    auto run = [weak, work = std::move(work)]() mutable {
      if (auto self = weak.lock(); self && !self->shutDown_) work(*self);
    };
    if (queue->isCurrent()) {
      run();
    } else {
      queue->post(std::move(run));
    }
  };

  desk_ = std::make_shared<PairingDesk>(
      mainQueue_, std::make_unique<TrustedClientStore>(settings_, identity_, runtime_.clock()));
  registry_ = std::make_shared<LiveSessionRegistry>(mainQueue_, *this, access_, deps_.sessions);
  listener_ = ListenerSupervisor::create(runtime_, deps_.advertiser, identity_.hostID(),
                                         deps_.listenerPort);

  // The parts report on the main queue, synchronously.
  auto tell = [weak](auto work) {
    return [weak, work](auto&&... args) {
      if (auto self = weak.lock()) work(*self, std::forward<decltype(args)>(args)...);
    };
  };
  auto publishing = [tell](HostField field) {
    return tell([field](HostController& self) { self.publish(field); });
  };
  listener_->onStatus = publishing(HostField::listenerStatus);
  listener_->onPort = publishing(HostField::listenerPort);
  listener_->onBonjourStatus = publishing(HostField::bonjourStatus);
  listener_->onReach = tell([](HostController& self) {
    self.updatePortMapping();
    self.refreshAddresses();
  });
  listener_->onConnection =
      tell([](HostController& self, asio::ip::tcp::socket socket, std::string remoteIP) {
        self.registry_->acceptDirect(std::move(socket), std::move(remoteIP));
      });
  registry_->onChange = publishing(HostField::sessions);
  registry_->onEnding = tell([](HostController& self, const std::shared_ptr<LiveSession>& session) {
    self.sessionEnding(session);
  });
  registry_->onEnded = tell([](HostController& self, const std::shared_ptr<LiveSession>& session) {
    self.sessionEnded(session);
  });
  desk_->onPendingChange = publishing(HostField::pendingPairings);
  desk_->onNeedsAttention = tell([](HostController& self) {
    if (self.onNeedsAttention) self.onNeedsAttention();
  });

  TrustedClientStore& trusted = desk_->trusted();
  trusted.setSessionRegistry(registry_.get());
  trusted.onChange = [onMain](const std::vector<TrustedClient>& clients) {
    onMain([clients](HostController& self) {
      self.assign(self.trustedClients_, clients, HostField::trustedClients);
    });
  };
  trusted.onEvent = [onMain](const std::string& text) {
    onMain([text](HostController& self) {
      self.assign(self.lastEvent_, std::optional<std::string>(text), HostField::lastEvent);
    });
  };
  trustedClients_ = trusted.clients();

  if (deps_.relay) {
    deps_.relay->onStatus = [onMain](const std::string& text) {
      onMain([text](HostController& self) {
        self.assign(self.relayStatus_, self.corvaneEnabled_ ? text : std::string("Corvane 已關閉"),
                    HostField::relayStatus);
      });
    };
    deps_.relay->onIncoming = [onMain](asio::ip::tcp::socket socket, Bytes preamble) {
      auto shared = std::make_shared<asio::ip::tcp::socket>(std::move(socket));
      onMain([shared, preamble = std::move(preamble)](HostController& self) mutable {
        self.acceptRelayed(std::move(*shared), std::move(preamble));
      });
    };
  }
  if (deps_.portMapper) {
    deps_.portMapper->onChange = [onMain](const PortMappingStatus& status) {
      onMain([status](HostController& self) { self.portMappingChanged(status); });
    };
  }

  applyServices();
  refreshLoginItem();
  if (!settings_.hasLaunchAtLogin()) setLaunchAtLogin(true);
  refreshPermissions();
  refreshAddresses();

  timers_.push_back(mainQueue_->every(permissionsInterval, [weak] {
    if (auto self = weak.lock()) {
      self->refreshPermissions();
      self->refreshAddresses();
    }
  }));
  desk_->start();
}

void HostController::shutdown() {
  mainQueue_->sync([this] {
    if (shutDown_) return;
    for (auto& timer : timers_) timer->cancel();
    timers_.clear();
    desk_->stop();
    listener_->shutdown();
    registry_->closeAll();
    if (deps_.portMapper) deps_.portMapper->shutdown();
    if (awakeAssertion_ != 0) {
      power_->releaseAssertion(awakeAssertion_);
      awakeAssertion_ = 0;
    }
    shutDown_ = true;
  });
}

// ---- observers -----------------------------------------------------------------------------

int HostController::observe(Observer observer) {
  mainQueue_->assertCurrent();
  int token = nextObserver_++;
  observers_.emplace(token, std::move(observer));
  return token;
}

void HostController::unobserve(int token) {
  mainQueue_->assertCurrent();
  observers_.erase(token);
}

void HostController::publish(HostField field) {
  mainQueue_->assertCurrent();
  // An observer may unobserve (itself or another) while being told.
  auto current = observers_;
  for (auto& [token, observer] : current) {
    if (observers_.count(token)) observer(field);
  }
}

// ---- settings ------------------------------------------------------------------------------

void HostController::setReceiveFiles(bool value) {
  mainQueue_->assertCurrent();
  settings_.setReceiveFiles(value);
  setMirrored(receiveFiles_, lockedReceive_, value, HostField::receiveFiles);
}

void HostController::setSyncClipboard(bool value) {
  mainQueue_->assertCurrent();
  settings_.setSyncClipboard(value);
  setMirrored(syncClipboard_, lockedSync_, value, HostField::syncClipboard);
}

void HostController::setPairingEnabled(bool value) {
  mainQueue_->assertCurrent();
  settings_.setPairingEnabled(value);
  setMirrored(pairingEnabled_, lockedPairingEnabled_, value, HostField::pairingEnabled);
}

void HostController::setSupportMode(bool value) {
  mainQueue_->assertCurrent();
  settings_.setSupportMode(value);
  setMirrored(supportMode_, lockedSupportMode_, value, HostField::supportMode);
}

void HostController::setKeepAwake(bool value) {
  mainQueue_->assertCurrent();
  settings_.setKeepAwake(value);
  assign(keepAwake_, value, HostField::keepAwake);
  applyKeepAwake();
}

void HostController::setPortMappingConsented(bool value) {
  mainQueue_->assertCurrent();
  settings_.setPortMappingConsented(value);
  assign(portMappingConsented_, value, HostField::portMappingConsented);
  updatePortMapping();
}

void HostController::setCorvaneEnabled(bool value) {
  mainQueue_->assertCurrent();
  if (corvaneEnabled_ == value) return;
  settings_.setCorvaneEnabled(value);
  assign(corvaneEnabled_, value, HostField::corvaneEnabled);
  applyServices();
}

void HostController::setRemoteEnabled(bool value) {
  mainQueue_->assertCurrent();
  if (remoteEnabled_ == value) return;
  settings_.setRemoteEnabled(value);
  assign(remoteEnabled_, value, HostField::remoteEnabled);
  applyServices();
}

void HostController::setRelayAddress(const std::string& value) {
  mainQueue_->assertCurrent();
  settings_.setRelayAddress(value);
  assign(relayAddress_, value, HostField::relayAddress);
  configureRelay();
}

void HostController::enableAllServices() {
  mainQueue_->assertCurrent();
  setCorvaneEnabled(true);
  setRemoteEnabled(true);
}

bool HostController::lockedReceive() const { return readLocked(lockedReceive_); }

bool HostController::lockedSync() const { return readLocked(lockedSync_); }

bool HostController::lockedPairingEnabled() const { return readLocked(lockedPairingEnabled_); }

bool HostController::lockedSupportMode() const { return readLocked(lockedSupportMode_); }

std::optional<std::string> HostController::lockedMappedAddress() const {
  return readLocked(lockedMappedAddress_);
}

std::vector<std::string> HostController::lockedAddresses() const {
  return readLocked(lockedAddresses_);
}

bool HostController::icePreviewEnabled() const { return settings_.corvaneICEPreviewEnabled(); }

std::vector<DisplayInfo> HostController::displays() {
  return deps_.displays ? deps_.displays() : std::vector<DisplayInfo>{};
}

// ---- services ------------------------------------------------------------------------------

void HostController::applyServices() {
  mainQueue_->assertCurrent();
  access_.update(CorvaneServices{corvaneEnabled_, remoteEnabled_});
  registry_->closeRefused();
  if (!corvaneEnabled_ && !remoteEnabled_) {
    listener_->stopWith("Corvane 與 Remote 已關閉");
  } else {
    listener_->start();
  }
  configureRelay();
  updatePortMapping();
  applyKeepAwake();
  refreshAddresses();
}

void HostController::configureRelay() {
  mainQueue_->assertCurrent();
  const std::string wanted =
      corvaneEnabled_ ? joined(NVProtocol::relays(relayAddress_), ",") : std::string();
  // An unchanged list leaves the relay connection alone.
  if (!configuredRelay_ || *configuredRelay_ != wanted) {
    configuredRelay_ = wanted;
    if (deps_.relay) deps_.relay->configure(wanted);
  }
  if (!corvaneEnabled_) {
    assign(relayStatus_, std::string("Corvane 已關閉"), HostField::relayStatus);
  } else if (wanted.empty()) {
    assign(relayStatus_, std::string("未設定（僅區域網路可連）"), HostField::relayStatus);
  }
}

void HostController::updatePortMapping() {
  mainQueue_->assertCurrent();
  if (!deps_.portMapper) return;
  deps_.portMapper->update(portMappingConsented_ && corvaneEnabled_ && remoteEnabled_,
                           listener_->port());
}

void HostController::portMappingChanged(const PortMappingStatus& status) {
  mainQueue_->assertCurrent();
  assign(portMappingStatus_, status, HostField::portMappingStatus);
  {
    std::lock_guard lock(lock_);
    lockedMappedAddress_ = status.state == PortMappingStatus::State::mapped
                               ? status.externalAddress
                               : std::optional<std::string>();
  }
  refreshAddresses();
}

void HostController::applyKeepAwake() {
  mainQueue_->assertCurrent();
  const bool wanted = keepAwake_ && (corvaneEnabled_ || remoteEnabled_);
  if (wanted && awakeAssertion_ == 0) {
    awakeAssertion_ =
        power_->createAssertion(PowerAssertionType::idleSystemSleep, keepAwakeAssertionName);
    assign(keepAwakeStatus_, awakeAssertion_ != 0 ? std::string() : power_->status(),
           HostField::keepAwakeStatus);
  } else if (!wanted) {
    if (awakeAssertion_ != 0) {
      power_->releaseAssertion(awakeAssertion_);
      awakeAssertion_ = 0;
    }
    assign(keepAwakeStatus_, std::string(), HostField::keepAwakeStatus);
  }
}

// ---- login item ----------------------------------------------------------------------------

void HostController::refreshLoginItem() {
  mainQueue_->assertCurrent();
  // An XDG autostart entry needs no approval, so there is no note to show.
  assign(launchAtLogin_, deps_.loginItem->status() == LoginItemStatus::enabled,
         HostField::launchAtLogin);
  assign(launchAtLoginStatus_, std::string(), HostField::launchAtLoginStatus);
}

void HostController::setLaunchAtLogin(bool enable) {
  mainQueue_->assertCurrent();
  const LoginItemStatus status = deps_.loginItem->status();
  std::optional<std::string> failure;
  if (enable && status != LoginItemStatus::enabled) failure = deps_.loginItem->registerItem();
  if (!enable && status != LoginItemStatus::notRegistered) {
    failure = deps_.loginItem->unregisterItem();
  }
  if (!failure) settings_.setLaunchAtLogin(enable);
  refreshLoginItem();
  if (failure) assign(launchAtLoginStatus_, *failure, HostField::launchAtLoginStatus);
}

// ---- permissions and addresses -------------------------------------------------------------

void HostController::refreshPermissions() {
  mainQueue_->assertCurrent();
  if (screenPermission_) captureWorked_ = true;
  const DesktopPermissions probed = deps_.permissions ? deps_.permissions() : DesktopPermissions{};
  const bool screen = captureWorked_ || probed.screen;
  if (screen) captureWorked_ = true;
  assign(screenPermission_, screen, HostField::screenPermission);
  assign(accessibilityPermission_, probed.accessibility, HostField::accessibilityPermission);
}

void HostController::captureWorked() {
  mainQueue_->assertCurrent();
  captureWorked_ = true;
  assign(screenPermission_, true, HostField::screenPermission);
}

void HostController::refreshAddresses() {
  mainQueue_->assertCurrent();
  auto interfaces = deps_.interfaces ? deps_.interfaces() : std::nullopt;
  if (!interfaces) return;
  LocalAddresses local = selectAddresses(*interfaces);
  if (local.ipv4 != localAddresses_) {
    if (!localAddresses_.empty() && deps_.portMapper) deps_.portMapper->networkChanged();
    assign(localAddresses_, local.ipv4, HostField::localAddresses);
  }
  local_ = std::move(local);
  std::lock_guard lock(lock_);
  lockedAddresses_ = advertisedAddresses(local_, listener_->port(), lockedMappedAddress_);
}

// ---- trusted clients and grants ------------------------------------------------------------

bool HostController::isTrusted(ByteView publicKey) const { return desk_->isTrusted(publicKey); }

bool HostController::isLimited(ByteView publicKey) const { return desk_->isLimited(publicKey); }

void HostController::trust(ByteView publicKey, std::string name, std::optional<double> seconds) {
  desk_->trust(publicKey, std::move(name), seconds);
}

void HostController::revoke(const TrustedClient& client) { desk_->revoke(client); }

void HostController::extendGrants(double seconds) { desk_->extendGrants(seconds); }

void HostController::makeGrantsPermanent() { desk_->makeGrantsPermanent(); }

void HostController::expireGrants(bool all) { desk_->expireGrants(all); }

// ---- pairing -------------------------------------------------------------------------------

bool HostController::pairingBackoff() { return desk_->backoff(); }

std::optional<HostSessionDelegate::Refusal> HostController::pairingConflict() {
  return desk_->conflict(registry_->sessions());
}

void HostController::requestApproval(std::shared_ptr<HostSession> session, std::string code) {
  if (auto live = registry_->findSession(session)) desk_->requestApproval(live, std::move(code));
}

void HostController::requestApproval(const std::shared_ptr<LiveSession>& session,
                                     std::string code) {
  desk_->requestApproval(session, std::move(code));
}

void HostController::answer(const std::shared_ptr<LiveSession>& session, bool approved,
                            bool ownDevice) {
  desk_->answer(session, approved, ownDevice);
}

// ---- sessions ------------------------------------------------------------------------------

void HostController::accept(std::shared_ptr<LiveSession> session) {
  registry_->accept(std::move(session));
}

void HostController::acceptRelayed(asio::ip::tcp::socket socket, Bytes preamble) {
  registry_->acceptRelayed(std::move(socket), std::move(preamble));
}

void HostController::acceptICE(std::shared_ptr<NVConnection> conn, Bytes expectedPeerKey,
                               CorvaneAccess::Token token) {
  registry_->acceptICE(std::move(conn), std::move(expectedPeerKey), token);
}

void HostController::closeSessions(ByteView publicKey) { registry_->closeSessions(publicKey); }

void HostController::sessionEnding(const std::shared_ptr<LiveSession>& session) {
  mainQueue_->assertCurrent();
  if (!session->authorized() || !session->limited()) return;
  // Assistance ended: lock the screen unless the same device still holds the computer
  // legitimately (another live session of it, or its grant became permanent).
  const std::optional<Bytes> key = session->peerPublicKey();
  const bool stillTrusted = key && isTrusted(*key);
  const auto& live = registry_->sessions();
  const bool anotherLive = std::any_of(live.begin(), live.end(), [&](const auto& other) {
    return other->id() != session->id() && other->authorized() && other->peerPublicKey() == key;
  });
  const bool keepUnlocked = stillTrusted && (anotherLive || !isLimited(*key));
  if (!keepUnlocked && deps_.screenLock->lock() == ScreenLockMethod::none) {
    log::line("Ombrel Remote: could not lock the screen after assistance ended");
  }
}

void HostController::sessionEnded(const std::shared_ptr<LiveSession>& session) {
  mainQueue_->assertCurrent();
  desk_->forget(session);
  recomputePrivacy();
}

void HostController::sessionsChanged() {
  mainQueue_->assertCurrent();
  publish(HostField::sessions);
}

void HostController::recomputePrivacy() {
  mainQueue_->assertCurrent();
  const auto& live = registry_->sessions();
  const bool wanted = std::any_of(live.begin(), live.end(),
                                  [](const auto& session) { return session->privacyRequested(); });
  if (deps_.setPrivacyScreen) deps_.setPrivacyScreen(wanted);
  assign(privacyActive_, wanted, HostField::privacyActive);
}

}  // namespace ombrel
