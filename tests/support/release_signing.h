// Building signed release documents in tests with the repository's TEST release
// key (tests/support/keys).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/crypto.h"
#include "protocol/release.h"

namespace kaldren::patcher::test_support {

struct TestKeyPair {
  std::array<std::uint8_t, 32> scalar{};
  std::array<std::uint8_t, 65> point{};
};

// A file of tests/support compiled into the test ("keys/...", "fixtures/...").
std::string_view support_file(std::string_view name);

// The test key pair read from keys/test-release-key.pem.
const TestKeyPair& test_key_pair();

// The test key as the launcher trusts it, alone in a list.
const std::vector<ReleaseKey>& test_keys();

// The other test key pairs, keys/test-release-key-N.pem for N 2 and 3 (key rotation
// and signature thresholds), and each as the launcher trusts it.
const TestKeyPair& other_test_key_pair(int n);
ReleaseKey release_key_of(const TestKeyPair& key);

// {"key_id":...,"signature":...} of `payload` signed by `key` (domain text included).
std::string signature_by(const TestKeyPair& key, std::string_view payload);

// r || s (64 bytes) of an ECDSA P-256 signature of `digest`, made by the platform.
std::string sign_digest(const TestKeyPair& key, const Sha256Digest& digest);

// The 64 signature bytes of `payload` under the test key (domain text included).
std::string sign_payload(std::string_view payload);

// {"key_id":...,"signature":base64(bytes)}
std::string signature_json(std::string_view key_id, std::string_view bytes);

// {"payload":base64(payload),"signatures":[signatures]}
std::string envelope(std::string_view payload, std::string_view signatures);

// The payload signed once with the test key.
std::string signed_release(std::string_view payload);

// `text` with its one occurrence of `from` replaced; throws when `from` is absent.
std::string replaced(std::string text, std::string_view from, std::string_view to);

// A valid release payload (channel live, sequence 7, client 1.4.2 with
// executable bin/Kaldren.exe, launcher 1.2.0) and its digests.
inline constexpr std::string_view kManifestDigest = "6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d6d";
inline constexpr std::string_view kLauncherDigest = "1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a1a";
inline constexpr std::string_view kLauncherStoredDigest = "2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b2b";
std::string valid_payload();

}  // namespace kaldren::patcher::test_support
