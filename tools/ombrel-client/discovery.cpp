#include "discovery.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/simple-watch.h>

#include <memory>
#include <stdexcept>

namespace ombrel {
namespace {

struct Browse {
  AvahiSimplePoll* poll = nullptr;
  AvahiClient* client = nullptr;
  std::vector<DiscoveredHost> found;
};

void resolved(AvahiServiceResolver* resolver, AvahiIfIndex, AvahiProtocol, AvahiResolverEvent event,
              const char* name, const char*, const char*, const char*, const AvahiAddress* address,
              uint16_t port, AvahiStringList* txt, AvahiLookupResultFlags, void* context) {
  auto* browse = static_cast<Browse*>(context);
  if (event == AVAHI_RESOLVER_FOUND && address) {
    char text[AVAHI_ADDRESS_STR_MAX];
    avahi_address_snprint(text, sizeof text, address);
    DiscoveredHost host{.name = name ? name : "", .address = text, .port = port};
    if (AvahiStringList* id = avahi_string_list_find(txt, "id")) {
      char* key = nullptr;
      char* value = nullptr;
      if (avahi_string_list_get_pair(id, &key, &value, nullptr) == 0 && value) {
        host.hostID = value;
      }
      avahi_free(key);
      avahi_free(value);
    }
    browse->found.push_back(std::move(host));
  }
  avahi_service_resolver_free(resolver);
}

void browsed(AvahiServiceBrowser*, AvahiIfIndex interface, AvahiProtocol protocol,
             AvahiBrowserEvent event, const char* name, const char* type, const char* domain,
             AvahiLookupResultFlags, void* context) {
  auto* browse = static_cast<Browse*>(context);
  if (event != AVAHI_BROWSER_NEW) return;
  avahi_service_resolver_new(browse->client, interface, protocol, name, type, domain,
                             AVAHI_PROTO_UNSPEC, AvahiLookupFlags(0), resolved, browse);
}

}  // namespace

std::vector<DiscoveredHost> discoverHosts(double timeout) {
  Browse browse;
  std::unique_ptr<AvahiSimplePoll, void (*)(AvahiSimplePoll*)> poll(avahi_simple_poll_new(),
                                                                    avahi_simple_poll_free);
  if (!poll) throw std::runtime_error("cannot create the Avahi poll");
  browse.poll = poll.get();
  int error = 0;
  std::unique_ptr<AvahiClient, void (*)(AvahiClient*)> client(
      avahi_client_new(avahi_simple_poll_get(poll.get()), AvahiClientFlags(0), nullptr, nullptr,
                       &error),
      avahi_client_free);
  if (!client) throw std::runtime_error(std::string("Avahi: ") + avahi_strerror(error));
  browse.client = client.get();
  AvahiServiceBrowser* browser =
      avahi_service_browser_new(client.get(), AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC,
                                "_nerovalde._tcp", nullptr, AvahiLookupFlags(0), browsed, &browse);
  if (!browser) {
    throw std::runtime_error(std::string("Avahi: ") +
                             avahi_strerror(avahi_client_errno(client.get())));
  }
  // Poll in short slices until the time is up; resolutions finish in between.
  int remaining = static_cast<int>(timeout * 1000);
  while (remaining > 0) {
    int slice = remaining < 100 ? remaining : 100;
    if (avahi_simple_poll_iterate(poll.get(), slice) != 0) break;
    remaining -= slice;
  }
  avahi_service_browser_free(browser);
  return browse.found;
}

}  // namespace ombrel
