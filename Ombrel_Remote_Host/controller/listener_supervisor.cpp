#include "Ombrel_Remote_Host/controller/listener_supervisor.h"

#include "base/log.h"

namespace ombrel {

ListenerSupervisor::ListenerSupervisor(Runtime& runtime,
                                       std::shared_ptr<BonjourAdvertiser> advertiser,
                                       std::string hostID, std::uint16_t port)
    : runtime_(runtime),
      mainQueue_(runtime.mainQueue()),
      advertiser_(std::move(advertiser)),
      hostID_(std::move(hostID)),
      requestedPort_(port) {}

std::shared_ptr<ListenerSupervisor> ListenerSupervisor::create(
    Runtime& runtime, std::shared_ptr<BonjourAdvertiser> advertiser, std::string hostID,
    std::uint16_t port) {
  auto supervisor = std::shared_ptr<ListenerSupervisor>(
      new ListenerSupervisor(runtime, std::move(advertiser), std::move(hostID), port));
  supervisor->mainQueue_->assertCurrent();
  // Avahi reports on its own thread, and may outlive the runtime.
  supervisor->advertiser_->onStatus = [weak = supervisor->weak_from_this(),
                                       weakQueue = std::weak_ptr<SerialQueue>(
                                           supervisor->mainQueue_)](const BonjourStatus& status) {
    auto queue = weakQueue.lock();
    if (!queue) return;
    auto apply = [weak, status] {
      auto self = weak.lock();
      if (!self || self->shutDown_) return;
      if (self->bonjourStatus_ == status) return;
      self->bonjourStatus_ = status;
      tell(self->onBonjourStatus);
    };
    if (queue->isCurrent()) {
      apply();
    } else {
      queue->post(std::move(apply));
    }
  };
  supervisor->bonjourStatus_ = supervisor->advertiser_->status();
  return supervisor;
}

void ListenerSupervisor::start() {
  mainQueue_->assertCurrent();
  if (shutDown_ || listener_) return;
  listen(requestedPort_, 0);
}

void ListenerSupervisor::listen(std::uint16_t port, int attempt) {
  mainQueue_->assertCurrent();
  retry_.reset();
  attempt_ = attempt;
  auto listener = HostListener::create(runtime_, port);
  std::weak_ptr<ListenerSupervisor> weakSelf = weak_from_this();
  std::weak_ptr<HostListener> weakListener = listener;
  auto onMain = [weakSelf, weakListener, queue = mainQueue_](auto work) {
    queue->post([weakSelf, weakListener, work = std::move(work)]() mutable {
      auto self = weakSelf.lock();
      auto listener = weakListener.lock();
      // Events of a listener that has been replaced or dropped change nothing.
      if (!self || !listener || self->shutDown_ || listener != self->listener_) return;
      work(*self, listener);
    });
  };
  listener->onReady = [onMain](std::uint16_t bound) {
    onMain([bound](ListenerSupervisor& self, const std::shared_ptr<HostListener>&) {
      self.ready(bound);
    });
  };
  listener->onFailed = [onMain, port, attempt](std::error_code error) {
    onMain([port, attempt, error](ListenerSupervisor& self,
                                  const std::shared_ptr<HostListener>& listener) {
      self.failed(listener, port, attempt, error);
    });
  };
  listener->onConnection = [onMain](asio::ip::tcp::socket socket, std::string remoteIP) {
    auto shared = std::make_shared<asio::ip::tcp::socket>(std::move(socket));
    onMain(
        [shared, remoteIP](ListenerSupervisor& self, const std::shared_ptr<HostListener>&) mutable {
          if (self.onConnection) self.onConnection(std::move(*shared), std::move(remoteIP));
        });
  };
  listener_ = listener;
  listener->start();
}

void ListenerSupervisor::stop() {
  mainQueue_->assertCurrent();
  if (retry_) {
    retry_->cancel();
    retry_.reset();
  }
  if (listener_) {
    listener_->cancel();
    listener_.reset();
  }
  advertiser_->stop();
}

void ListenerSupervisor::stopWith(std::string status) {
  mainQueue_->assertCurrent();
  stop();
  if (port_ != 0) {
    port_ = 0;
    tell(onPort);
  }
  if (status_ != status) {
    status_ = std::move(status);
    tell(onStatus);
  }
}

void ListenerSupervisor::shutdown() {
  mainQueue_->assertCurrent();
  if (shutDown_) return;
  stop();
  shutDown_ = true;
}

void ListenerSupervisor::ready(std::uint16_t port) {
  mainQueue_->assertCurrent();
  if (port_ != port) {
    port_ = port;
    tell(onPort);
  }
  if (std::string status = "等待連線（埠 " + std::to_string(port) + "）"; status_ != status) {
    status_ = std::move(status);
    tell(onStatus);
  }
  advertiser_->update(port, hostID_);
  tell(onReach);
}

void ListenerSupervisor::failed(const std::shared_ptr<HostListener>& listener, std::uint16_t port,
                                int attempt, std::error_code error) {
  mainQueue_->assertCurrent();
  log::line("Ombrel Remote: listener on port " + std::to_string(port) +
            " failed: " + error.message());
  if (std::string status = "監聽失敗：" + error.message(); status_ != status) {
    status_ = std::move(status);
    tell(onStatus);
  }
  listener->cancel();
  // Nothing listens any more: stop pointing clients and the router at the old port.
  advertiser_->stop();
  if (port_ != 0) {
    port_ = 0;
    tell(onPort);
    tell(onReach);
  }
  if (port == 0) return;
  if (attempt >= retries) {
    listener_.reset();
    listen(0, 0);
    return;
  }
  std::weak_ptr<ListenerSupervisor> weakSelf = weak_from_this();
  std::weak_ptr<HostListener> weakListener = listener;
  retry_ = mainQueue_->after(retryDelay, [weakSelf, weakListener, port, attempt] {
    auto self = weakSelf.lock();
    if (!self || self->shutDown_) return;
    auto failed = weakListener.lock();
    if (!failed || failed != self->listener_) return;
    self->listener_.reset();
    self->listen(port, attempt + 1);
  });
  tell(onStatus);
}

}  // namespace ombrel
