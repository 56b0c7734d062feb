#include "Ombrel_Remote_Host/input/owner_input_guard.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>
#include <thread>

#include "Ombrel_Remote_Host/input/input_backends.h"

namespace ombrel {

// The origin watch, fed as its connection becomes readable: an entry of the record is only
// good for half a second, so presses must not wait for the next prompt to be classified.
class OwnerInputGuard::ClickWatch {
 public:
  ClickWatch(std::unique_ptr<ClickOriginWatch> watch, int stopFd)
      : watch_(std::move(watch)), stopFd_(stopFd), thread_([this] { run(); }) {}

  ~ClickWatch() {
    const std::uint64_t one = 1;
    (void)!::write(stopFd_, &one, sizeof one);
    thread_.join();
    ::close(stopFd_);
  }

  std::optional<ClickOriginWatch::Origin> lastPressOrigin() {
    std::lock_guard lock(mutex_);
    return watch_->lastPressOrigin();
  }

 private:
  void run() {
    for (;;) {
      pollfd fds[2] = {{watch_->fd(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      // A dead connection is left alone: the next read could end the process (Xlib's does).
      if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return;
      std::lock_guard lock(mutex_);
      watch_->processPending();
    }
  }

  std::mutex mutex_;  // the watch's connection: one thread at a time
  const std::unique_ptr<ClickOriginWatch> watch_;
  const int stopFd_;
  std::thread thread_;  // last: starts once the rest is built
};

OwnerInputGuard::OwnerInputGuard(std::shared_ptr<InjectionRecord> record, const Clock& clock)
    : record_(std::move(record)), clock_(clock) {}

OwnerInputGuard::~OwnerInputGuard() = default;

std::optional<OwnerInputGuard::Refusal> OwnerInputGuard::check(double at) const {
  const auto last = record_->activity().lastEvent;
  // Remote input after the answer counts too: it may be what the answer reached us through.
  if (last && *last > at - quietPeriod) return Refusal::remoteInputRecent;
  return std::nullopt;
}

std::optional<OwnerInputGuard::Refusal> OwnerInputGuard::checkLine(double since, double at) const {
  if (auto refusal = check(at)) return refusal;
  const auto typing = record_->activity().lastTyping;
  if (typing && *typing > since) return Refusal::remoteTypingInLine;
  return std::nullopt;
}

bool OwnerInputGuard::watchClicks(const std::string& displayName) {
  if (watch_) return true;
  auto origins = openClickOriginWatch(record_, displayName, clock_);
  if (!origins) return false;
  const int stopFd = ::eventfd(0, EFD_CLOEXEC);
  if (stopFd < 0) return false;
  watch_ = std::make_unique<ClickWatch>(std::move(origins), stopFd);
  return true;
}

std::optional<OwnerInputGuard::Refusal> OwnerInputGuard::checkClick() {
  if (watch_ && watch_->lastPressOrigin() == ClickOriginWatch::Origin::remote) {
    return Refusal::remoteClick;
  }
  return check(now());
}

std::string_view OwnerInputGuard::text(Refusal refusal) {
  switch (refusal) {
    case Refusal::remoteInputRecent:
      return "剛才有遠端操作，這個回答不算數：只有在這台電腦前的人可以回答。請等遠端停止操作後"
             "再回答一次。";
    case Refusal::remoteTypingInLine:
      return "上一次輸入之後有遠端按鍵或點擊，這一行可能混有遠端打的字，不算數。請重新輸入一次。";
    case Refusal::remoteClick:
      return "這次點擊來自遠端操作，不算數：只有在這台電腦前的人可以按這個按鈕。";
  }
  return {};
}

}  // namespace ombrel
