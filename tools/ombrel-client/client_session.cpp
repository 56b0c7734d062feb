#include "client_session.h"

#include <iostream>
#include <nlohmann/json.hpp>

#include "OmbrelKit/nv_protocol.h"

namespace ombrel {

ClientSession::ClientSession(Options options, DeviceIdentity identity, HostPins& pins,
                             std::ostream& out, Runtime& runtime)
    : options_(std::move(options)),
      identity_(std::move(identity)),
      pins_(pins),
      out_(out),
      runtime_(runtime) {}

std::string ClientSession::address() const {
  // A relay's address is shared by every host behind it, so it identifies none of them.
  if (options_.viaRelay) return "relay " + DeviceIdentity::normalizeHostID(options_.expectedHostID);
  return options_.host + ":" + std::to_string(options_.port);
}

Bytes ClientSession::relayPreamble(const std::string& hostID) {
  auto line = nlohmann::json{{"role", "client"}, {"id", hostID}, {"v", 2}}.dump() + "\n";
  return Bytes(line.begin(), line.end());
}

void ClientSession::emit(const nlohmann::json& event) { out_ << event.dump() << std::endl; }

int ClientSession::run() {
  std::optional<Bytes> preamble;
  if (options_.viaRelay) preamble = relayPreamble(options_.expectedHostID);
  conn_ = NVConnection::create(TCPTransport::connect(options_.host, options_.port),
                               NVConnection::Role::client, identity_, preamble, runtime_);
  std::weak_ptr<ClientSession> weak = weak_from_this();
  conn_->onReady = [weak] {
    if (auto self = weak.lock()) self->ready();
  };
  conn_->onMessage = [weak](MessageType type, Bytes body) {
    if (auto self = weak.lock()) self->handle(type, body);
  };
  conn_->onClose = [weak](std::optional<NVError> error) {
    auto self = weak.lock();
    if (!self) return;
    if (self->modeBegun_) {
      self->options_.mode->end();
      if (self->status_ == ok) self->status_ = self->options_.mode->status();
    }
    self->emit({{"event", "closed"},
                {"error", error ? nlohmann::json(error->what()) : nlohmann::json(nullptr)}});
    self->finish(self->status_ == ok && error ? closedWithError : self->status_);
  };
  auto timeout = conn_->queue()->after(options_.timeout, [weak] {
    auto self = weak.lock();
    if (!self) return;
    self->emit({{"event", "timeout"}});
    self->status_ = timedOut;
    self->conn_->close();
  });
  auto result = done_.get_future();
  conn_->start();
  int status = result.get();
  timeout->cancel();
  conn_->queue()->sync([this] {
    if (lingerTimer_) lingerTimer_->cancel();
  });
  return status;
}

void ClientSession::finish(int status) {
  if (finished_) return;
  finished_ = true;
  done_.set_value(status);
}

void ClientSession::ready() {
  auto key = conn_->peerPublicKey();
  std::string hostID = DeviceIdentity::deviceID(*key);
  emit({{"event", "sas"}, {"sas", *conn_->sas()}, {"hostID", hostID}});
  if (pins_.check(options_.expectedHostID, address(), *key) == HostPins::Verdict::mismatch) {
    emit({{"event", "keyMismatch"}, {"hostID", hostID}, {"address", address()}});
    status_ = keyMismatch;
    conn_->close();
    return;
  }
  conn_->sendJSON(MessageType::clientHello, ClientHello{.deviceName = options_.name,
                                                        .model = options_.model,
                                                        .protocolVersion = NVProtocol::version});
}

void ClientSession::handle(MessageType type, const Bytes& body) {
  if (modeBegun_ && options_.mode->handle(type, body)) return;
  switch (type) {
    case MessageType::hostHello:
      if (auto hello = NVJSON::tryDecode<HostHello>(body)) hostHello(*hello);
      return;
    case MessageType::pairResult: {
      auto result = NVJSON::tryDecode<PairResult>(body);
      if (!result) return;
      nlohmann::json event = {{"event", "pairResult"}, {"ok", result->ok}};
      event["message"] = result->message ? nlohmann::json(*result->message) : nullptr;
      event["code"] = result->code ? nlohmann::json(rawValue(*result->code)) : nullptr;
      emit(event);
      if (result->ok) {
        pins_.pin(*conn_->peerPublicKey(), address());
        emit({{"event", "pinned"}, {"hostID", DeviceIdentity::deviceID(*conn_->peerPublicKey())}});
        paired_ = true;  // the actions follow the new hello
      } else {
        status_ = refused;
        // A refusal with a code leaves the session open; the owner's denial closes it soon.
        if (result->code) conn_->close();
      }
      return;
    }
    case MessageType::pong: {
      nlohmann::json event = {{"event", "pong"}, {"bytes", body.size()}};
      // The host echoes the body, so the send time comes back with it.
      if (auto echo = NVJSON::tryDecode<PingMessage>(body)) {
        event["rttMs"] = (runtime_.clock().now() - echo->t) * 1000.0;
      }
      emit(event);
      if (pingsSent_ < options_.pings) {
        std::weak_ptr<ClientSession> weak = weak_from_this();
        pingTimer_ = conn_->queue()->after(options_.pingInterval, [weak] {
          if (auto self = weak.lock()) self->nextAction();
        });
        return;
      }
      nextAction();
      return;
    }
    case MessageType::clipboard:
      if (auto message = NVJSON::tryDecode<ClipboardMessage>(body)) {
        emit({{"event", "clipboard"}, {"text", message->text}});
      }
      return;
    case MessageType::clipboardImage:
      emit({{"event", "clipboardImage"}, {"bytes", body.size()}});
      return;
    case MessageType::error: {
      auto error = NVJSON::tryDecode<ErrorMessage>(body);
      if (error) emit({{"event", "error"}, {"message", error->message}});
      return;
    }
    default:
      emit({{"event", "message"}, {"type", rawValue(type)}, {"bytes", body.size()}});
      return;
  }
}

void ClientSession::hostHello(const HostHello& hello) {
  nlohmann::json event = {{"event", "hello"},
                          {"name", hello.name},
                          {"hostID", hello.hostID},
                          {"os", hello.os},
                          {"authorized", hello.authorized},
                          {"protocolVersion", hello.protocolVersion},
                          {"capabilities", hello.capabilities},
                          {"displays", hello.displays.size()}};
  if (hello.addresses) event["addresses"] = *hello.addresses;
  emit(event);
  authorized_ = hello.authorized;
  if (!hello.authorized && options_.pair && !pairSent_) {
    pairSent_ = true;
    conn_->sendJSON(MessageType::pairRequest, PairRequest{.deviceName = options_.name,
                                                          .model = options_.model,
                                                          .grantMinutes = options_.grantMinutes});
    return;
  }
  if (pairSent_ && !paired_) return;  // the owner has not answered yet
  nextAction();
}

void ClientSession::nextAction() {
  if (pingsSent_ < options_.pings) {
    ++pingsSent_;
    conn_->sendJSON(MessageType::ping, PingMessage{.t = runtime_.clock().now()});
    return;
  }
  if (options_.rawType && !rawSent_) {
    rawSent_ = true;
    conn_->send(static_cast<MessageType>(*options_.rawType), Bytes(options_.rawSize, 'x'));
    emit({{"event", "sent"}, {"type", *options_.rawType}, {"bytes", options_.rawSize}});
  }
  if (options_.clipboardText && !clipboardSent_) {
    clipboardSent_ = true;
    const MessageType type =
        options_.clipboardPaste ? MessageType::clipboardTextPaste : MessageType::clipboard;
    Bytes body = NVJSON::encode(ClipboardMessage{*options_.clipboardText});
    emit({{"event", "sent"}, {"type", rawValue(type)}, {"bytes", body.size()}});
    conn_->send(type, std::move(body));
  }
  if (options_.mode) {
    if (modeBegun_) return;
    // A mode needs an authorized session; the host would ignore it otherwise.
    if (!authorized_) {
      status_ = refused;
      conn_->close();
      return;
    }
    modeBegun_ = true;
    std::weak_ptr<ClientSession> weak = weak_from_this();
    options_.mode->begin(conn_, [weak](const nlohmann::json& event) {
      if (auto self = weak.lock()) self->emit(event);
    });
    return;
  }
  if (lingerTimer_) return;
  std::weak_ptr<ClientSession> weak = weak_from_this();
  lingerTimer_ = conn_->queue()->after(options_.linger, [weak] {
    if (auto self = weak.lock()) self->conn_->close();
  });
}

}  // namespace ombrel
