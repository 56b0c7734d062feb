#include "Ombrel_Remote_Host/trust/trusted_client_store.h"

#include <gtest/gtest.h>

#include "base/base64.h"
#include "base/log.h"
#include "host/stored_trusted_list.h"
#include "support/temp_home.h"

namespace ombrel {
namespace {

using Json = NVJSON::Json;

// Stands in for the controller's session list: records which keys lost their sessions.
class RecordingRegistry : public SessionRegistry {
 public:
  void closeSessions(ByteView publicKey) override {
    closed.emplace_back(publicKey.begin(), publicKey.end());
  }
  std::vector<Bytes> closed;
};

const Bytes keyA(32, 0xa1), keyB(32, 0xb2), keyC(32, 0xc3), keyD(32, 0xd4);

class TrustedClientStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previousSink_ = log::setSink([this](std::string_view text) { logged_.emplace_back(text); });
  }
  void TearDown() override { log::setSink(previousSink_); }

  HostSettings settings() const { return test::storedHostSettings(); }
  std::unique_ptr<TrustedClientStore> open() {
    auto store = std::make_unique<TrustedClientStore>(settings(), identity_, clock_);
    store->setSessionRegistry(&registry_);
    return store;
  }
  void storeList(const Bytes& list, std::optional<Bytes> seal) {
    test::storeTrustedList(list, std::move(seal));
  }
  bool loggedTamper() const {
    return std::ranges::count(logged_, std::string(TrustedClientStore::tamperedLogLine)) > 0;
  }
  double referenceNow() const { return ReferenceDate::fromUnix(clock_.wallSeconds()); }

  test::TempHome home_;
  DeviceIdentity identity_{Bytes(32, 0x42)};
  ManualClock clock_{std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000))};
  RecordingRegistry registry_;
  std::vector<std::string> logged_;
  log::Sink previousSink_;
};

const std::vector<TrustedClient> sampleList = {
    {.publicKey = keyA, .name = "iPhone", .addedAt = 700000000.5},
    {.publicKey = keyB, .name = "助手", .addedAt = 700000001, .expiresAt = 900000000},
};

TEST_F(TrustedClientStoreTest, SealDecidesWhetherAStoredListIsKept) {
  const Bytes list = NVJSON::encode(sampleList);
  Bytes edited = list;
  edited[edited.size() / 2] ^= 0x01;
  const DeviceIdentity other(Bytes(32, 0x43));
  struct Case {
    const char* name;
    bool sealedBefore;
    Bytes stored;
    std::optional<Bytes> seal;
    bool kept;
    bool logged;
  };
  const Case cases[] = {
      {"valid seal", true, list, identity_.seal(list, "trusted-list-v1"), true, false},
      {"seal removed by hand", true, list, std::nullopt, false, true},
      {"list edited after sealing", true, edited, identity_.seal(list, "trusted-list-v1"), false,
       true},
      {"sealed by another identity", true, list, other.seal(list, "trusted-list-v1"), false, true},
      {"sealed for another purpose", true, list, identity_.seal(list, "other"), false, true},
      {"host never sealed", false, list, std::nullopt, true, false},
      {"host never sealed, wrong seal", false, list, Bytes(32, 0), true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempHome home;  // a fresh host for each case
    logged_.clear();
    if (c.sealedBefore) DeviceIdentity::markSealed("host", identity_);
    storeList(c.stored, c.seal);

    auto store = open();
    EXPECT_EQ(store->clients(), c.kept ? sampleList : std::vector<TrustedClient>{});
    EXPECT_EQ(loggedTamper(), c.logged);
    EXPECT_EQ(store->isTrusted(keyA), c.kept);

    // Whatever was found, the list on disk is now the one in memory, sealed, and the host is
    // marked sealed.
    HostSettings reread = settings();
    ASSERT_TRUE(reread.trustedClients());
    EXPECT_EQ(NVJSON::decode<std::vector<TrustedClient>>(*reread.trustedClients()),
              store->clients());
    EXPECT_EQ(reread.trustedClientsSeal(),
              identity_.seal(*reread.trustedClients(), "trusted-list-v1"));
    EXPECT_TRUE(DeviceIdentity::isSealed("host"));
  }
}

TEST_F(TrustedClientStoreTest, UnreadableListStartsEmptyAndIsOverwritten) {
  DeviceIdentity::markSealed("host", identity_);
  const Bytes garbage[] = {toBytes("not json"), toBytes(R"([{"name": "no key"}])"),
                           toBytes(R"({"publicKey": "AA=="})"),
                           toBytes(R"([{"publicKey": "%%", "name": "x", "addedAt": 1}])")};
  for (const Bytes& stored : garbage) {
    storeList(stored, identity_.seal(stored, "trusted-list-v1"));
    EXPECT_TRUE(open()->clients().empty()) << toString(stored);
    EXPECT_EQ(settings().trustedClients(), toBytes("[]"));
  }
  EXPECT_FALSE(loggedTamper());

  // No list stored at all is an empty list, not tampering.
  settings().store().remove("trustedClients");
  EXPECT_TRUE(open()->clients().empty());
  EXPECT_FALSE(loggedTamper());
}

TEST_F(TrustedClientStoreTest, PersistedFormRoundTrips) {
  {
    auto store = open();
    store->trust(keyA, "Mac 筆電", std::nullopt);
    clock_.advance(0.25);
    store->trust(keyB, "支援", 3600);
  }
  const double unixAdded = clock_.wallSeconds();
  auto store = open();
  ASSERT_EQ(store->clients().size(), 2u);
  EXPECT_TRUE(store->isTrusted(keyA));
  EXPECT_FALSE(store->isLimited(keyA));
  EXPECT_TRUE(store->isTrusted(keyB));
  EXPECT_TRUE(store->isLimited(keyB));

  Json stored = Json::parse(toString(*settings().trustedClients()));
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0]["publicKey"], base64::encode(keyA));
  EXPECT_EQ(stored[0]["name"], "Mac 筆電");
  EXPECT_FALSE(stored[0].contains("expiresAt"));
  // Dates count from 2001-01-01 UTC.
  EXPECT_DOUBLE_EQ(stored[1]["addedAt"].get<double>(), unixAdded - 978307200.0);
  EXPECT_DOUBLE_EQ(stored[1]["expiresAt"].get<double>(), unixAdded - 978307200.0 + 3600);
  EXPECT_EQ(store->clients()[1].addedAt, stored[1]["addedAt"].get<double>());
}

TEST_F(TrustedClientStoreTest, TrustReplacesTheKeysEntry) {
  auto store = open();
  store->trust(keyA, "old", 600);
  store->trust(keyB, "other", std::nullopt);
  clock_.advance(10);
  store->trust(keyA, "new", std::nullopt);
  ASSERT_EQ(store->clients().size(), 2u);
  const TrustedClient a = store->clients()[1];
  EXPECT_EQ(a.publicKey, keyA);
  EXPECT_EQ(a.name, "new");
  EXPECT_EQ(a.addedAt, referenceNow());
  EXPECT_EQ(a.expiresAt, std::nullopt);
  EXPECT_FALSE(store->isLimited(keyA));
  EXPECT_FALSE(store->isLimited(keyC));  // unknown keys are neither trusted nor limited
  EXPECT_FALSE(store->isTrusted(keyC));
}

TEST_F(TrustedClientStoreTest, GrantEndingNowIsNotTrustedAndExpiresOnNextTick) {
  auto store = open();
  std::vector<std::string> events;
  store->onEvent = [&](const std::string& text) { events.push_back(text); };
  store->trust(keyA, "助手的 iPad", 60);
  store->trust(keyB, "owner", std::nullopt);

  clock_.advance(59.5);
  EXPECT_TRUE(store->isTrusted(keyA));
  store->expireGrants(false);
  EXPECT_EQ(store->clients().size(), 2u);

  clock_.advance(0.5);  // expiresAt == now
  EXPECT_FALSE(store->isTrusted(keyA));
  EXPECT_TRUE(store->isLimited(keyA));
  EXPECT_TRUE(store->limitedGrants().empty());
  store->expireGrants(false);
  ASSERT_EQ(store->clients().size(), 1u);
  EXPECT_EQ(store->clients()[0].publicKey, keyB);
  EXPECT_FALSE(store->isLimited(keyA));
  EXPECT_EQ(store->lastEvent(), "已收回「助手的 iPad」的遠端操作權限");
  EXPECT_EQ(events, std::vector<std::string>{"已收回「助手的 iPad」的遠端操作權限"});
  EXPECT_EQ(registry_.closed, std::vector<Bytes>{keyA});
  EXPECT_EQ(open()->clients().size(), 1u);  // the removal was saved
}

TEST_F(TrustedClientStoreTest, ExtendAndMakePermanentTouchOnlyRunningGrants) {
  auto store = open();
  store->trust(keyD, "elapsed", 5);
  clock_.advance(10);
  const double start = referenceNow();
  store->trust(keyA, "permanent", std::nullopt);
  store->trust(keyB, "later", 100);
  store->trust(keyC, "sooner", 50);

  std::vector<std::vector<TrustedClient>> published;
  store->onChange = [&](const std::vector<TrustedClient>& list) { published.push_back(list); };
  store->extendGrants(1800);
  auto byKey = [&](const Bytes& key) {
    for (const TrustedClient& c : store->clients()) {
      if (c.publicKey == key) return c;
    }
    return TrustedClient{};
  };
  EXPECT_EQ(byKey(keyA).expiresAt, std::nullopt);
  EXPECT_EQ(byKey(keyB).expiresAt, start + 1900);
  EXPECT_EQ(byKey(keyC).expiresAt, start + 1850);
  EXPECT_EQ(byKey(keyD).expiresAt, start - 5);
  ASSERT_EQ(published.size(), 1u);
  EXPECT_EQ(published[0], store->clients());

  auto grants = store->limitedGrants();
  ASSERT_EQ(grants.size(), 2u);
  EXPECT_EQ(grants[0].publicKey, keyC);
  EXPECT_EQ(grants[1].publicKey, keyB);

  store->makeGrantsPermanent();
  EXPECT_FALSE(store->isLimited(keyB));
  EXPECT_FALSE(store->isLimited(keyC));
  EXPECT_TRUE(store->isTrusted(keyC));
  EXPECT_TRUE(store->isLimited(keyD));  // already over: left as it was
  EXPECT_FALSE(store->isTrusted(keyD));
  EXPECT_TRUE(store->limitedGrants().empty());
  EXPECT_FALSE(open()->isLimited(keyB));  // saved
}

TEST_F(TrustedClientStoreTest, ExpireAllEndsEveryGrantButNotPermanentTrust) {
  auto store = open();
  store->trust(keyA, "permanent", std::nullopt);
  store->trust(keyB, "running", 3600);
  store->trust(keyC, "also running", 7200);
  store->expireGrants(true);
  ASSERT_EQ(store->clients().size(), 1u);
  EXPECT_EQ(store->clients()[0].publicKey, keyA);
  EXPECT_EQ(registry_.closed, (std::vector<Bytes>{keyB, keyC}));
  EXPECT_EQ(store->lastEvent(), "已收回「also running」的遠端操作權限");
}

TEST_F(TrustedClientStoreTest, RevokeRemovesEveryEntryOfTheKeyAndClosesItsSessions) {
  // A list not written through `trust` (an older version, unsealed host) may repeat a key; the
  // first entry decides.
  const std::vector<TrustedClient> repeated = {
      {.publicKey = keyA, .name = "first", .addedAt = 1},
      {.publicKey = keyB, .name = "b", .addedAt = 2},
      {.publicKey = keyA, .name = "second", .addedAt = 3, .expiresAt = 4},
  };
  storeList(NVJSON::encode(repeated), std::nullopt);
  auto store = open();
  EXPECT_TRUE(store->isTrusted(keyA));
  EXPECT_FALSE(store->isLimited(keyA));

  store->revoke(store->clients()[2]);
  ASSERT_EQ(store->clients().size(), 1u);
  EXPECT_EQ(store->clients()[0].publicKey, keyB);
  EXPECT_FALSE(store->isTrusted(keyA));
  EXPECT_EQ(registry_.closed, std::vector<Bytes>{keyA});
  EXPECT_EQ(open()->clients().size(), 1u);
}

TEST_F(TrustedClientStoreTest, NonFiniteGrantLengthsChangeNothing) {
  auto store = open();
  store->trust(keyA, "a", 60);
  store->trust(keyB, "b", std::numeric_limits<double>::infinity());
  store->extendGrants(std::numeric_limits<double>::quiet_NaN());
  ASSERT_EQ(store->clients().size(), 1u);
  EXPECT_EQ(store->clients()[0].expiresAt, referenceNow() + 60);
  EXPECT_EQ(open()->clients().size(), 1u);
}

}  // namespace
}  // namespace ombrel
