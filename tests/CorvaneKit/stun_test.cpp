#include "CorvaneKit/stun.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "CorvaneKit/stun_probe.h"
#include "base/clock.h"
#include "base/runtime.h"
#include "support/mailbox.h"

namespace ombrel {
namespace {

// RFC 5769's transaction and the XOR-MAPPED-ADDRESS values of its sample responses.
const Bytes rfcTransaction = fromHex("b7e7a701bc34d686fa87dfae");
const Bytes xorIPv4 = fromHex("0001a147e112a643");  // 192.0.2.1:32853
const Bytes xorIPv6 = fromHex("0002a1470113a9faa5d3f179bc25f4b5bed2b9d9");
const STUN::Address rfcIPv4{"192.0.2.1", 32853};
const STUN::Address rfcIPv6{"2001:db8:1234:5678:11:2233:4455:6677", 32853};

const Bytes rfcRequest = fromHex(
    "000100582112a442b7e7a701bc34d686fa87dfae"
    "802200105354554e207465737420636c69656e74"
    "002400046e0001ff"
    "80290008932ff9b151263b36"
    "000600096576746a3a68367659202020"
    "000800149aeaa70cbfd8cb56781ef2b5b2d3f249c1b571a2"
    "80280004e57a3bcf");
const Bytes rfcIPv4Response = fromHex(
    "0101003c2112a442b7e7a701bc34d686fa87dfae"
    "8022000b7465737420766563746f7220"
    "002000080001a147e112a643"
    "000800142b91f599fd9e90c38c7489f92af9ba53f06be7d7"
    "80280004c07d4c96");
const Bytes rfcIPv6Response = fromHex(
    "010100482112a442b7e7a701bc34d686fa87dfae"
    "8022000b7465737420766563746f7220"
    "002000140002a1470113a9faa5d3f179bc25f4b5bed2b9d9"
    "00080014a382954e4be67bf11784c97c8292c275bfe3ed41"
    "80280004c8fb0b4c");

struct Attribute {
  std::uint16_t type;
  Bytes value;
};
// In an attribute list: a FINGERPRINT over everything before it.
const Attribute fingerprintHere{STUN::fingerprintAttribute, {}};

void put16(Bytes& out, std::size_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value));
}

std::size_t padded(std::size_t size) { return (size + 3) & ~std::size_t{3}; }

// A message with the attributes in order, zero-padded, and a length field that fits them.
Bytes message(std::uint16_t type, const std::vector<Attribute>& attributes,
              ByteView transaction = rfcTransaction) {
  std::size_t length = 0;
  for (const auto& a : attributes) length += 4 + (a.value.empty() ? 4 : padded(a.value.size()));
  Bytes out;
  put16(out, type);
  put16(out, length);
  out.insert(out.end(), {0x21, 0x12, 0xa4, 0x42});
  out.insert(out.end(), transaction.begin(), transaction.end());
  for (const auto& a : attributes) {
    Bytes value = a.value;
    if (a.type == STUN::fingerprintAttribute && value.empty()) {
      const std::uint32_t crc = STUN::fingerprint(out);
      value = {static_cast<std::uint8_t>(crc >> 24), static_cast<std::uint8_t>(crc >> 16),
               static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)};
    }
    put16(out, a.type);
    put16(out, value.size());
    out.insert(out.end(), value.begin(), value.end());
    out.resize(padded(out.size()));
  }
  return out;
}

Bytes response(const std::vector<Attribute>& attributes) {
  return message(STUN::bindingSuccessResponse, attributes);
}

Bytes patched(Bytes data, std::size_t at, const Bytes& bytes) {
  std::copy(bytes.begin(), bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(at));
  return data;
}

// RFC 5769's responses with MESSAGE-INTEGRITY (comprehension-required, so `unsupported` here)
// left out and the FINGERPRINT recomputed.
Bytes withoutIntegrity(const Bytes& vector) {
  Bytes out(vector.begin(), vector.end() - 32);
  out[3] = static_cast<std::uint8_t>(out[3] - 24);
  const std::uint32_t crc = STUN::fingerprint(out);
  out.insert(out.end(), {0x80, 0x28, 0x00, 0x04});
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(crc >> shift));
  return out;
}

TEST(STUNTest, RFC5769VectorsCarryTheirFingerprints) {
  for (const Bytes* vector : {&rfcRequest, &rfcIPv4Response, &rfcIPv6Response}) {
    const std::size_t at = vector->size() - 4;
    const std::uint32_t stored = std::uint32_t{(*vector)[at]} << 24 |
                                 std::uint32_t{(*vector)[at + 1]} << 16 |
                                 std::uint32_t{(*vector)[at + 2]} << 8 | (*vector)[at + 3];
    EXPECT_EQ(STUN::fingerprint(ByteView(*vector).first(vector->size() - 8)), stored)
        << hexString(*vector);
  }
}

TEST(STUNTest, RequestIsTheBareBindingRequest) {
  auto request = STUN::request(rfcTransaction);
  ASSERT_TRUE(request);
  EXPECT_EQ(hexString(*request), "000100002112a442b7e7a701bc34d686fa87dfae");
  for (std::size_t size : {0, 11, 13}) {
    EXPECT_EQ(STUN::request(Bytes(size, 7)).error(), STUN::Failure::invalidTransaction) << size;
  }
  const Bytes first = STUN::transaction();
  const Bytes second = STUN::transaction();
  EXPECT_EQ(first.size(), 12u);
  EXPECT_NE(first, second);
}

using Expected = std::variant<STUN::Address, STUN::Failure>;

struct ResponseCase {
  const char* name;
  Bytes data;
  Expected expected;
  Bytes transaction = rfcTransaction;
};

class STUNResponseTest : public ::testing::TestWithParam<ResponseCase> {};

TEST_P(STUNResponseTest, Parses) {
  const ResponseCase& c = GetParam();
  auto result = STUN::address(c.data, c.transaction);
  if (const auto* address = std::get_if<STUN::Address>(&c.expected)) {
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(result->host, address->host);
    EXPECT_EQ(result->port, address->port);
  } else {
    ASSERT_FALSE(result) << result->host;
    EXPECT_EQ(result.error(), std::get<STUN::Failure>(c.expected)) << result.error().message();
  }
}

const Bytes software = toBytes("test vector");
const Bytes mappedOther = fromHex("000112340a000001");  // MAPPED-ADDRESS 10.0.0.1:4660
const Bytes xorFamily3 = patched(xorIPv4, 1, {3});
const Bytes ipv4At2048 = response({{0x8022, Bytes(2048 - 20 - 12 - 4, 'x')}, {0x0020, xorIPv4}});
const Bytes ipv4At2052 = response({{0x8022, Bytes(2052 - 20 - 12 - 4, 'x')}, {0x0020, xorIPv4}});
const Bytes plainIPv4 = response({{0x0020, xorIPv4}});
const Bytes fingerprinted = response({{0x0020, xorIPv4}, fingerprintHere});

Bytes truncatedBy(Bytes data, std::size_t bytes, std::size_t length) {
  data.resize(data.size() - bytes);
  return patched(data, 2, {0, static_cast<std::uint8_t>(length)});
}

INSTANTIATE_TEST_SUITE_P(
    Table, STUNResponseTest,
    ::testing::Values(
        ResponseCase{"RFC5769IPv4", withoutIntegrity(rfcIPv4Response), rfcIPv4},
        ResponseCase{"RFC5769IPv6", withoutIntegrity(rfcIPv6Response), rfcIPv6},
        ResponseCase{"RFC5769IPv4WithIntegrity", rfcIPv4Response, STUN::Failure::unsupported},
        ResponseCase{"PlainIPv4", plainIPv4, rfcIPv4},
        ResponseCase{"IPv6WithFingerprint", response({{0x0020, xorIPv6}, fingerprintHere}),
                     rfcIPv6},
        ResponseCase{"XorPreferredOverEarlierMapped",
                     response({{0x0001, mappedOther}, {0x0020, xorIPv4}}), rfcIPv4},
        ResponseCase{"XorPreferredOverLaterMapped",
                     response({{0x0020, xorIPv4}, {0x0001, mappedOther}}), rfcIPv4},
        ResponseCase{"MappedOnly", response({{0x0001, mappedOther}}), STUN::Failure::malformed},
        ResponseCase{"NoAttributes", response({}), STUN::Failure::malformed},
        ResponseCase{"OptionalAttributeSkipped",
                     response({{0x8022, software}, {0x0020, xorIPv4}, fingerprintHere}), rfcIPv4},
        ResponseCase{"ComprehensionRequired", response({{0x0006, software}, {0x0020, xorIPv4}}),
                     STUN::Failure::unsupported},
        ResponseCase{"UnsupportedBeforeBadXor",
                     response({{0x0006, software}, {0x0020, xorFamily3}}),
                     STUN::Failure::unsupported},
        ResponseCase{"BadXorBeforeUnsupported",
                     response({{0x0020, xorFamily3}, {0x0006, software}}),
                     STUN::Failure::malformed},
        ResponseCase{"XorTwice", response({{0x0020, xorIPv4}, {0x0020, xorIPv4}}),
                     STUN::Failure::malformed},
        ResponseCase{"UnknownFamily", response({{0x0020, xorFamily3}}), STUN::Failure::malformed},
        ResponseCase{"IPv4FamilyWithIPv6Size", response({{0x0020, patched(xorIPv6, 1, {1})}}),
                     STUN::Failure::malformed},
        ResponseCase{"IPv6FamilyWithIPv4Size", response({{0x0020, patched(xorIPv4, 1, {2})}}),
                     STUN::Failure::malformed},
        ResponseCase{"NonZeroFirstByte", response({{0x0020, patched(xorIPv4, 0, {1})}}),
                     STUN::Failure::malformed},
        ResponseCase{"XorValueTooShort", response({{0x0020, fromHex("0001")}}),
                     STUN::Failure::malformed},
        ResponseCase{"PortZero", response({{0x0020, patched(xorIPv4, 2, {0x21, 0x12})}}),
                     STUN::Failure::malformed},
        ResponseCase{"BadFingerprint",
                     patched(fingerprinted, fingerprinted.size() - 1,
                             {static_cast<std::uint8_t>(fingerprinted.back() ^ 1)}),
                     STUN::Failure::malformed},
        ResponseCase{"FingerprintNotLast",
                     response({{0x0020, xorIPv4}, fingerprintHere, {0x8022, software}}),
                     STUN::Failure::malformed},
        ResponseCase{"FingerprintOfEightBytes",
                     response({{0x0020, xorIPv4}, {STUN::fingerprintAttribute, Bytes(8, 0)}}),
                     STUN::Failure::malformed},
        ResponseCase{"WrongCookie", patched(plainIPv4, 4, {0x21, 0x12, 0xa4, 0x43}),
                     STUN::Failure::malformed},
        ResponseCase{"WrongTransaction", plainIPv4, STUN::Failure::malformed,
                     fromHex("b7e7a701bc34d686fa87dfaf")},
        ResponseCase{"ShortTransaction", plainIPv4, STUN::Failure::invalidTransaction,
                     fromHex("b7e7a701bc34d686fa87df")},
        ResponseCase{"ShortTransactionBeatsGarbage", Bytes{}, STUN::Failure::invalidTransaction,
                     Bytes{}},
        ResponseCase{"ErrorResponse", patched(plainIPv4, 0, {0x01, 0x11}),
                     STUN::Failure::malformed},
        ResponseCase{"Request", patched(plainIPv4, 0, {0x00, 0x01}), STUN::Failure::malformed},
        ResponseCase{"HeaderOnly19Bytes", Bytes(plainIPv4.begin(), plainIPv4.begin() + 19),
                     STUN::Failure::malformed},
        ResponseCase{"Exactly2048Bytes", ipv4At2048, rfcIPv4},
        ResponseCase{"Over2048Bytes", ipv4At2052, STUN::Failure::malformed},
        ResponseCase{"LengthNotMultipleOf4", truncatedBy(plainIPv4, 2, 10),
                     STUN::Failure::malformed},
        ResponseCase{"LengthBelowDatagram", concat(plainIPv4, Bytes(4, 0)),
                     STUN::Failure::malformed},
        ResponseCase{"ValuePastTheEnd", truncatedBy(plainIPv4, 4, 8), STUN::Failure::malformed}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(STUNTest, SuccessResponseCarriesTheSeenAddress) {
  // The encoded attribute is RFC 5769's, and the message parses back.
  for (const auto& [seen, attribute] : {std::pair{rfcIPv4, xorIPv4}, std::pair{rfcIPv6, xorIPv6}}) {
    auto built = STUN::successResponse(rfcTransaction, seen);
    ASSERT_TRUE(built) << seen.host;
    EXPECT_NE(hexString(*built).find("0020" + std::string(attribute.size() == 8 ? "0008" : "0014") +
                                     hexString(attribute)),
              std::string::npos);
    auto parsed = STUN::address(*built, rfcTransaction);
    ASSERT_TRUE(parsed) << parsed.error().message();
    EXPECT_EQ(*parsed, seen);
    // It ends in a FINGERPRINT: one flipped bit anywhere before it is caught.
    Bytes damaged = *built;
    damaged[28] ^= 0x10;
    EXPECT_EQ(STUN::address(damaged, rfcTransaction).error(), STUN::Failure::malformed);
  }
  EXPECT_EQ(STUN::successResponse(Bytes(11, 0), rfcIPv4).error(),
            STUN::Failure::invalidTransaction);
  for (const STUN::Address& bad :
       {STUN::Address{"relay.example", 80}, STUN::Address{"", 80}, STUN::Address{"192.0.2.1", 0}}) {
    EXPECT_EQ(STUN::successResponse(rfcTransaction, bad).error(), STUN::Failure::malformed)
        << bad.host;
  }
}

TEST(STUNTest, ServerRecognisesBindingRequests) {
  const Bytes bare = *STUN::request(rfcTransaction);
  const std::vector<std::pair<Bytes, bool>> cases = {
      {bare, true},
      {message(STUN::bindingRequest, {{0x8022, software}, fingerprintHere}), true},
      // ICE's request carries USERNAME and MESSAGE-INTEGRITY, which a plain server cannot honour.
      {rfcRequest, false},
      {patched(message(STUN::bindingRequest, {{0x8022, software}, fingerprintHere}), 30, {'T'}),
       false},
      {patched(bare, 4, {0}), false},
      {plainIPv4, false},
      {concat(bare, Bytes(4, 0)), false},
      {truncatedBy(message(STUN::bindingRequest, {{0x8022, software}}), 4, 12), false},
      {Bytes(bare.begin(), bare.end() - 1), false},
      {toBytes("GET / HTTP/1.1\r\nHost: relay.example\r\n\r\n"), false},
  };
  for (const auto& [data, answerable] : cases) {
    auto transaction = STUN::bindingRequestTransaction(data);
    EXPECT_EQ(transaction.has_value(), answerable) << hexString(data);
    EXPECT_EQ(STUN::isBindingRequest(data), answerable);
    if (transaction) {
      EXPECT_EQ(*transaction, rfcTransaction);
    }
  }
}

socklen_t socketAddress(const std::string& ip, std::uint16_t port, sockaddr_storage& address) {
  address = {};
  if (ip.find(':') == std::string::npos) {
    auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    inet_pton(AF_INET, ip.c_str(), &v4->sin_addr);
    return sizeof(sockaddr_in);
  }
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  v6->sin6_family = AF_INET6;
  v6->sin6_port = htons(port);
  inet_pton(AF_INET6, ip.c_str(), &v6->sin6_addr);
  return sizeof(sockaddr_in6);
}

// A UDP socket on a loopback address that the test drives by hand: it stays silent, answers
// whatever it is told to, and counts what arrives.
class UdpPeer {
 public:
  explicit UdpPeer(const std::string& ip = "127.0.0.1") {
    sockaddr_storage address{};
    socklen_t size = socketAddress(ip, 0, address);
    fd_ = socket(address.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), size) != 0) {
      ADD_FAILURE() << "UDP socket on " << ip << ": " << strerror(errno);
      return;
    }
    size = sizeof address;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &size);
    port_ =
        ntohs(address.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&address)->sin_port
                                           : reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
  }
  ~UdpPeer() { close(); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  std::uint16_t port() const { return port_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // The next datagram, waiting at most `limit`; the sender becomes the peer `reply` answers.
  std::optional<Bytes> receive(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    pollfd p{.fd = fd_, .events = POLLIN, .revents = 0};
    if (poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    Bytes data(65536);
    senderSize_ = sizeof sender_;
    const ssize_t got = recvfrom(fd_, data.data(), data.size(), 0,
                                 reinterpret_cast<sockaddr*>(&sender_), &senderSize_);
    if (got < 0) return std::nullopt;
    data.resize(static_cast<std::size_t>(got));
    return data;
  }
  // Datagrams waiting right now.
  std::size_t pending() {
    std::size_t count = 0;
    while (receive(std::chrono::milliseconds(0))) ++count;
    return count;
  }
  void sendTo(ByteView data, const std::string& ip, std::uint16_t port) {
    sockaddr_storage address{};
    const socklen_t size = socketAddress(ip, port, address);
    sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&address), size);
  }
  void reply(ByteView data) {
    ASSERT_EQ(sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&sender_),
                     senderSize_),
              static_cast<ssize_t>(data.size()));
  }

 private:
  int fd_ = -1;
  std::uint16_t port_ = 0;
  sockaddr_storage sender_{};
  socklen_t senderSize_ = 0;
};

using Outcome = STUN::Result<STUN::Address>;

class STUNProbeTest : public ::testing::Test {
 protected:
  STUNProbe::Completion collect(const std::shared_ptr<STUNProbe>& probe) {
    return [this, queue = probe->queue().get()](Outcome outcome) {
      EXPECT_TRUE(queue->isCurrent());
      results.put(std::move(outcome));
    };
  }

  std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>();
  test::Mailbox<Outcome> results;
  Runtime runtime{Runtime::Options{.threads = 2, .clock = clock}};
};

TEST_F(STUNProbeTest, NeedsAHostAndAPort) {
  EXPECT_EQ(STUNProbe::create("", 3478, runtime), nullptr);
  EXPECT_EQ(STUNProbe::create("127.0.0.1", 0, runtime), nullptr);
  auto probe = STUNProbe::create("stun.example", 3478, runtime);
  ASSERT_NE(probe, nullptr);
  EXPECT_EQ(probe->queue()->label(), "corvane.stun.probe");
  EXPECT_EQ(probe->transaction().size(), 12u);
  EXPECT_EQ(STUNProbe::effectiveTimeout(std::nan("")), 5);
  EXPECT_EQ(STUNProbe::effectiveTimeout(-INFINITY), 5);
  EXPECT_EQ(STUNProbe::effectiveTimeout(-1), 0.1);
}

struct ScheduleCase {
  const char* name;
  double timeout;
  std::vector<double> sends;  // seconds after readiness
  double deadline;
};

class STUNProbeScheduleTest : public STUNProbeTest,
                              public ::testing::WithParamInterface<ScheduleCase> {};

// Against a server that never answers: the request at readiness, the retransmissions that fall
// before the deadline, then `timeout` at the deadline and nothing after it.
TEST_P(STUNProbeScheduleTest, RetransmitsUntilTheDeadline) {
  const ScheduleCase& c = GetParam();
  UdpPeer silent;
  auto probe = STUNProbe::create("127.0.0.1", silent.port(), runtime);
  probe->start(c.timeout, collect(probe));
  const auto first = silent.receive();
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, *STUN::request(probe->transaction()));
  double now = 0;
  for (std::size_t i = 1; i < c.sends.size(); ++i) {
    EXPECT_EQ(silent.pending(), 0u) << "before " << c.sends[i];
    clock->advance(c.sends[i] - now);
    now = c.sends[i];
    const auto again = silent.receive();
    ASSERT_TRUE(again) << "no retransmission at " << now;
    EXPECT_EQ(*again, *first);
  }
  constexpr double margin = 1.0 / 64;
  clock->advance(c.deadline - margin - now);
  EXPECT_EQ(results.size(), 0u);
  EXPECT_EQ(silent.pending(), 0u);
  clock->advance(2 * margin);
  const auto outcome = results.take();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->error(), STUN::Failure::timeout);
  clock->advance(60);
  EXPECT_EQ(silent.pending(), 0u);
  EXPECT_EQ(results.size(), 0u);
  EXPECT_EQ(clock->pendingTimers(), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, STUNProbeScheduleTest,
    ::testing::Values(ScheduleCase{"TwoSeconds", 2, {0, 0.5, 1.5}, 2},
                      ScheduleCase{"Infinite", INFINITY, {0, 0.5, 1.5, 3.5}, 5},
                      ScheduleCase{"HundredSeconds", 100, {0, 0.5, 1.5, 3.5, 7.5, 15.5}, 30},
                      ScheduleCase{"BelowMinimum", 0.01, {0}, 0.1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(STUNProbeTest, AnswersToAnotherTransactionAreIgnoredUntilTheDeadline) {
  UdpPeer server;
  auto probe = STUNProbe::create("127.0.0.1", server.port(), runtime);
  probe->start(2, collect(probe));
  Bytes other = probe->transaction();
  other[11] ^= 1;
  double now = 0;
  for (double at : {0.0, 0.5, 1.5}) {
    clock->advance(at - now);
    now = at;
    ASSERT_TRUE(server.receive()) << at;
    server.reply(*STUN::successResponse(other, {"192.0.2.1", 32853}));
  }
  // The last answer is in before the deadline: a probe that took it would report by now.
  probe->queue()->sync([] {});
  clock->advance(0.25);
  EXPECT_EQ(results.size(), 0u);
  clock->advance(0.25);
  const auto outcome = results.take();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->error(), STUN::Failure::timeout);
}

TEST_F(STUNProbeTest, SkipsWhatDoesNotParseAndTakesTheAnswer) {
  UdpPeer server;
  auto probe = STUNProbe::create("127.0.0.1", server.port(), runtime);
  probe->start(5, collect(probe));
  const auto request = server.receive();
  ASSERT_TRUE(request);
  const Bytes& id = probe->transaction();
  const STUN::Address seen{"198.51.100.7", 40000};
  const Bytes answer = *STUN::successResponse(id, seen);
  Bytes otherId = id;
  otherId[0] ^= 0x80;
  for (const Bytes& junk : {*STUN::successResponse(otherId, seen), patched(answer, 4, {0}),
                            message(STUN::bindingSuccessResponse, {{0x0001, mappedOther}}, id),
                            message(STUN::bindingSuccessResponse, {{0x0006, software}}, id),
                            *request, Bytes{1}, concat(answer, Bytes(3000, 0))}) {
    server.reply(junk);
  }
  server.reply(answer);
  const auto outcome = results.take();
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(*outcome) << outcome->error().message();
  EXPECT_EQ(outcome->value(), seen);
}

TEST_F(STUNProbeTest, CancelFinishesOnceAndForGood) {
  UdpPeer silent;
  auto probe = STUNProbe::create("127.0.0.1", silent.port(), runtime);
  probe->start(30, collect(probe));
  ASSERT_TRUE(silent.receive());
  probe->cancel();
  auto outcome = results.take();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->error(), STUN::Failure::cancelled);
  probe->cancel();
  // A finished probe does not run again: a second start reports `cancelled` at once.
  probe->start(30, collect(probe));
  outcome = results.take();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->error(), STUN::Failure::cancelled);
  clock->advance(60);
  probe->queue()->sync([] {});
  EXPECT_EQ(results.size(), 0u);
  EXPECT_EQ(silent.pending(), 0u);

  // Cancelled before it started: the start is the one report, and nothing is sent.
  auto idle = STUNProbe::create("127.0.0.1", silent.port(), runtime);
  idle->cancel();
  idle->start(30, collect(idle));
  outcome = results.take();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->error(), STUN::Failure::cancelled);
  EXPECT_FALSE(silent.receive(std::chrono::milliseconds(200)));
}

TEST_F(STUNProbeTest, ReportsEvenWhenTheOwnerLetsGo) {
  UdpPeer silent;
  auto probe = STUNProbe::create("127.0.0.1", silent.port(), runtime);
  std::weak_ptr<STUNProbe> watch = probe;
  probe->start(2, collect(probe));
  probe.reset();
  ASSERT_TRUE(silent.receive());
  clock->advance(2);
  const auto outcome = results.take();
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->error(), STUN::Failure::timeout);
  // Once it has reported, nothing holds it any more.
  runtime.makeQueue("flush")->sync([] {});
  for (int i = 0; i < 100 && !watch.expired(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_TRUE(watch.expired());
}

TEST_F(STUNProbeTest, NetworkErrorsEndTheProbe) {
  std::uint16_t closedPort = 0;
  {
    UdpPeer gone;
    closedPort = gone.port();
  }
  // Nothing listens: the port-unreachable answer reaches the probe's connected socket.
  auto probe = STUNProbe::create("127.0.0.1", closedPort, runtime);
  probe->start(30, collect(probe));
  auto outcome = results.take(std::chrono::seconds(20));
  ASSERT_TRUE(outcome);
  EXPECT_EQ(outcome->error(), std::errc::connection_refused) << outcome->error().message();

  // A name that cannot resolve ends it with the resolver's error.
  auto nowhere = STUNProbe::create("nowhere.invalid", 3478, runtime);
  nowhere->start(30, collect(nowhere));
  outcome = results.take(std::chrono::seconds(30));
  ASSERT_TRUE(outcome);
  EXPECT_FALSE(*outcome);
  EXPECT_NE(outcome->error(), STUN::Failure::timeout);
}

// coturn's STUN server on a loopback address, with its files in a private directory.
class TurnServer {
 public:
  static bool available() { return std::system("command -v turnserver >/dev/null 2>&1") == 0; }

  explicit TurnServer(const std::string& ip) : ip_(ip) {
    std::string pattern = (std::filesystem::temp_directory_path() / "ombrel-turn-XXXXXX").string();
    dir_ = mkdtemp(pattern.data());
    {
      UdpPeer probe(ip);
      port_ = probe.port();
    }
    const std::string port = std::to_string(port_);
    std::vector<std::string> args = {"turnserver",
                                     "-c",
                                     "/dev/null",
                                     "--listening-ip=" + ip,
                                     "--listening-port=" + port,
                                     "--stun-only",
                                     "--no-tls",
                                     "--no-dtls",
                                     "--no-tcp",
                                     "--no-cli",
                                     "--log-file=stdout",
                                     "--pidfile=" + (dir_ / "turnserver.pid").string(),
                                     "--db=" + (dir_ / "turndb").string()};
    const std::string log = (dir_ / "log").string();
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
      execvp("turnserver", argv.data());
      _exit(127);
    }
  }
  ~TurnServer() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TurnServer(const TurnServer&) = delete;
  TurnServer& operator=(const TurnServer&) = delete;

  std::uint16_t port() const { return port_; }

  // Asks until the server answers a Binding request (it binds its port some time after it
  // starts; a probe sent before that would meet port-unreachable).
  bool waitUntilServing() {
    UdpPeer client(ip_);
    const Bytes id = STUN::transaction();
    const Bytes request = *STUN::request(id);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      client.sendTo(request, ip_, port_);
      if (auto answer = client.receive(std::chrono::milliseconds(200))) {
        if (STUN::address(*answer, id)) return true;
      }
    }
    return false;
  }

 private:
  std::string ip_;
  std::filesystem::path dir_;
  std::uint16_t port_ = 0;
  pid_t pid_ = -1;
};

class STUNProbeServerTest : public ::testing::TestWithParam<const char*> {};

TEST_P(STUNProbeServerTest, LearnsTheMappedAddressFromCoturn) {
  if (!TurnServer::available()) GTEST_SKIP() << "coturn's turnserver is not installed";
  const std::string ip = GetParam();
  TurnServer server(ip);
  ASSERT_TRUE(server.waitUntilServing()) << "turnserver on " << ip << " did not answer";
  test::Mailbox<Outcome> results;
  Runtime runtime;
  auto probe = STUNProbe::create(ip, server.port(), runtime);
  probe->start(10, [&results](Outcome outcome) { results.put(std::move(outcome)); });
  auto outcome = results.take(std::chrono::seconds(20));
  ASSERT_TRUE(outcome);
  ASSERT_TRUE(*outcome) << outcome->error().message();
  EXPECT_EQ((*outcome)->host, ip);
  EXPECT_NE((*outcome)->port, 0);
  // Delivered means done: a later cancel reports nothing.
  probe->cancel();
  probe->queue()->sync([] {});
  EXPECT_EQ(results.size(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Loopback, STUNProbeServerTest, ::testing::Values("127.0.0.1", "::1"),
                         [](const auto& info) {
                           return std::string(info.index == 0 ? "IPv4" : "IPv6");
                         });

}  // namespace
}  // namespace ombrel
