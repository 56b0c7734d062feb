// The relay's STUN side: Binding requests on the relay's port over UDP get the address they
// came from, so a relay host doubles as a STUN server.

#include <asio/ip/v6_only.hpp>

#include "CorvaneKit/stun.h"
#include "relay_server.h"

namespace ombrel {

void RelayServer::openStun(const asio::ip::address& address) {
  asio::ip::udp::endpoint endpoint(address, port_);
  stun_ = std::make_unique<asio::ip::udp::socket>(queue_->executor());
  stun_->open(endpoint.protocol());
  if (address.is_v6()) stun_->set_option(asio::ip::v6_only(false));
  stun_->bind(endpoint);
  stunBuffer_.resize(STUN::maxMessageSize);
  receiveStun();
}

void RelayServer::receiveStun() {
  std::weak_ptr<RelayServer> weak = weak_from_this();
  stun_->async_receive_from(
      asio::buffer(stunBuffer_), stunPeer_, [weak](const asio::error_code& error, std::size_t n) {
        auto self = weak.lock();
        if (!self || self->stopped_ || error == asio::error::operation_aborted) return;
        if (!error) self->answerStun(n);
        self->receiveStun();
      });
}

void RelayServer::answerStun(std::size_t n) {
  auto transaction = STUN::bindingRequestTransaction(ByteView(stunBuffer_.data(), n));
  if (!transaction) return;
  auto peer = stunPeer_.address();
  if (peer.is_v6() && peer.to_v6().is_v4_mapped()) {
    peer = asio::ip::make_address_v4(asio::ip::v4_mapped, peer.to_v6());
  }
  auto response =
      STUN::successResponse(*transaction, STUN::Address{peer.to_string(), stunPeer_.port()});
  if (!response) return;
  // One datagram, sent at once: a full socket buffer drops it, as UDP may anyway.
  asio::error_code ignored;
  stun_->send_to(asio::buffer(*response), stunPeer_, 0, ignored);
}

}  // namespace ombrel
