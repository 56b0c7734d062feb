// CipherState and the host's handshake against raw OpenSSL doing the same work, in one process.
//
//   cipher_bench [--quick]
//
// Prints each case's best thread-CPU time per operation over interleaved rounds (the least
// disturbed run on a shared machine) and the ratio baseline time / our time, so 1.00 means as fast
// as raw OpenSSL. Goals: CipherState seal/open >= 0.90 of raw EVP AES-256-GCM with the key schedule
// and context kept; the host handshake >= 0.70 of the summed raw cost of its crypto steps.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "OmbrelKit/cipher_state.h"
#include "OmbrelKit/handshake.h"

namespace {

using namespace ombrel;

// Time this thread spent on a CPU: on a machine shared with other work, wall time would count
// the moments the scheduler gave the core to someone else.
double threadNanoseconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

volatile std::uint8_t sink;
void keep(const std::uint8_t* data) { sink = sink + data[0]; }

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "raw OpenSSL step failed: %s\n", what);
    std::exit(1);
  }
}

struct Case {
  std::string name;
  std::function<void()> run;  // one operation
  double best = 1e300;        // ns per operation
};

// Runs the cases in turn, `rounds` times, `iterations` operations each, keeping the best.
void measure(std::vector<Case*> cases, int iterations, int rounds) {
  for (Case* c : cases) c->run();  // warm caches and lazily made contexts
  for (int round = 0; round < rounds; ++round) {
    for (Case* c : cases) {
      const double start = threadNanoseconds();
      for (int i = 0; i < iterations; ++i) c->run();
      const double ns = threadNanoseconds() - start;
      c->best = std::min(c->best, ns / iterations);
    }
  }
}

void report(const Case& ours, const Case& baseline) {
  std::printf("  %-37s %8.0f ns   vs %-28s %8.0f ns   ratio %.3f\n", ours.name.c_str(), ours.best,
              baseline.name.c_str(), baseline.best, baseline.best / ours.best);
}

// Raw EVP AES-256-GCM as a careful caller would write it: one context per direction with the
// key schedule set once, only the nonce per message, output into a buffer that is reused.
struct RawGCM {
  static EVP_CIPHER* cipher() {
    static EVP_CIPHER* fetched = EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr);
    return fetched;
  }
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  std::uint64_t counter = 0;

  RawGCM(const Bytes& key, bool encrypt) {
    check(encrypt ? EVP_EncryptInit_ex2(ctx, cipher(), key.data(), nullptr, nullptr) == 1
                  : EVP_DecryptInit_ex2(ctx, cipher(), key.data(), nullptr, nullptr) == 1,
          "gcm init");
  }
  ~RawGCM() { EVP_CIPHER_CTX_free(ctx); }
  void seal(const Bytes& in, std::uint8_t* out) {
    const auto iv = CipherState::nonce(counter++);
    int n = 0;
    check(EVP_EncryptInit_ex2(ctx, nullptr, nullptr, iv.data(), nullptr) == 1 &&
              EVP_EncryptUpdate(ctx, out, &n, in.data(), static_cast<int>(in.size())) == 1 &&
              EVP_EncryptFinal_ex(ctx, out + n, &n) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, out + in.size()) == 1,
          "gcm seal");
  }
  void open(const Bytes& in, std::uint8_t* out) {
    const auto iv = CipherState::nonce(counter++);
    const int length = static_cast<int>(in.size() - 16);
    std::uint8_t tag[16];
    std::memcpy(tag, in.data() + length, 16);
    int n = 0;
    check(EVP_DecryptInit_ex2(ctx, nullptr, nullptr, iv.data(), nullptr) == 1 &&
              EVP_DecryptUpdate(ctx, out, &n, in.data(), length) == 1 &&
              EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag) == 1 &&
              EVP_DecryptFinal_ex(ctx, out + n, &n) == 1,
          "gcm open");
  }
};

void cipherCases(std::size_t size, int rounds) {
  const Bytes key(32, 0x5A);
  const Bytes plaintext(size, 0xA5);
  const int iterations = size >= 16384 ? 500 : 5000;
  std::printf("AES-256-GCM, %zu-byte messages\n", size);

  // Sealing: the allocating call against raw EVP that also hands out a fresh buffer, and the
  // appending call against raw EVP writing into a buffer it reuses.
  RawGCM rawSeal(key, true);
  Bytes rawOut(size + 16);
  CipherState sealer(key);
  Bytes reused;
  Case rawFresh{"raw EVP seal, fresh vector", [&] {
                  Bytes out(size + 16);
                  rawSeal.seal(plaintext, out.data());
                  keep(out.data());
                }};
  Case rawReused{"raw EVP seal, reused buffer", [&] {
                   rawSeal.seal(plaintext, rawOut.data());
                   keep(rawOut.data());
                 }};
  Case seal{"CipherState::seal", [&] { keep(sealer.seal(plaintext).data()); }};
  Case sealInto{"CipherState::sealInto, reused buffer", [&] {
                  reused.clear();
                  sealer.sealInto(plaintext, reused);
                  keep(reused.data());
                }};
  measure({&rawFresh, &seal, &rawReused, &sealInto}, iterations, rounds);
  report(seal, rawFresh);
  report(sealInto, rawReused);

  // Opening needs messages sealed under consecutive nonces: a batch, opened from counter 0 by a
  // fresh state each pass (its key setup is spread over the batch, as over a connection).
  constexpr int batch = 256;
  std::vector<Bytes> sealed;
  CipherState batchSealer(key);
  for (int i = 0; i < batch; ++i) sealed.push_back(batchSealer.seal(plaintext));
  Bytes rawPlain(size);
  Case rawOpenFresh{"raw EVP open, fresh vector", [&] {
                      RawGCM opener(key, false);
                      for (const Bytes& message : sealed) {
                        Bytes out(size);
                        opener.open(message, out.data());
                        keep(out.data());
                      }
                    }};
  Case rawOpenReused{"raw EVP open, reused buffer", [&] {
                       RawGCM opener(key, false);
                       for (const Bytes& message : sealed) opener.open(message, rawPlain.data());
                       keep(rawPlain.data());
                     }};
  Case open{"CipherState::open", [&] {
              CipherState opener(key);
              for (const Bytes& message : sealed) keep(opener.open(message).data());
            }};
  measure({&rawOpenFresh, &open, &rawOpenReused}, std::max(1, iterations / batch), rounds);
  for (Case* c : {&rawOpenFresh, &rawOpenReused, &open}) c->best /= batch;
  report(open, rawOpenFresh);
  report(open, rawOpenReused);
}

// The raw cost of each crypto step the host takes in one handshake.
struct RawSteps {
  EVP_MD* sha = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
  EVP_KDF* hkdf = EVP_KDF_fetch(nullptr, "HKDF", nullptr);
  EVP_PKEY* hostKey;

  explicit RawSteps(const Bytes& hostSeed) {
    hostKey = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, hostSeed.data(), 32);
    check(hostKey != nullptr, "host key");
  }
  ~RawSteps() {
    EVP_PKEY_free(hostKey);
    EVP_MD_free(sha);
    EVP_KDF_free(hkdf);
  }

  void ephemeral(const Bytes& raw, std::uint8_t* publicKey) {
    EVP_PKEY* key = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, raw.data(), 32);
    std::size_t n = 32;
    check(key && EVP_PKEY_get_raw_public_key(key, publicKey, &n) == 1, "x25519 key");
    EVP_PKEY_free(key);
  }
  void digest(const Bytes& data, std::uint8_t* out) {
    check(EVP_Digest(data.data(), data.size(), out, nullptr, sha, nullptr) == 1, "sha256");
  }
  void sign(const std::uint8_t* message, std::uint8_t* signature) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    std::size_t n = 64;
    check(EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, hostKey) == 1 &&
              EVP_DigestSign(ctx, signature, &n, message, 32) == 1,
          "sign");
    EVP_MD_CTX_free(ctx);
  }
  void verify(const Bytes& publicKey, const std::uint8_t* message, const std::uint8_t* sig) {
    EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, publicKey.data(), 32);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    check(EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
              EVP_DigestVerify(ctx, sig, 64, message, 32) == 1,
          "verify");
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
  }
  // The host's ephemeral key already exists here (its making is the first step).
  void derive(EVP_PKEY* own, const std::uint8_t* peerRaw, std::uint8_t* secret) {
    EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, peerRaw, 32);
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(own, nullptr);
    std::size_t n = 32;
    check(EVP_PKEY_derive_init(ctx) == 1 && EVP_PKEY_derive_set_peer(ctx, peer) == 1 &&
              EVP_PKEY_derive(ctx, secret, &n) == 1,
          "derive");
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(peer);
  }
  void kdf(const std::uint8_t* secret, const std::uint8_t* salt, const char* info,
           std::uint8_t* out) {
    EVP_KDF_CTX* ctx = EVP_KDF_CTX_new(hkdf);
    char digest[] = "SHA2-256";
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, const_cast<std::uint8_t*>(secret),
                                          32),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<std::uint8_t*>(salt), 32),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, const_cast<char*>(info), 13),
        OSSL_PARAM_construct_end(),
    };
    check(EVP_KDF_derive(ctx, out, 32, params) == 1, "hkdf");
    EVP_KDF_CTX_free(ctx);
  }
};

Bytes seedFrom(std::uint8_t first) {
  Bytes seed(32);
  for (std::size_t i = 0; i < seed.size(); ++i) seed[i] = static_cast<std::uint8_t>(first + i);
  return seed;
}

void handshakeCase(int rounds) {
  std::printf("Host handshake (crypto only, fixed ephemeral key so one client finish fits)\n");
  const DeviceIdentity clientIdentity(seedFrom(1));
  const Bytes hostSeed = seedFrom(33);
  const DeviceIdentity hostIdentity(hostSeed);
  const Bytes hostEphemeral(32, 0x22);
  ClientHandshake client(clientIdentity);
  const Bytes init = client.makeInit();
  const Bytes reply = HostHandshake(hostIdentity, hostEphemeral).handleClientInit(init);
  const Bytes finish = client.handleHostInit(reply).finish;

  Case ours{"HostHandshake init+finish", [&] {
              HostHandshake host(hostIdentity, hostEphemeral);
              host.handleClientInit(init);
              keep(host.handleClientFinish(finish).sendKey.data());
            }};

  RawSteps raw(hostSeed);
  std::uint8_t out[64], sig[64], secret[32];
  EVP_PKEY* ephemeralKey =
      EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, hostEphemeral.data(), 32);
  const Bytes h1Input = concat(init, ByteView(reply).first(64));
  const Bytes commitInput(finish.begin(), finish.begin() + 32);
  const Bytes transcriptInput(96 + 32, 0x33);
  const Bytes transcript =
      fromHex("4f4f5cc0e5e02978f382b1bf7fc9e98e55c76d6d62a52fa3cc64ba38632baa0a");
  // The client's signature over the real transcript, so the raw verify does the genuine work.
  HostHandshake probe(hostIdentity, hostEphemeral);
  probe.handleClientInit(init);
  const HandshakeResult probeResult = probe.handleClientFinish(finish);
  const Bytes clientSig(finish.begin() + 32, finish.end());
  std::vector<Case> steps = {
      {"X25519 key from raw", [&] { raw.ephemeral(hostEphemeral, out), keep(out); }},
      {"SHA-256 h1 (132 B)", [&] { raw.digest(h1Input, out), keep(out); }},
      {"Ed25519 sign", [&] { raw.sign(out, sig), keep(sig); }},
      {"SHA-256 commitment (32 B)", [&] { raw.digest(commitInput, out), keep(out); }},
      {"SHA-256 transcript (128 B)", [&] { raw.digest(transcriptInput, out), keep(out); }},
      {"Ed25519 verify",
       [&] {
         raw.verify(clientIdentity.publicKey(), probeResult.transcript.data(), clientSig.data());
       }},
      {"X25519 derive", [&] { raw.derive(ephemeralKey, finish.data(), secret), keep(secret); }},
      {"HKDF c2s", [&] { raw.kdf(secret, transcript.data(), "nerovalde c2s", out), keep(out); }},
      {"HKDF s2c", [&] { raw.kdf(secret, transcript.data(), "nerovalde s2c", out), keep(out); }},
  };
  std::vector<Case*> all = {&ours};
  for (Case& step : steps) all.push_back(&step);
  measure(all, 40, rounds);
  double sum = 0;
  for (const Case& step : steps) {
    std::printf("    raw %-30s %10.0f ns\n", step.name.c_str(), step.best);
    sum += step.best;
  }
  report(ours, Case{"sum of raw steps", nullptr, sum});
  std::printf("  handshakes per second: %.0f (raw steps alone: %.0f)\n", 1e9 / ours.best,
              1e9 / sum);
  EVP_PKEY_free(ephemeralKey);
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
  const int rounds = quick ? 3 : 40;
  cipherCases(16384, rounds);
  cipherCases(1024, rounds);
  handshakeCase(quick ? 2 : 25);
  return 0;
}
