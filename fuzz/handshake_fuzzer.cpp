// Drives both sides of the handshake with untrusted bytes. The first byte picks the step:
//   0  host, ClientInit = the rest
//   1  host, after a genuine ClientInit, ClientFinish = the rest
//   2  client, after its genuine init, HostReply = the rest
//   3  host, ClientFinish = the genuine one XOR the rest (zeros reach the success path)
//   4  client, HostReply = the genuine one XOR the rest
// Raw bytes cannot pass a commitment or a signature; XOR-ing a genuine message lets the fuzzer
// reach the checks behind them and the success path too.
#include <cstddef>
#include <cstdint>

#include "OmbrelKit/handshake.h"
#include "OmbrelKit/nv_error.h"
#include "OmbrelKit/nv_protocol.h"
#include "base/log.h"

namespace {

using namespace ombrel;

Bytes seed(std::uint8_t first) {
  Bytes out(32);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}

struct Fixture {
  DeviceIdentity client{seed(1)};
  DeviceIdentity host{seed(33)};
  Bytes clientEphemeral = Bytes(32, 0x11);
  Bytes hostEphemeral = Bytes(32, 0x22);
  Bytes init, reply, finish;

  Fixture() {
    ClientHandshake c = makeClient();
    HostHandshake h = makeHost();
    init = c.makeInit();
    reply = h.handleClientInit(init);
    finish = c.handleHostInit(reply).finish;
  }
  ClientHandshake makeClient() const { return ClientHandshake(client, clientEphemeral); }
  HostHandshake makeHost() const { return HostHandshake(host, hostEphemeral); }
};

const Fixture& fixture() {
  static const Fixture* made = [] {
    ombrel::log::setSink([](std::string_view) {});
    return new Fixture();
  }();
  return *made;
}

Bytes xorWith(const Bytes& genuine, ByteView mask) {
  Bytes out(mask.size());
  for (std::size_t i = 0; i < mask.size(); ++i) {
    out[i] = static_cast<std::uint8_t>((i < genuine.size() ? genuine[i] : 0) ^ mask[i]);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // Handshake frames are at most this long; the connection never hands over more.
  if (size > HandshakeLimits::maxFrame + 1) return 0;
  const Fixture& f = fixture();
  const ByteView rest(data + 1, size - 1);
  try {
    switch (data[0] % 5) {
      case 0:
        f.makeHost().handleClientInit(rest);
        break;
      case 1: {
        HostHandshake host = f.makeHost();
        host.handleClientInit(f.init);
        host.handleClientFinish(rest);
        break;
      }
      case 2: {
        ClientHandshake client = f.makeClient();
        client.makeInit();
        client.handleHostInit(rest);
        break;
      }
      case 3: {
        HostHandshake host = f.makeHost();
        host.handleClientInit(f.init);
        const HandshakeResult result = host.handleClientFinish(xorWith(f.finish, rest));
        if (result.sendKey.size() != 32 || result.sas().size() != 7) __builtin_trap();
        break;
      }
      case 4: {
        ClientHandshake client = f.makeClient();
        client.makeInit();
        const ClientHandshake::Finish finish = client.handleHostInit(xorWith(f.reply, rest));
        if (finish.finish.size() != 96 || finish.result.receiveKey.size() != 32) __builtin_trap();
        break;
      }
    }
  } catch (const NVError&) {
    // Refusals are the expected outcome for almost every input.
  }
  return 0;
}
