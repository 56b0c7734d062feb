// The receive path of NVConnection, fed through the in-memory transport. The first input byte
// picks what the bytes are:
//   0  raw bytes at a host before its handshake (split into two deliveries at byte 2)
//   1  records after a completed handshake: [kind][u16 length][bytes]; kind % 3 == 0 seals the
//      bytes as a session plaintext, 1 writes them raw, 2 sets maxFrameSize to the length
//   2  the relay answer line of a relayed host, followed by whatever comes after it
// Every run ends the stream, so every connection finishes; nothing may crash, hang or allocate
// more than the bytes that arrived.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <optional>

#include "CorvaneKit/fake/fake_byte_transport.h"
#include "OmbrelKit/byte_codec.h"
#include "OmbrelKit/nv_connection.h"
#include "base/log.h"
#include "base/runtime.h"

using namespace ombrel;

namespace {

constexpr std::size_t maxInput = 1 << 20;

Runtime& runtime() {
  static Runtime* shared = [] {
    log::setSink([](std::string_view) {});
    return new Runtime(Runtime::Options{.threads = 2});
  }();
  return *shared;
}

const DeviceIdentity& hostIdentity() {
  static DeviceIdentity identity(Bytes(32, 0x22));
  return identity;
}

const DeviceIdentity& clientIdentity() {
  static DeviceIdentity identity(Bytes(32, 0x11));
  return identity;
}

Bytes framed(ByteView payload) {
  Bytes frame(4 + payload.size());
  writeU32BE(frame.data(), static_cast<std::uint32_t>(payload.size()));
  std::copy(payload.begin(), payload.end(), frame.begin() + 4);
  return frame;
}

struct Run {
  std::shared_ptr<FakeByteTransport> transport = FakeByteTransport::create();
  std::shared_ptr<NVConnection> host;
  std::promise<void> closed;
  std::promise<void> ready;

  explicit Run(std::optional<Bytes> preamble) {
    host = NVConnection::create(transport, NVConnection::Role::host, hostIdentity(),
                                std::move(preamble), runtime());
    host->onReady = [this] { ready.set_value(); };
    host->onMessage = [](MessageType, Bytes) {};
    host->onClose = [this](std::optional<NVError>) { closed.set_value(); };
    host->start();
  }

  void end() {
    transport->finishIncoming();
    closed.get_future().wait();
  }

  // Plays the client's side of the handshake; returns its send state, or nothing when the
  // host did not complete it.
  std::optional<CipherState> handshake() {
    ClientHandshake client(clientIdentity(), Bytes(32, 0x33));
    transport->deliver(framed(client.makeInit()));
    Bytes reply;
    for (;;) {
      auto sent = transport->sent();
      if (!sent.empty()) {
        reply = sent[0];
        break;
      }
      host->queue()->sync([] {});
    }
    auto finish = client.handleHostInit(ByteView(reply).subspan(4));
    transport->deliver(framed(finish.finish));
    ready.get_future().wait();
    return CipherState(finish.result.sendKey);
  }
};

void rawBeforeHandshake(ByteView data) {
  Run run(std::nullopt);
  const std::size_t split = data.empty() ? 0 : data[0] % (data.size() + 1);
  run.transport->deliver(data.first(split));
  run.transport->deliver(data.subspan(split));
  run.end();
}

void afterHandshake(ByteView data) {
  Run run(std::nullopt);
  auto toHost = run.handshake();
  std::size_t at = 0;
  while (at + 3 <= data.size()) {
    const std::uint8_t kind = data[at];
    const std::size_t length = std::min<std::size_t>(
        std::uint16_t(data[at + 1] << 8 | data[at + 2]), data.size() - at - 3);
    ByteView bytes = data.subspan(at + 3, length);
    at += 3 + length;
    switch (kind % 3) {
      case 0:
        run.transport->deliver(framed(toHost->seal(bytes)));
        break;
      case 1:
        run.transport->deliver(bytes);
        break;
      case 2:
        run.host->setMaxFrameSize(static_cast<std::int64_t>(length));
        break;
    }
  }
  run.end();
}

void relayLine(ByteView data) {
  Run run(toBytes("{\"role\":\"host\"}\n"));
  run.transport->deliver(data);
  run.end();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > maxInput) return 0;
  ByteView input(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      rawBeforeHandshake(input);
      break;
    case 1:
      afterHandshake(input);
      break;
    case 2:
      relayLine(input);
      break;
  }
  return 0;
}
