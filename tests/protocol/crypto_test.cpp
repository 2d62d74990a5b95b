// Checks the platform's SHA-256 and signature verification against known vectors
// and against signatures made by the OpenSSL command line (the fixtures).
#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <utility>

#include "core/error.h"
#include "protocol/crypto.h"
#include "protocol/encoding.h"
#include "protocol/release.h"
#include "support/failure_of.h"
#include "support/release_signing.h"

namespace kaldren::patcher {
namespace {

using test::fails_with;
using test_support::sign_digest;
using test_support::test_key_pair;

constexpr std::string_view kFinalized = "SHA-256 state is already finalized";

TEST(Sha256, MatchesKnownVectors) {
  const struct {
    std::string input;
    std::string_view digest;
  } vectors[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& vector : vectors) {
    SCOPED_TRACE(vector.input.substr(0, 16));
    EXPECT_EQ(to_hex(sha256(vector.input)), vector.digest);
    // Fed in uneven pieces, including empty ones.
    Sha256 hash;
    std::string_view rest = vector.input;
    for (std::size_t piece = 0; !rest.empty(); piece = piece * 3 + 1) {
      hash.update(rest.substr(0, piece));
      rest.remove_prefix(std::min(piece, rest.size()));
    }
    EXPECT_EQ(to_hex(hash.finish()), vector.digest);
  }
}

TEST(Sha256, RefusesUseAfterFinish) {
  Sha256 hash;
  hash.update("abc");
  hash.finish();
  EXPECT_TRUE(fails_with([&] { hash.update("more"); }, ErrorCategory::internal, kFinalized));
  EXPECT_TRUE(fails_with([&] { hash.finish(); }, ErrorCategory::internal, kFinalized));

  Sha256 source;
  Sha256 target = std::move(source);
  EXPECT_TRUE(fails_with([&] { source.update("x"); }, ErrorCategory::internal, kFinalized));
  target.update("abc");
  EXPECT_EQ(to_hex(target.finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(VerifyP256Signature, AcceptsOnlyTheSignedDigestUnderTheSigningKey) {
  const auto& key = test_key_pair();
  const Sha256Digest digest = sha256("message");
  const std::string signature = sign_digest(key, digest);
  const auto bytes = std::span<const std::uint8_t, 64>(reinterpret_cast<const std::uint8_t*>(signature.data()), 64);
  EXPECT_TRUE(verify_p256_signature(key.point, digest, bytes));

  EXPECT_FALSE(verify_p256_signature(key.point, sha256("messagf"), bytes));
  std::string altered = signature;
  altered[40] ^= 0x01;
  EXPECT_FALSE(verify_p256_signature(
      key.point, digest, std::span<const std::uint8_t, 64>(reinterpret_cast<const std::uint8_t*>(altered.data()), 64)));
  auto compressed_prefix = key.point;
  compressed_prefix[0] = 0x02;
  EXPECT_FALSE(verify_p256_signature(compressed_prefix, digest, bytes));
  auto off_curve = key.point;
  off_curve[64] ^= 0x01;
  EXPECT_FALSE(verify_p256_signature(off_curve, digest, bytes));
}

TEST(VerifyP256Signature, AgreesWithTheOpenSslCommandLine) {
  // The fixture was signed by `openssl dgst -sign`; the embedded public key is the
  // one the script derived with `openssl ec -pubout`.
  const ReleaseKey key = parse_release_key(test_support::support_file("keys/test-release-key.hex"));
  EXPECT_EQ(key.point, test_key_pair().point);
  const Release release = verify_release(test_support::support_file("fixtures/release.json"), std::span(&key, 1));
  EXPECT_EQ(release.sequence, 7u);
}

}  // namespace
}  // namespace kaldren::patcher
