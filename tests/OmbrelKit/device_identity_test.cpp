#include "OmbrelKit/device_identity.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

namespace ombrel {
namespace {

namespace fs = std::filesystem;

// RFC 8032 test 1: a key whose derived texts were computed independently.
const Bytes kSeed = fromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60");
const Bytes kPublicKey =
    fromHex("d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");

TEST(DeviceIdentityTest, DerivedTextsMatchKnownAnswers) {
  const DeviceIdentity identity(kSeed);
  EXPECT_EQ(identity.publicKey(), kPublicKey);
  EXPECT_EQ(identity.deviceID(), "0838 9027 4913");
  EXPECT_EQ(identity.hostID(), "0838 9027 4913");  // the instance's host ID is the current form
  EXPECT_EQ(DeviceIdentity::hostID(kPublicKey), "890 274 913");
  EXPECT_EQ(identity.fingerprint(), "21FE-31DF-A154-A261");

  // A digest whose value is small keeps its leading zeros in both forms.
  const Bytes small = fromHex("a56d000000000000000000000000000000000000000000000000000000000000");
  EXPECT_EQ(DeviceIdentity::deviceID(small), "0000 0542 7614");
  EXPECT_EQ(DeviceIdentity::hostID(small), "005 427 614");
}

TEST(DeviceIdentityTest, SealIsKeyedByPurposeAndPrivateKey) {
  const DeviceIdentity identity(kSeed);
  const Bytes tag = identity.seal(toBytes("[]"), "trusted-list-v1");
  EXPECT_EQ(hexString(tag), "b40910cf53f60e70c7380fd35c2363a7dd22ac0c8bd75ca36cf67be802c17248");
  EXPECT_NE(identity.seal(toBytes("[]"), "trusted-list-v2"), tag);
  EXPECT_NE(DeviceIdentity::generate().seal(toBytes("[]"), "trusted-list-v1"), tag);
  EXPECT_TRUE(crypto::ed25519Verify(kPublicKey, toBytes("m"), identity.sign(toBytes("m"))));
  EXPECT_THROW(DeviceIdentity(Bytes(31, 1)), std::exception);
}

TEST(DeviceIdentityTest, NormalizeHostIDTable) {
  const struct {
    const char* text;
    const char* normalized;
  } kCases[] = {
      {"0838 9027 4913", "0838 9027 4913"},
      {"083890274913", "0838 9027 4913"},
      {"0838-9027-4913", "0838 9027 4913"},
      {" 08 389 0274 913 ", "0838 9027 4913"},
      {"890274913", "890 274 913"},
      {"890-274-913", "890 274 913"},
      {"0838902749", "0838902749"},            // 10 digits: unchanged
      {"0838 9027 49130", "0838 9027 49130"},  // 13 digits: unchanged
      {"", ""},
      {"主機 abc", "主機 abc"},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(DeviceIdentity::normalizeHostID(c.text), c.normalized) << c.text;
  }
}

TEST(DeviceIdentityTest, HostIDMatchingAndMigrationOfSavedIDs) {
  EXPECT_TRUE(DeviceIdentity::matchesHostID("0838-9027-4913", kPublicKey));
  EXPECT_TRUE(DeviceIdentity::matchesHostID("083890274913", kPublicKey));
  // Only migration accepts the legacy form; matching a typed ID never does.
  EXPECT_FALSE(DeviceIdentity::matchesHostID("890 274 913", kPublicKey));
  EXPECT_FALSE(DeviceIdentity::matchesHostID("0838 9027 4914", kPublicKey));

  const struct {
    const char* saved;
    std::optional<std::string> migrated;
  } kCases[] = {
      {"890 274 913", "0838 9027 4913"},
      {"890274913", "0838 9027 4913"},
      {"0838 9027 4913", "0838 9027 4913"},
      {"890 274 914", std::nullopt},
      {"1234", std::nullopt},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(DeviceIdentity::migratedSavedHostID(c.saved, kPublicKey), c.migrated) << c.saved;
  }
  EXPECT_EQ(DeviceIdentity::migratedSavedHostID("890 274 913", ByteView(kPublicKey).first(31)),
            std::nullopt);
}

// Each test gets its own data home, so key files never touch the real one or each other.
class KeyFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ombrel-identity-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
    for (const char* name : {"XDG_DATA_HOME", "HOME"}) {
      if (const char* value = std::getenv(name)) saved_.emplace_back(name, value);
    }
    ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("XDG_DATA_HOME");
    for (const auto& [name, value] : saved_) ::setenv(name.c_str(), value.c_str(), 1);
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  fs::path keyFile() const { return root_ / "data" / "Ombrel Remote" / "host.key"; }
  fs::path legacyFile() const { return root_ / "data" / "NeroValde" / "host.key"; }

  static void write(const fs::path& file, const Bytes& contents) {
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(contents.data()),
               static_cast<std::streamsize>(contents.size()));
  }
  static Bytes read(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  static mode_t mode(const fs::path& file) {
    struct stat info {};
    EXPECT_EQ(::stat(file.c_str(), &info), 0);
    return info.st_mode & 0777;
  }

  fs::path root_;
  std::vector<std::pair<std::string, std::string>> saved_;
};

TEST_F(KeyFileTest, KeyPathFollowsDataHomeAndIgnoresARelativeOne) {
  EXPECT_EQ(DeviceIdentity::keyPath("host"), keyFile());
  ::setenv("HOME", root_.c_str(), 1);
  ::setenv("XDG_DATA_HOME", "relative/data", 1);
  EXPECT_EQ(DeviceIdentity::keyPath("host"), root_ / ".local/share/Ombrel Remote/host.key");
  ::unsetenv("XDG_DATA_HOME");
  EXPECT_EQ(DeviceIdentity::keyPath("client"), root_ / ".local/share/Ombrel Remote/client.key");
}

TEST_F(KeyFileTest, CreatesAPrivateFileOnceAndLoadsItAfterwards) {
  const DeviceIdentity created = DeviceIdentity::loadOrCreate("host");
  ASSERT_TRUE(fs::exists(keyFile()));
  EXPECT_EQ(read(keyFile()).size(), 32u);
  EXPECT_EQ(mode(keyFile()), 0600u);
  EXPECT_FALSE(DeviceIdentity::isSealed("host"));
  EXPECT_EQ(DeviceIdentity::loadOrCreate("host").publicKey(), created.publicKey());
  // Nothing but the key file is left behind in its folder.
  EXPECT_EQ(
      std::distance(fs::directory_iterator(keyFile().parent_path()), fs::directory_iterator()), 1);
}

TEST_F(KeyFileTest, SealedFileLoadsTheSameKeyAndMarkSealedRewritesAtomically) {
  write(keyFile(), concat(kSeed, Bytes{0x01}));
  EXPECT_EQ(DeviceIdentity::loadOrCreate("host").publicKey(), kPublicKey);
  EXPECT_TRUE(DeviceIdentity::isSealed("host"));

  write(keyFile(), kSeed);
  ::chmod(keyFile().c_str(), 0644);
  EXPECT_FALSE(DeviceIdentity::isSealed("host"));
  DeviceIdentity::markSealed("host", DeviceIdentity(kSeed));
  EXPECT_EQ(read(keyFile()), concat(kSeed, Bytes{0x01}));
  EXPECT_EQ(mode(keyFile()), 0600u);
  EXPECT_TRUE(DeviceIdentity::isSealed("host"));
  EXPECT_EQ(DeviceIdentity::loadOrCreate("host").publicKey(), kPublicKey);
  EXPECT_EQ(
      std::distance(fs::directory_iterator(keyFile().parent_path()), fs::directory_iterator()), 1);
  EXPECT_FALSE(DeviceIdentity::isSealed("other"));
}

TEST_F(KeyFileTest, CorruptFileIsReplacedByANewIdentity) {
  write(keyFile(), Bytes(10, 0x42));
  const DeviceIdentity identity = DeviceIdentity::loadOrCreate("host");
  EXPECT_EQ(read(keyFile()).size(), 32u);
  EXPECT_EQ(mode(keyFile()), 0600u);
  EXPECT_EQ(DeviceIdentity::loadOrCreate("host").publicKey(), identity.publicKey());
  EXPECT_NE(DeviceIdentity::loadOrCreate("client").publicKey(), identity.publicKey());
}

TEST_F(KeyFileTest, UnreadableFileIsNeverOverwritten) {
  // Something stands where the key should be but cannot be read as one. The identity must still
  // come back (a temporary one), and neither loading nor sealing may touch the path.
  const fs::path unmounted = root_ / "unmounted" / "host.key";
  const struct {
    const char* name;
    std::function<void()> plant;
    std::function<bool()> intact;
  } kCases[] = {
      {"a FIFO", [&] { ASSERT_EQ(::mkfifo(keyFile().c_str(), 0600), 0); },
       [&] { return fs::is_fifo(keyFile()); }},
      {"a link to a key on a drive not mounted yet",
       [&] { fs::create_symlink(unmounted, keyFile()); },
       [&] { return fs::is_symlink(keyFile()) && fs::read_symlink(keyFile()) == unmounted; }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(keyFile().parent_path());
    fs::create_directories(keyFile().parent_path());
    c.plant();
    const DeviceIdentity first = DeviceIdentity::loadOrCreate("host");
    EXPECT_TRUE(first.isTemporary());
    EXPECT_TRUE(c.intact());
    DeviceIdentity::markSealed("host", first);
    DeviceIdentity::markSealed("host", DeviceIdentity(kSeed));
    EXPECT_TRUE(c.intact());
    EXPECT_NE(DeviceIdentity::loadOrCreate("host").publicKey(), first.publicKey());
    EXPECT_FALSE(DeviceIdentity::isSealed("host"));
    EXPECT_FALSE(fs::exists(unmounted));
    // Nothing was left behind beside it either.
    EXPECT_EQ(
        std::distance(fs::directory_iterator(keyFile().parent_path()), fs::directory_iterator()),
        1);
  }
}

TEST_F(KeyFileTest, KeyThatCannotBeStoredIsTemporaryAndStoredOneIsNot) {
  // A data home that cannot be created, even by root.
  ::setenv("XDG_DATA_HOME", "/proc/ombrel-no-such-dir", 1);
  const DeviceIdentity lost = DeviceIdentity::loadOrCreate("host");
  EXPECT_TRUE(lost.isTemporary());
  EXPECT_NE(DeviceIdentity::loadOrCreate("host").publicKey(), lost.publicKey());

  ::setenv("XDG_DATA_HOME", (root_ / "data").c_str(), 1);
  EXPECT_FALSE(DeviceIdentity::loadOrCreate("host").isTemporary());  // created
  EXPECT_FALSE(DeviceIdentity::loadOrCreate("host").isTemporary());  // loaded
  // A temporary identity never creates the file either.
  fs::remove(keyFile());
  DeviceIdentity::markSealed("host", lost);
  EXPECT_FALSE(fs::exists(fs::symlink_status(keyFile())));
}

TEST_F(KeyFileTest, MarkSealedNeverReplacesAnotherKey) {
  const Bytes other(32, 0x07);
  write(keyFile(), other);
  DeviceIdentity::markSealed("host", DeviceIdentity(kSeed));
  EXPECT_EQ(read(keyFile()), other);
  EXPECT_FALSE(DeviceIdentity::isSealed("host"));
  EXPECT_EQ(DeviceIdentity::loadOrCreate("host").publicKey(), DeviceIdentity(other).publicKey());

  // Where there is no file at all, sealing creates the sealed file of the key.
  fs::remove(keyFile());
  DeviceIdentity::markSealed("host", DeviceIdentity(kSeed));
  EXPECT_EQ(read(keyFile()), concat(kSeed, Bytes{0x01}));
  EXPECT_EQ(mode(keyFile()), 0600u);
}

TEST_F(KeyFileTest, LegacyKeyIsMovedOnce) {
  write(legacyFile(), kSeed);
  ::chmod(legacyFile().c_str(), 0644);
  EXPECT_EQ(DeviceIdentity::loadOrCreate("host").publicKey(), kPublicKey);
  EXPECT_FALSE(fs::exists(legacyFile()));
  EXPECT_EQ(read(keyFile()), kSeed);
  EXPECT_EQ(mode(keyFile()), 0600u);

  // A legacy file that shows up again never replaces the current key.
  const Bytes other(32, 0x07);
  write(legacyFile(), other);
  EXPECT_EQ(DeviceIdentity::loadOrCreate("host").publicKey(), kPublicKey);
  EXPECT_EQ(read(legacyFile()), other);
}

}  // namespace
}  // namespace ombrel
