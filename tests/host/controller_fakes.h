#pragma once

// Scriptable stand-ins for what the controller drives but does not own: live sessions (and the
// factory that makes them from admitted sockets), the relay client and the port mapper.

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Ombrel_Remote_Host/controller/live_session.h"
#include "Ombrel_Remote_Host/controller/reachability_clients.h"
#include "base/serial_queue.h"

namespace ombrel::test {

// A session whose facts the test sets. disconnect() closes the socket it holds and reports the
// end on the main queue, once, as a real session does after its connection closed.
class FakeLiveSession : public LiveSession {
 public:
  FakeLiveSession(std::shared_ptr<SerialQueue> main, std::string remoteIP,
                  CorvaneAccess::Token token)
      : main_(std::move(main)), remoteIP_(std::move(remoteIP)), token_(token) {
    static std::atomic<int> next{0};
    id_ = "fake-" + std::to_string(++next);
  }

  std::optional<asio::ip::tcp::socket> socket;
  std::atomic<bool> isAuthorized{false};
  std::atomic<bool> isLimited{false};
  std::atomic<bool> asked{false};
  std::atomic<bool> privacy{false};

  const std::string& id() const override { return id_; }
  const std::string& via() const override { return via_; }
  std::string remoteIP() const override { return remoteIP_; }
  CorvaneAccess::Token accessToken() const override { return token_; }
  std::optional<Bytes> peerPublicKey() const override {
    std::lock_guard lock(mutex_);
    return key_;
  }
  bool authorized() const override { return isAuthorized; }
  bool limited() const override { return isLimited; }
  bool pairRequested() const override { return asked; }
  bool privacyRequested() const override { return privacy; }
  std::string clientName() const override { return "Test Phone"; }
  std::optional<double> grantSeconds() const override {
    std::lock_guard lock(mutex_);
    return grant_;
  }
  void setGrantSeconds(std::optional<double> seconds) override {
    std::lock_guard lock(mutex_);
    grant_ = seconds;
  }

  void start(std::function<void()> ended) override {
    std::lock_guard lock(mutex_);
    started_ = true;
    ended_ = std::move(ended);
  }
  void disconnect() override {
    std::function<void()> ended;
    {
      std::lock_guard lock(mutex_);
      ++disconnects_;
      ended = std::move(ended_);
      ended_ = nullptr;
      if (socket) {
        std::error_code ignored;
        socket->close(ignored);
      }
    }
    if (ended) main_->post(std::move(ended));
  }
  void answerPairing(bool approved) override {
    std::lock_guard lock(mutex_);
    answers_.push_back(approved);
  }
  std::shared_ptr<HostSession> hostSession() const override { return nullptr; }

  void setPeerKey(std::optional<Bytes> key) {
    std::lock_guard lock(mutex_);
    key_ = std::move(key);
  }
  int disconnects() const {
    std::lock_guard lock(mutex_);
    return disconnects_;
  }
  bool started() const {
    std::lock_guard lock(mutex_);
    return started_;
  }
  std::vector<bool> answers() const {
    std::lock_guard lock(mutex_);
    return answers_;
  }

 private:
  std::shared_ptr<SerialQueue> main_;
  std::string id_;
  std::string via_ = "直連";
  std::string remoteIP_;
  CorvaneAccess::Token token_;
  mutable std::mutex mutex_;
  std::optional<Bytes> key_;
  std::optional<double> grant_;
  std::function<void()> ended_;
  bool started_ = false;
  int disconnects_ = 0;
  std::vector<bool> answers_;
};

// Makes FakeLiveSessions that keep their socket open; with `endAtOnce` each session ends as
// soon as it starts (its socket closes, the registry lets it go).
class FakeSessionFactory : public SessionFactory {
 public:
  explicit FakeSessionFactory(std::shared_ptr<SerialQueue> main) : main_(std::move(main)) {}

  std::atomic<bool> endAtOnce{false};
  // The gate whose token new sessions take (the controller's, set once it exists).
  std::atomic<CorvaneAccess*> access{nullptr};

  std::shared_ptr<LiveSession> make(HostSessionDelegate&, asio::ip::tcp::socket socket,
                                    std::optional<Bytes> preamble, std::string,
                                    std::string remoteIP) override {
    auto session = std::make_shared<FakeLiveSession>(main_, std::move(remoteIP), token());
    session->socket.emplace(std::move(socket));
    std::lock_guard lock(mutex_);
    made_.push_back(session);
    preambles_.push_back(std::move(preamble));
    if (endAtOnce) main_->post([session] { session->disconnect(); });
    return session;
  }
  std::shared_ptr<LiveSession> make(HostSessionDelegate&, std::shared_ptr<NVConnection>,
                                    std::string, std::string remoteIP, Bytes key) override {
    auto session = std::make_shared<FakeLiveSession>(main_, std::move(remoteIP), token());
    session->setPeerKey(std::move(key));
    std::lock_guard lock(mutex_);
    made_.push_back(session);
    return session;
  }
  void close(const std::shared_ptr<NVConnection>&) override { ++closed_; }

  std::vector<std::shared_ptr<FakeLiveSession>> made() const {
    std::lock_guard lock(mutex_);
    return made_;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return made_.size();
  }
  std::vector<std::optional<Bytes>> preambles() const {
    std::lock_guard lock(mutex_);
    return preambles_;
  }
  int closed() const { return closed_; }

 private:
  CorvaneAccess::Token token() const {
    auto* gate = access.load();
    return gate ? gate->token() : CorvaneAccess::Token{};
  }

  std::shared_ptr<SerialQueue> main_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<FakeLiveSession>> made_;
  std::vector<std::optional<Bytes>> preambles_;
  std::atomic<int> closed_{0};
};

class FakeRelayService : public RelayService {
 public:
  void configure(const std::string& address) override { configured.push_back(address); }
  std::vector<std::string> configured;
};

class FakePortMapping : public PortMappingService {
 public:
  struct Update {
    bool enabled;
    std::uint16_t port;
    bool operator==(const Update&) const = default;
  };
  void update(bool enabled, std::uint16_t port) override { updates.push_back({enabled, port}); }
  void networkChanged() override { ++networkChanges; }
  void shutdown() override { ++shutdowns; }

  std::vector<Update> updates;
  int networkChanges = 0;
  int shutdowns = 0;
};

}  // namespace ombrel::test
