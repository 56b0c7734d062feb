// A member that must run on one queue, reached from another thread, aborts a debug build at
// once instead of racing only when the timing is unlucky. Release builds compile the checks
// away, so these only run without NDEBUG.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "CorvaneKit/fake/fake_byte_transport.h"
#include "OmbrelKit/nv_connection.h"
#include "Ombrel_Remote_Host/session/host_session.h"
#include "base/runtime.h"
#include "host/controller_fixture.h"
#include "host/fake_host_session_delegate.h"

namespace ombrel {
namespace {

using Role = NVConnection::Role;

// A connection over a fake transport, started and waiting for the transport to be ready.
std::shared_ptr<NVConnection> startedConnection(Runtime& runtime,
                                                const std::shared_ptr<FakeByteTransport>& wire) {
  auto conn = NVConnection::create(std::static_pointer_cast<CorvaneByteTransport>(wire), Role::host,
                                   DeviceIdentity(Bytes(32, 0x22)), std::nullopt, runtime);
  conn->start();
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!wire->isStarted() && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return conn;
}

std::shared_ptr<FakeByteTransport> idleWire() {
  return FakeByteTransport::create({.readyOnStart = false});
}

// Runs `misuse` in a death-test child and expects the queue check to abort it.
void expectAbort([[maybe_unused]] const std::function<void()>& misuse) {
#ifdef NDEBUG
  GTEST_SKIP() << "the checks are compiled out of release builds";
#else
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(misuse(), "isCurrent");
#endif
}

TEST(ThreadContractDeathTest, TransportCallbackOffItsThreadAborts) {
  // A transport that breaks its own contract and reports the end from a thread of its own.
  expectAbort([] {
    Runtime runtime;
    auto wire = idleWire();
    auto conn = startedConnection(runtime, wire);
    wire->onClose(std::nullopt);
  });
}

TEST(ThreadContractDeathTest, PeerCallbackOffItsThreadAborts) {
  // The close handler the host installs on its connection, run from outside the connection's
  // queue.
  expectAbort([] {
    Runtime runtime;
    test::FakeHostSessionDelegate host{runtime};
    auto conn = startedConnection(runtime, idleWire());
    auto peer = HostSession::create(conn, "直連", host);
    peer->start();
    conn->onClose(std::nullopt);
  });
}

using OwnerThreadDeathTest = test::ControllerFixture;

TEST_F(OwnerThreadDeathTest, SettingChangedOffTheMainThreadAborts) {
  expectAbort([this] {
    startController();
    controller->setReceiveFiles(false);
  });
}

}  // namespace
}  // namespace ombrel
