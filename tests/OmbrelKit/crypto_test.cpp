// The crypto wrapper against published test vectors, so a wrong parameter (digest name, key
// type, nonce handling) cannot hide behind a round trip that merely agrees with itself.
#include <gtest/gtest.h>

#include "OmbrelKit/crypto/aes_gcm.h"
#include "OmbrelKit/crypto/digest.h"
#include "OmbrelKit/crypto/ed25519.h"
#include "OmbrelKit/crypto/random.h"
#include "OmbrelKit/crypto/x25519.h"
#include "OmbrelKit/nv_error.h"

namespace ombrel::crypto {
namespace {

Bytes hex(std::string_view text) { return fromHex(text); }

struct Ed25519Vector {
  const char* seed;
  const char* publicKey;
  const char* message;
  const char* signature;
};

// RFC 8032, section 7.1, tests 1 to 3.
const Ed25519Vector kEd25519Vectors[] = {
    {"9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60",
     "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a", "",
     "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b"
     "46b"
     "d25bf5f0595bbe24655141438e7a100b"},
    {"4ccd089b28ff96da9db6c346ec114e0f5b8a319f35aba624da8cf6ed4fb8a6fb",
     "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c", "72",
     "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da085ac1e43e15996e458f3613d0f11"
     "d8c"
     "387b2eaeb4302aeeb00d291612bb0c00"},
    {"c5aa8df43f9f837bedb7442f31dcb7b166d38535076f094b85ce3a2e0b4458f7",
     "fc51cd8e6218a1a38da47ed00230f0580816ed13ba3303ac5deb911548908025", "af82",
     "6291d657deec24024827e69c3abe01a30ce548a284743a445e3680d7db5ac3ac18ff9b538d16f290ae67f760984dc"
     "659"
     "4a7c15e9716ed28dc027beceea1ec40a"},
};

TEST(Ed25519Test, MatchesRfc8032Vectors) {
  for (const auto& v : kEd25519Vectors) {
    SCOPED_TRACE(v.publicKey);
    const Ed25519PrivateKey key(hex(v.seed));
    EXPECT_EQ(hexString(key.publicKey()), v.publicKey);
    EXPECT_EQ(key.rawRepresentation(), hex(v.seed));
    const Bytes signature = key.sign(hex(v.message));
    EXPECT_EQ(hexString(signature), v.signature);
    EXPECT_TRUE(ed25519Verify(hex(v.publicKey), hex(v.message), signature));
  }
}

TEST(Ed25519Test, RejectsAlteredInputsAndMalformedKeys) {
  const Ed25519Vector& v = kEd25519Vectors[2];
  const Bytes message = hex(v.message);
  Bytes signature = hex(v.signature);
  Bytes otherMessage = message;
  otherMessage[0] ^= 1;
  EXPECT_FALSE(ed25519Verify(hex(v.publicKey), otherMessage, signature));
  EXPECT_FALSE(ed25519Verify(hex(kEd25519Vectors[0].publicKey), message, signature));
  EXPECT_FALSE(
      ed25519Verify(hex(v.publicKey), message, Bytes(signature.begin(), signature.end() - 1)));
  EXPECT_FALSE(ed25519Verify(Bytes(31, 1), message, signature));
  // y = 2 has no x on the curve: the key does not decode, which is not an error but a "no".
  Bytes notAPoint(32, 0);
  notAPoint[0] = 2;
  EXPECT_FALSE(ed25519Verify(notAPoint, message, signature));
  signature[63] ^= 0x80;
  EXPECT_FALSE(ed25519Verify(hex(v.publicKey), message, signature));

  EXPECT_THROW(Ed25519PrivateKey(Bytes(31, 0)), NVError);
  EXPECT_THROW(Ed25519PrivateKey(Bytes(33, 0)), NVError);
}

TEST(Ed25519Test, GeneratedKeysDifferAndSignVerifiably) {
  const Ed25519PrivateKey a = Ed25519PrivateKey::generate();
  const Ed25519PrivateKey b = Ed25519PrivateKey::generate();
  EXPECT_NE(a.publicKey(), b.publicKey());
  const Ed25519PrivateKey again(a.rawRepresentation());
  EXPECT_EQ(again.publicKey(), a.publicKey());
  EXPECT_TRUE(ed25519Verify(a.publicKey(), toBytes("hello"), again.sign(toBytes("hello"))));
  EXPECT_FALSE(ed25519Verify(b.publicKey(), toBytes("hello"), a.sign(toBytes("hello"))));
}

TEST(X25519Test, MatchesRfc7748Vectors) {
  // Section 5.2: scalar times u-coordinate (the second u has its top bit set, which X25519
  // must ignore).
  const struct {
    const char* scalar;
    const char* u;
    const char* out;
  } kScalarMult[] = {
      {"a546e36bf0527c9d3b16154b82465edd62144c0ac1fc5a18506a2244ba449ac4",
       "e6db6867583030db3594c1a424b15f7c726624ec26b3353b10a903a6d0ab1c4c",
       "c3da55379de9c6908e94ea4df28d084f32eccf03491c71f754b4075577a28552"},
      {"4b66e9d4d1b4673c5ad22691957d6af5c11b6421e0ea01d42ca4169e7918ba0d",
       "e5210f12786811d3f4b7959d0538ae2c31dbe7106fc03c3efc4cd549c715a493",
       "95cbde9476e8907d7aade45cb4b873f88b595a68799fa152e6f8f7647aac7957"},
  };
  for (const auto& v : kScalarMult) {
    EXPECT_EQ(hexString(X25519PrivateKey(hex(v.scalar)).sharedSecret(hex(v.u))), v.out);
  }

  // Section 6.1: the Diffie-Hellman example.
  const X25519PrivateKey alice(
      hex("77076d0a7318a57d3c16c17251b26645df4c2f87ebc0992ab177fba51db92c2a"));
  const X25519PrivateKey bob(
      hex("5dab087e624a8a4b79e17f8b83800ee66f3bb1292618b6fd1c2f8b27ff88e0eb"));
  EXPECT_EQ(hexString(alice.publicKey()),
            "8520f0098930a754748b7ddcb43ef75a0dbf3a0d26381af4eba4a98eaa9b4e6a");
  EXPECT_EQ(hexString(bob.publicKey()),
            "de9edb7d7b7dc1b4d35b61c2ece435373f8343c85b78674dadfc7e146f882b4f");
  const char* shared = "4a5d9d5ba4ce2de1728e3bf480350f25e07e21c947d19e3376f09b3c1e161742";
  EXPECT_EQ(hexString(alice.sharedSecret(bob.publicKey())), shared);
  EXPECT_EQ(hexString(bob.sharedSecret(alice.publicKey())), shared);
}

TEST(X25519Test, LowOrderAndMalformedPeerKeysThrowCryptoErrors) {
  const X25519PrivateKey key = X25519PrivateKey::generate();
  Bytes one(32, 0);
  one[0] = 1;
  for (const Bytes& peer : {Bytes(32, 0), one, Bytes(31, 9), Bytes(33, 9), Bytes{}}) {
    try {
      key.sharedSecret(peer);
      ADD_FAILURE() << "accepted " << hexString(peer);
    } catch (const NVError& error) {
      EXPECT_EQ(error.kind(), NVError::Kind::crypto);
      EXPECT_FALSE(error.payload().empty());
    }
  }
  EXPECT_THROW(X25519PrivateKey(Bytes(16, 1)), NVError);
}

TEST(DigestTest, MatchesPublishedVectors) {
  EXPECT_EQ(hexString(sha256(Bytes{})),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hexString(sha256(toBytes("abc"))),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(sha256({toBytes("a"), Bytes{}, toBytes("bc")}), sha256(toBytes("abc")));

  // RFC 4231, test cases 1 and 2.
  EXPECT_EQ(hexString(hmacSHA256(Bytes(20, 0x0b), toBytes("Hi There"))),
            "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
  EXPECT_EQ(hexString(hmacSHA256(toBytes("Jefe"), toBytes("what do ya want for nothing?"))),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  EXPECT_EQ(hmacSHA256(toBytes("Jefe"), {toBytes("what do ya "), toBytes("want for nothing?")}),
            hmacSHA256(toBytes("Jefe"), toBytes("what do ya want for nothing?")));

  // RFC 5869, test case 1.
  EXPECT_EQ(hexString(hkdfSHA256(Bytes(22, 0x0b), hex("000102030405060708090a0b0c"),
                                 hex("f0f1f2f3f4f5f6f7f8f9"), 42)),
            "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865");
}

struct GCMVector {
  const char* key;
  const char* nonce;
  const char* plaintext;
  const char* ciphertext;
  const char* tag;
};

// The GCM paper (McGrew and Viega), test cases 13 to 15 (AES-256, no associated data).
const GCMVector kGCMVectors[] = {
    {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "", "", "530f8afbc74536b9a963b4f1c4cb738b"},
    {"0000000000000000000000000000000000000000000000000000000000000000", "000000000000000000000000",
     "00000000000000000000000000000000", "cea7403d4d606b6e074ec5d3baf39d18",
     "d0d1c8a799996bf0265b98b5d48ab919"},
    {"feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b"
     "5"
     "25b16aedf5aa0de657ba637b391aafd255",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828"
     "838"
     "c5f61e6393ba7a0abcc9f662898015ad",
     "b094dac5d93471bdec1a502270e3cc6c"},
};

TEST(AESGCMTest, MatchesGcmSpecificationVectorsBothWays) {
  for (const auto& v : kGCMVectors) {
    SCOPED_TRACE(v.tag);
    AESGCMKey key(hex(v.key));
    const Bytes sealed = key.seal(hex(v.nonce), hex(v.plaintext));
    EXPECT_EQ(hexString(sealed), std::string(v.ciphertext) + v.tag);
    // A second message on the same key reuses the schedule; the result must not depend on it.
    EXPECT_EQ(key.seal(hex(v.nonce), hex(v.plaintext)), sealed);
    EXPECT_EQ(key.open(hex(v.nonce), sealed), hex(v.plaintext));
  }
}

TEST(AESGCMTest, RejectsTamperingWrongNonceAndShortInput) {
  AESGCMKey key(hex(kGCMVectors[2].key));
  const Bytes nonce = hex(kGCMVectors[2].nonce);
  const Bytes sealed = key.seal(nonce, hex(kGCMVectors[2].plaintext));
  for (std::size_t at : {std::size_t{0}, sealed.size() - 17, sealed.size() - 1}) {
    Bytes tampered = sealed;
    tampered[at] ^= 0x01;
    EXPECT_THROW(key.open(nonce, tampered), NVError) << at;
  }
  Bytes otherNonce = nonce;
  otherNonce[11] ^= 1;
  try {
    key.open(otherNonce, sealed);
    ADD_FAILURE() << "opened under the wrong nonce";
  } catch (const NVError& error) {
    EXPECT_EQ(error.kind(), NVError::Kind::crypto);
  }
  // A failure leaves the key usable for the next, genuine message.
  EXPECT_EQ(key.open(nonce, sealed), hex(kGCMVectors[2].plaintext));
  EXPECT_THROW(key.open(nonce, Bytes(15, 0)), NVError);
  EXPECT_THROW(key.seal(Bytes(8, 0), Bytes(4, 0)), NVError);
  EXPECT_THROW(AESGCMKey(Bytes(16, 0)), NVError);
}

TEST(RandomTest, ProducesDistinctBytesOfTheAskedLength) {
  EXPECT_TRUE(randomBytes(0).empty());
  const Bytes a = randomBytes(32);
  EXPECT_EQ(a.size(), 32u);
  EXPECT_NE(a, randomBytes(32));
}

}  // namespace
}  // namespace ombrel::crypto
