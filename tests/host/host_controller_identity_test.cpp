// The controller on a key file it cannot read: the host runs on a temporary identity, and the
// real key, the paired-device list sealed with it and the sealed marker all wait untouched for
// the key to come back.

#include <sys/stat.h>

#include <fstream>
#include <mutex>

#include "Ombrel_Remote_Host/controller/host_controller.h"
#include "base/log.h"
#include "host/controller_fixture.h"
#include "host/stored_trusted_list.h"

namespace ombrel {
namespace {

namespace fs = std::filesystem;

const Bytes keyA(32, 0xa1), keyB(32, 0xb2);

class HostControllerIdentityTest : public test::ControllerFixture {
 protected:
  HostControllerIdentityTest() {
    previousSink_ = log::setSink([this](std::string_view text) {
      std::lock_guard lock(loggedMutex_);
      logged_.emplace_back(text);
    });
  }
  ~HostControllerIdentityTest() override { log::setSink(previousSink_); }

  static fs::path keyFile() { return DeviceIdentity::keyPath("host"); }

  // A FIFO where the key should be: root can open it, but it never reads as a key.
  void plantFifo() {
    fs::create_directories(keyFile().parent_path());
    ASSERT_EQ(::mkfifo(keyFile().c_str(), 0600), 0);
    struct stat info {};
    ASSERT_EQ(::lstat(keyFile().c_str(), &info), 0);
    fifoInode_ = info.st_ino;
  }
  bool fifoIntact() const {
    struct stat info {};
    return ::lstat(keyFile().c_str(), &info) == 0 && S_ISFIFO(info.st_mode) &&
           info.st_ino == fifoInode_;
  }

  using StoredList = std::pair<std::optional<Bytes>, std::optional<Bytes>>;
  static StoredList storedList() {
    const HostSettings stored = test::storedHostSettings();
    return {stored.trustedClients(), stored.trustedClientsSeal()};
  }

  void restartController() {
    controller->shutdown();
    onMain([&] { controller->unobserve(observer); });
    controller.reset();
    startController();
  }

  bool logged(std::string_view text) {
    std::lock_guard lock(loggedMutex_);
    return std::ranges::count(logged_, std::string(text)) > 0;
  }

  ino_t fifoInode_ = 0;
  std::mutex loggedMutex_;
  std::vector<std::string> logged_;
  log::Sink previousSink_;
};

TEST_F(HostControllerIdentityTest, UnreadableKeyFileKeepsTheKeyAndThePairedDevicesForLater) {
  const DeviceIdentity real(Bytes(32, 0x42));
  const Bytes list = NVJSON::encode(
      std::vector<TrustedClient>{{.publicKey = keyA, .name = "iPhone", .addedAt = 700000000}});
  test::storeTrustedList(list, real.seal(list, TrustedClientStore::sealPurpose));
  const StoredList before = storedList();
  plantFifo();

  startController();
  ASSERT_TRUE(waitForListener());
  EXPECT_TRUE(controller->identity().isTemporary());
  EXPECT_NE(controller->identity().publicKey(), real.publicKey());
  EXPECT_EQ(controller->identityStatus(), HostController::temporaryIdentityStatus);
  EXPECT_TRUE(logged(TrustedClientStore::temporaryIdentityLogLine));
  // The list cannot be checked without the real key, so nothing on it is trusted.
  EXPECT_TRUE(onMain([&] { return controller->trustedClients().empty(); }));
  EXPECT_FALSE(controller->isTrusted(keyA));

  // A device paired during this run is trusted for the run only.
  onMain([&] { controller->trust(keyB, "Tablet", std::nullopt); });
  EXPECT_TRUE(controller->isTrusted(keyB));

  EXPECT_TRUE(fifoIntact()) << "the key file was replaced";
  EXPECT_EQ(storedList(), before) << "the paired-device list was rewritten or resealed";

  // The real key comes back (the drive is mounted, the fault passed): so does everything.
  controller->shutdown();
  fs::remove(keyFile());
  {
    Bytes sealedKey(32, 0x42);
    sealedKey.push_back(0x01);
    std::ofstream(keyFile(), std::ios::binary)
        .write(reinterpret_cast<const char*>(sealedKey.data()),
               static_cast<std::streamsize>(sealedKey.size()));
    fs::permissions(keyFile(), fs::perms::owner_read | fs::perms::owner_write);
  }
  restartController();
  EXPECT_FALSE(controller->identity().isTemporary());
  EXPECT_EQ(controller->identity().publicKey(), real.publicKey());
  EXPECT_EQ(controller->identityStatus(), "");
  EXPECT_TRUE(controller->isTrusted(keyA));
  EXPECT_FALSE(controller->isTrusted(keyB));
  EXPECT_FALSE(logged(TrustedClientStore::tamperedLogLine));
}

TEST_F(HostControllerIdentityTest, ListWithoutAValidSealIsNotAcceptedOnATemporaryIdentity) {
  // With the key unreadable the host cannot tell that it has sealed before, so an edited list
  // must not pass as one from before seals existed.
  plantFifo();
  const Bytes list = NVJSON::encode(
      std::vector<TrustedClient>{{.publicKey = keyA, .name = "intruder", .addedAt = 700000000}});
  const struct {
    const char* name;
    std::optional<Bytes> seal;
  } kCases[] = {
      {"no seal", std::nullopt},
      {"seal of another key", DeviceIdentity(Bytes(32, 0x43)).seal(list, "trusted-list-v1")},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    test::storeTrustedList(list, c.seal);
    const StoredList before = storedList();
    if (controller) {
      restartController();
    } else {
      startController();
    }
    EXPECT_FALSE(controller->isTrusted(keyA));
    EXPECT_TRUE(onMain([&] { return controller->trustedClients().empty(); }));
    EXPECT_EQ(storedList(), before);
    EXPECT_TRUE(fifoIntact());
  }
}

}  // namespace
}  // namespace ombrel
