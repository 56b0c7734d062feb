#include "Ombrel_Remote_Host/linux/avahi/avahi_bonjour_advertiser.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include "base/log.h"

namespace ombrel {
namespace {

// DNS-SD instance names are at most 63 bytes; cut a longer host name at a character boundary.
std::string serviceName(std::string name) {
  constexpr std::size_t maxBytes = 63;
  if (name.size() <= maxBytes) return name;
  std::size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
  name.resize(cut);
  return name;
}

const char* stateName(BonjourState state) {
  switch (state) {
    case BonjourState::stopped:
      return "stopped";
    case BonjourState::noDaemon:
      return "waiting for avahi-daemon";
    case BonjourState::registering:
      return "registering";
    case BonjourState::advertising:
      return "advertising";
    case BonjourState::failed:
      return "failed";
  }
  return "";
}

// Holds the poll's lock for a scope (not on the poll's own thread).
class PollLock {
 public:
  explicit PollLock(AvahiThreadedPoll* poll) : poll_(poll) {
    if (poll_) avahi_threaded_poll_lock(poll_);
  }
  ~PollLock() {
    if (poll_) avahi_threaded_poll_unlock(poll_);
  }
  PollLock(const PollLock&) = delete;
  PollLock& operator=(const PollLock&) = delete;

 private:
  AvahiThreadedPoll* poll_;
};

}  // namespace

AvahiBonjourAdvertiser::AvahiBonjourAdvertiser(Config config)
    : config_(std::move(config)), name_(serviceName(config_.name)) {
  status_.text = bonjourStatusText(BonjourState::stopped);
  poll_ = avahi_threaded_poll_new();
  if (poll_ && avahi_threaded_poll_start(poll_) < 0) {
    avahi_threaded_poll_free(poll_);
    poll_ = nullptr;
  }
  if (!poll_) log::line("Ombrel Remote: mDNS event loop could not start");
}

AvahiBonjourAdvertiser::~AvahiBonjourAdvertiser() {
  if (!poll_) return;
  avahi_threaded_poll_stop(poll_);
  if (timer_) avahi_threaded_poll_get(poll_)->timeout_free(timer_);
  dropClient();
  avahi_threaded_poll_free(poll_);
}

void AvahiBonjourAdvertiser::update(std::uint16_t port, std::string_view hostID) {
  if (!poll_) {
    setStatus(BonjourState::failed, "avahi");
    return;
  }
  PollLock lock(poll_);
  bool changed = !wanted_ || port != port_ || hostID != hostID_;
  wanted_ = true;
  port_ = port;
  hostID_ = hostID;
  if (!client_) {
    createClient();
    return;
  }
  switch (avahi_client_get_state(client_)) {
    case AVAHI_CLIENT_S_RUNNING:
      // Unchanged values on a live or pending advertisement are left alone; a refused one is
      // tried again.
      if (changed || !group_ || avahi_entry_group_is_empty(group_) ||
          status().state == BonjourState::failed) {
        publish();
      }
      break;
    case AVAHI_CLIENT_CONNECTING:
      setStatus(BonjourState::noDaemon);
      break;
    case AVAHI_CLIENT_FAILURE:  // the timer replaces the client and publishes; status says why
      break;
    default:  // the daemon is establishing its host name; services follow when it runs
      setStatus(BonjourState::registering);
      break;
  }
}

void AvahiBonjourAdvertiser::stop() {
  if (!poll_) {
    setStatus(BonjourState::stopped);
    return;
  }
  PollLock lock(poll_);
  wanted_ = false;
  withdraw();
  setStatus(BonjourState::stopped);
}

BonjourStatus AvahiBonjourAdvertiser::status() const {
  std::lock_guard lock(statusMutex_);
  return status_;
}

void AvahiBonjourAdvertiser::createClient() {
  auto onClient = [](AvahiClient* client, AvahiClientState state, void* self) {
    static_cast<AvahiBonjourAdvertiser*>(self)->clientCallback(client, state);
  };
  int error = 0;
  // The callback runs inside avahi_client_new already; it records the client itself.
  AvahiClient* client = avahi_client_new(avahi_threaded_poll_get(poll_), AVAHI_CLIENT_NO_FAIL,
                                         onClient, this, &error);
  client_ = client;
  if (client) lastClientError_ = 0;
  if (!client) {
    group_ = nullptr;  // freed with the half-made client
    // Not even the system bus answers: there is nothing to wait on, so try again later.
    if (error != lastClientError_) {
      log::line(std::string("Ombrel Remote: mDNS client unavailable: ") + avahi_strerror(error));
    }
    lastClientError_ = error;
    if (wanted_) setStatus(BonjourState::noDaemon);
    armTimer(config_.retryInterval);
  }
}

void AvahiBonjourAdvertiser::dropClient() {
  // Freeing the client frees its entry groups too.
  if (client_) avahi_client_free(client_);
  client_ = nullptr;
  group_ = nullptr;
}

void AvahiBonjourAdvertiser::clientCallback(AvahiClient* client, int state) {
  client_ = client;
  switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
      if (wanted_) publish();
      break;
    case AVAHI_CLIENT_S_REGISTERING:
    case AVAHI_CLIENT_S_COLLISION:
      // The daemon is (re)establishing its host name; services follow once it runs.
      if (group_) avahi_entry_group_reset(group_);
      if (wanted_) setStatus(BonjourState::registering);
      break;
    case AVAHI_CLIENT_CONNECTING:
      if (wanted_) setStatus(BonjourState::noDaemon);
      break;
    case AVAHI_CLIENT_FAILURE: {
      int error = avahi_client_errno(client);
      log::line(std::string("Ombrel Remote: mDNS client failed: ") + avahi_strerror(error));
      // The client cannot be freed inside its own callback: the timer replaces it. A daemon
      // that went away is waited for by the new client at once.
      bool disconnected = error == AVAHI_ERR_DISCONNECTED || error == AVAHI_ERR_NO_DAEMON;
      if (wanted_) {
        if (disconnected) {
          setStatus(BonjourState::noDaemon);
        } else {
          setStatus(BonjourState::failed, avahi_strerror(error));
        }
      }
      armTimer(disconnected ? std::chrono::milliseconds(0) : config_.retryInterval);
      break;
    }
    default:
      break;
  }
}

void AvahiBonjourAdvertiser::groupCallback(AvahiEntryGroup* group, int state) {
  group_ = group;
  switch (state) {
    case AVAHI_ENTRY_GROUP_ESTABLISHED:
      setStatus(BonjourState::advertising, name_);
      break;
    case AVAHI_ENTRY_GROUP_COLLISION: {
      char* next = avahi_alternative_service_name(name_.c_str());
      log::line("Ombrel Remote: mDNS name collision, renaming service");
      name_ = next;
      avahi_free(next);
      publish();
      break;
    }
    case AVAHI_ENTRY_GROUP_FAILURE:
      setStatus(BonjourState::failed, avahi_strerror(avahi_client_errno(client_)));
      break;
    default:
      break;
  }
}

void AvahiBonjourAdvertiser::timerCallback() {
  if (client_ && avahi_client_get_state(client_) != AVAHI_CLIENT_FAILURE) return;
  dropClient();
  createClient();
}

void AvahiBonjourAdvertiser::publish() {
  if (!wanted_ || !client_ || avahi_client_get_state(client_) != AVAHI_CLIENT_S_RUNNING) return;
  if (!group_) {
    auto onGroup = [](AvahiEntryGroup* group, AvahiEntryGroupState state, void* self) {
      static_cast<AvahiBonjourAdvertiser*>(self)->groupCallback(group, state);
    };
    AvahiEntryGroup* group = avahi_entry_group_new(client_, onGroup, this);
    if (!group) {
      setStatus(BonjourState::failed, avahi_strerror(avahi_client_errno(client_)));
      return;
    }
    group_ = group;
  }
  avahi_entry_group_reset(group_);
  const std::string type(bonjourServiceType);
  const std::string id = "id=" + hostID_;
  const std::string version = "v=" + std::string(bonjourProtocolVersion);
  // A name already taken on this machine is refused at once; remote collisions arrive later
  // through the group's COLLISION state.
  for (int attempt = 0; attempt < 100; ++attempt) {
    int r = avahi_entry_group_add_service(
        group_, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name_.c_str(),
        type.c_str(), nullptr, nullptr, port_, id.c_str(), version.c_str(), nullptr);
    if (r == AVAHI_ERR_COLLISION) {
      char* next = avahi_alternative_service_name(name_.c_str());
      name_ = next;
      avahi_free(next);
      continue;
    }
    if (r >= 0) r = avahi_entry_group_commit(group_);
    if (r < 0) {
      setStatus(BonjourState::failed, avahi_strerror(r));
    } else {
      setStatus(BonjourState::registering);
    }
    return;
  }
  setStatus(BonjourState::failed, avahi_strerror(AVAHI_ERR_COLLISION));
}

void AvahiBonjourAdvertiser::withdraw() {
  if (group_) avahi_entry_group_reset(group_);
}

void AvahiBonjourAdvertiser::armTimer(std::chrono::milliseconds delay) {
  struct timeval when;
  avahi_elapse_time(&when, static_cast<unsigned>(delay.count()), 0);
  const AvahiPoll* api = avahi_threaded_poll_get(poll_);
  if (timer_) {
    api->timeout_update(timer_, &when);
    return;
  }
  auto onTimer = [](AvahiTimeout*, void* self) {
    static_cast<AvahiBonjourAdvertiser*>(self)->timerCallback();
  };
  timer_ = api->timeout_new(api, &when, onTimer, this);
}

void AvahiBonjourAdvertiser::setStatus(BonjourState state, std::string_view detail) {
  BonjourStatus next{.state = state, .name = name_, .text = bonjourStatusText(state, detail)};
  {
    std::lock_guard lock(statusMutex_);
    if (status_ == next) return;
    status_ = next;
  }
  log::line(std::string("Ombrel Remote: mDNS ") + stateName(state) +
            (state == BonjourState::advertising ? " as " + name_ : std::string()));
  if (onStatus) onStatus(next);
}

}  // namespace ombrel
