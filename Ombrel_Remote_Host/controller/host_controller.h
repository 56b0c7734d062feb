#pragma once

// The one application-wide controller of the host: identity, persisted settings and their side
// effects, the reachability services (relay, port mapping, the access gate, keep-awake),
// permissions and the login item, and the wiring between its parts:
//   `ListenerSupervisor`   the listener with its retry rule and the Bonjour advertisement;
//   `LiveSessionRegistry`  the live sessions with intake on every path and their deadlines;
//   `PairingDesk`          pending pairings, the owner's answers, trusted clients and grants.
// What happens when a session ends (the assistance lock, privacy) is decided here.
//
// Published state (the getters marked "main queue") is what the owner's views show. Every
// change of a published field calls the observers with the field, on the main queue, after the
// value changed. A handful of settings are mirrored under the controller lock for sessions on
// their connection queues; no other lock is ever taken while it is held (the trusted-client
// store and the pairing backoff have their own).
//
// Listener (started when services are applied with either switch on): see `ListenerSupervisor`;
// with both switches off it is gone: "Corvane 與 Remote 已關閉", port 0. The port it gets is
// advertised over Bonjour and mapped on the router.
//
// Threading: `create` may be called from any thread and runs the construction on the main
// queue. Everything else runs on the main queue unless it says "any thread". Timers, listener
// and session callbacks hold the controller (or the part they belong to) weakly. Call
// `shutdown()` before the last reference goes.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CorvaneKit/corvane_access.h"
#include "OmbrelKit/device_identity.h"
#include "Ombrel_Remote_Host/controller/address_list.h"
#include "Ombrel_Remote_Host/controller/desktop_permissions.h"
#include "Ombrel_Remote_Host/controller/listener_supervisor.h"
#include "Ombrel_Remote_Host/controller/live_session.h"
#include "Ombrel_Remote_Host/controller/live_session_registry.h"
#include "Ombrel_Remote_Host/controller/pairing_desk.h"
#include "Ombrel_Remote_Host/controller/reachability_clients.h"
#include "Ombrel_Remote_Host/platform/bonjour_advertiser.h"
#include "Ombrel_Remote_Host/platform/login_item.h"
#include "Ombrel_Remote_Host/platform/power_manager.h"
#include "Ombrel_Remote_Host/platform/screen_lock.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "Ombrel_Remote_Host/session/host_session_delegate.h"
#include "Ombrel_Remote_Host/session/session_rules.h"
#include "Ombrel_Remote_Host/settings/host_settings.h"
#include "Ombrel_Remote_Host/trust/trusted_client_store.h"
#include "base/runtime.h"
#include "base/timer.h"

namespace ombrel {

// The published fields, as observers hear of them.
enum class HostField {
  pendingPairings,
  receiveFiles,
  syncClipboard,
  listenerStatus,
  listenerPort,
  sessions,
  trustedClients,
  screenPermission,
  accessibilityPermission,
  localAddresses,
  relayStatus,
  lastEvent,
  privacyActive,
  supportMode,
  pairingEnabled,
  keepAwake,
  keepAwakeStatus,
  portMappingConsented,
  portMappingStatus,
  relayAddress,
  corvaneEnabled,
  remoteEnabled,
  launchAtLogin,
  launchAtLoginStatus,
  bonjourStatus,
};

class HostController final : public HostSessionDelegate,
                             public std::enable_shared_from_this<HostController> {
 public:
  static constexpr double permissionsInterval = 3.0;
  static constexpr double grantExpiryInterval = PairingDesk::grantExpiryInterval;
  static constexpr double listenerRetryDelay = ListenerSupervisor::retryDelay;
  static constexpr int listenerRetries = ListenerSupervisor::retries;
  static constexpr double handshakeDeadline = LiveSessionRegistry::handshakeDeadline;
  static constexpr double pairRequestDeadline = LiveSessionRegistry::pairRequestDeadline;
  static constexpr double approvalTimeout = PairingDesk::approvalTimeout;
  // An ordinary approval becomes the session's default grant unless marked as own device.
  static constexpr double defaultGrantSeconds = PairingDesk::defaultGrantSeconds;

  struct Dependencies {
    // Required: the runtime whose main queue the controller lives on (it must outlive the
    // controller), and the desktop services.
    Runtime* runtime = nullptr;
    std::shared_ptr<PowerManager> power;
    std::shared_ptr<ScreenLock> screenLock;
    std::shared_ptr<LoginItem> loginItem;
    // Made with the controller's host name (`machineHostName()`) as the service name.
    std::shared_ptr<BonjourAdvertiser> advertiser;
    // Turns admitted streams into sessions; without one every connection is refused.
    std::shared_ptr<SessionFactory> sessions;
    // Optional: without them nothing is relayed or mapped.
    std::shared_ptr<RelayService> relay;
    std::shared_ptr<PortMappingService> portMapper;
    // The privacy screen; called on the main queue whenever the wanted state is recomputed.
    std::function<void(bool on)> setPrivacyScreen;
    // The displays a client may stream; empty when absent.
    std::function<std::vector<DisplayInfo>()> displays;
    InterfaceWalk interfaces = systemInterfaces;
    std::function<DesktopPermissions()> permissions = probeDesktopPermissions;
    // Defaults: HostSettings::open() (which runs the legacy migration), the identity of
    // account "host", the machine's host name, port 47800. A program that shows the host ID
    // before the controller exists passes the identity it loaded: a second load could give a
    // different temporary identity from the one shown.
    std::optional<HostSettings> settings;
    std::optional<DeviceIdentity> identity;
    std::optional<std::string> hostName;
    std::uint16_t listenerPort = 47800;
    // The relay setting for this run only (`ombrel-host --relay`); it is not stored.
    std::optional<std::string> relayAddress;
  };

  using PendingPairing = ombrel::PendingPairing;

  static std::shared_ptr<HostController> create(Dependencies dependencies);
  ~HostController() override;

  // The machine's host name, or "電腦" when it has none.
  static std::string machineHostName();

  // Stops the timers, the listener and the advertisement, closes every session and removes the
  // router mapping. Any thread; waits for the main queue.
  void shutdown();

  // ---- observers (main queue) ----
  using Observer = std::function<void(HostField)>;
  int observe(Observer observer);
  void unobserve(int token);

  // ---- published state (main queue) ----
  const std::vector<PendingPairing>& pendingPairings() const { return desk_->pending(); }
  bool receiveFiles() const { return receiveFiles_; }
  bool syncClipboard() const { return syncClipboard_; }
  const std::string& listenerStatus() const { return listener_->status(); }
  std::uint16_t listenerPort() const { return listener_->port(); }
  const std::vector<std::shared_ptr<LiveSession>>& sessions() const {
    return registry_->sessions();
  }
  const std::vector<TrustedClient>& trustedClients() const { return trustedClients_; }
  bool screenPermission() const { return screenPermission_; }
  bool accessibilityPermission() const { return accessibilityPermission_; }
  const std::vector<std::string>& localAddresses() const { return localAddresses_; }
  const std::string& relayStatus() const { return relayStatus_; }
  const std::optional<std::string>& lastEvent() const { return lastEvent_; }
  bool privacyActive() const { return privacyActive_; }
  bool supportMode() const { return supportMode_; }
  bool pairingEnabled() const { return pairingEnabled_; }
  bool keepAwake() const { return keepAwake_; }
  // Empty while keep-awake works (or is not wanted); else what is missing.
  const std::string& keepAwakeStatus() const { return keepAwakeStatus_; }
  bool portMappingConsented() const { return portMappingConsented_; }
  const PortMappingStatus& portMappingStatus() const { return portMappingStatus_; }
  const std::string& relayAddress() const { return relayAddress_; }
  bool corvaneEnabled() const { return corvaneEnabled_; }
  bool remoteEnabled() const { return remoteEnabled_; }
  bool launchAtLogin() const { return launchAtLogin_; }
  const std::string& launchAtLoginStatus() const { return launchAtLoginStatus_; }
  const BonjourStatus& bonjourStatus() const { return listener_->bonjourStatus(); }
  // Empty while the identity is the one kept in its key file; else that this run's host ID is
  // temporary. Fixed for the controller's life; any thread.
  std::string identityStatus() const {
    return identity_.isTemporary() ? std::string(temporaryIdentityStatus) : std::string();
  }
  static constexpr std::string_view temporaryIdentityStatus =
      "無法使用身分金鑰檔：這次以臨時身分執行，主機 ID 會改變，配對的裝置不會保存";
  bool awakeAssertionHeld() const { return awakeAssertion_ != 0; }
  // The listener attempt on the requested port (0 for the first), and whether a retry waits.
  int listenerAttempt() const { return listener_->attempt(); }
  bool listenerRetryPending() const { return listener_->retryPending(); }

  // ---- settings (main queue) ----
  void setReceiveFiles(bool value);
  void setSyncClipboard(bool value);
  void setPairingEnabled(bool value);
  void setSupportMode(bool value);
  void setKeepAwake(bool value);
  void setPortMappingConsented(bool value);
  void setCorvaneEnabled(bool value);
  void setRemoteEnabled(bool value);
  void setRelayAddress(const std::string& value);
  void enableAllServices();
  void setLaunchAtLogin(bool enable);
  void refreshPermissions();
  void refreshAddresses();

  // ---- trusted clients and grants (main queue) ----
  void revoke(const TrustedClient& client);
  void extendGrants(double seconds);
  void makeGrantsPermanent();
  void expireGrants(bool all);

  // ---- pairing (main queue) ----
  void requestApproval(const std::shared_ptr<LiveSession>& session, std::string code);
  void answer(const std::shared_ptr<LiveSession>& session, bool approved, bool ownDevice);
  // Called when a notable pairing needs the owner (instead of a sound and window activation).
  std::function<void()> onNeedsAttention;

  // ---- intake (main queue) ----
  // Registers a session made for an admitted stream, when the gate allows its path with the
  // gate's current token (else it is closed), starts it and arms its deadlines.
  void accept(std::shared_ptr<LiveSession> session);
  // A data connection from the relay client, with the relay's preamble.
  void acceptRelayed(asio::ip::tcp::socket socket, Bytes preamble);
  // A data channel a session negotiated; the peer must present `expectedPeerKey`.
  void acceptICE(std::shared_ptr<NVConnection> conn, Bytes expectedPeerKey,
                 CorvaneAccess::Token token);

  // ---- HostSessionDelegate (any thread) ----
  const DeviceIdentity& identity() const override { return identity_; }
  std::string hostName() const override { return hostName_; }
  SerialQueue& mainQueue() override { return *mainQueue_; }
  CorvaneAccess& access() override { return access_; }
  PowerManager& powerManager() override { return *power_; }
  bool isTrusted(ByteView publicKey) const override;
  bool isLimited(ByteView publicKey) const override;
  bool lockedReceive() const override;
  bool lockedSync() const override;
  bool lockedPairingEnabled() const override;
  bool lockedSupportMode() const;
  std::optional<std::string> lockedMappedAddress() const;
  bool icePreviewEnabled() const override;
  std::vector<std::string> lockedAddresses() const override;
  bool pairingBackoff() override;
  std::vector<DisplayInfo> displays() override;

  // ---- HostSessionDelegate (main queue) ----
  std::optional<Refusal> pairingConflict() override;
  void requestApproval(std::shared_ptr<HostSession> session, std::string code) override;
  void trust(ByteView publicKey, std::string name, std::optional<double> seconds) override;
  void sessionsChanged() override;
  void recomputePrivacy() override;
  void captureWorked() override;

  // Ends every live session whose peer proved `publicKey`. Any thread.
  void closeSessions(ByteView publicKey);

 private:
  explicit HostController(Dependencies dependencies);
  void construct();
  void publish(HostField field);

  // Services.
  void applyServices();
  void configureRelay();
  void updatePortMapping();
  void applyKeepAwake();
  void refreshLoginItem();
  void portMappingChanged(const PortMappingStatus& status);

  // The end of a session: while it is still listed, then after it left.
  void sessionEnding(const std::shared_ptr<LiveSession>& session);
  void sessionEnded(const std::shared_ptr<LiveSession>& session);

  template <typename T>
  void assign(T& field, T value, HostField which) {
    if (field == value) return;
    field = std::move(value);
    publish(which);
  }
  // The published value first, then its mirror under the lock.
  void setMirrored(bool& field, bool& mirror, bool value, HostField which) {
    assign(field, value, which);
    std::lock_guard lock(lock_);
    mirror = value;
  }
  template <typename T>
  T readLocked(const T& mirror) const {
    std::lock_guard lock(lock_);
    return mirror;
  }

  // Collaborators.
  Runtime& runtime_;
  const std::shared_ptr<SerialQueue> mainQueue_;
  Dependencies deps_;
  std::shared_ptr<PowerManager> power_;
  HostSettings settings_;
  const DeviceIdentity identity_;
  const std::string hostName_;
  CorvaneAccess access_;

  // The parts (main queue); made in `construct`.
  std::shared_ptr<ListenerSupervisor> listener_;
  std::shared_ptr<LiveSessionRegistry> registry_;
  std::shared_ptr<PairingDesk> desk_;

  // Published state (main queue).
  bool receiveFiles_ = true;
  bool syncClipboard_ = true;
  std::vector<TrustedClient> trustedClients_;
  bool screenPermission_ = false;
  bool accessibilityPermission_ = false;
  std::vector<std::string> localAddresses_;
  std::string relayStatus_ = "未設定";
  std::optional<std::string> lastEvent_;
  bool privacyActive_ = false;
  bool supportMode_ = false;
  bool pairingEnabled_ = true;
  bool keepAwake_ = true;
  std::string keepAwakeStatus_;
  bool portMappingConsented_ = false;
  PortMappingStatus portMappingStatus_;
  std::string relayAddress_;
  bool corvaneEnabled_ = true;
  bool remoteEnabled_ = true;
  bool launchAtLogin_ = false;
  std::string launchAtLoginStatus_;

  // Main-queue state.
  std::uint32_t awakeAssertion_ = 0;
  std::optional<std::string> configuredRelay_;
  LocalAddresses local_;
  bool captureWorked_ = false;
  std::vector<std::shared_ptr<Timer>> timers_;
  std::map<int, Observer> observers_;
  int nextObserver_ = 1;
  bool shutDown_ = false;

  // Guarded by lock_: mirrors that sessions read from their queues.
  mutable std::mutex lock_;
  bool lockedReceive_ = true;
  bool lockedSync_ = true;
  bool lockedPairingEnabled_ = true;
  bool lockedSupportMode_ = false;
  std::optional<std::string> lockedMappedAddress_;
  std::vector<std::string> lockedAddresses_;
};

}  // namespace ombrel
