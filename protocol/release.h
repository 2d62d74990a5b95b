// The signed release document of a channel: its envelope, signature check against
// the trusted release keys, payload, and validation for the requested channel.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/version.h"
#include "protocol/crypto.h"
#include "protocol/encoding.h"

namespace kaldren::patcher {

class JsonWriter;

// Protocol limits.
inline constexpr std::size_t kMaxReleaseDocumentBytes = 65536;
inline constexpr std::size_t kMaxReleaseSignatures = 8;
inline constexpr std::uint64_t kMaxObjectBytes = 17179869184;           // 16 GiB
inline constexpr std::uint64_t kMaxManifestDocumentBytes = 67108864;    // 64 MiB
inline constexpr std::uint64_t kMaxLauncherBytes = 268435456;           // 256 MiB
inline constexpr std::uint32_t kMaxLauncherVersionPart = 65535;         // Windows version resources
// Prefixed to the payload bytes before signing, so a release signature is never
// valid for any other kind of document.
inline constexpr std::string_view kReleaseSignatureDomain = "kaldren-lanternix/release/v2\n";

// One published object: the content as installed and the stored (published) bytes.
struct ObjectRef {
  Sha256Digest sha256{};
  std::uint64_t size = 0;
  Sha256Digest stored_sha256{};  // Names the object on the patch source.
  std::uint64_t stored_size = 0;
  bool compressed = false;  // The stored bytes are a zstd frame of the content.
  friend bool operator==(const ObjectRef&, const ObjectRef&) = default;
};

struct ClientSection {
  Version version;
  std::string executable;  // Relative game path, '/'-separated.
  // The publisher's totals; informative only, not checked against the manifest.
  std::uint64_t file_count = 0;
  std::uint64_t install_size = 0;
  std::uint64_t download_size = 0;
  ObjectRef manifest;
};

struct LauncherSection {
  Version version;
  ObjectRef file;
};

struct Release {
  std::string channel;
  std::uint64_t sequence = 0;
  std::string published_at;  // Kept as text, never interpreted.
  ClientSection client;
  LauncherSection launcher;
  // Seconds since 1970 UTC after which launchers refuse the release (member
  // "expires_at"); absent: it never expires.
  std::optional<std::int64_t> expires_at;
};

struct ReleaseKey {
  std::array<std::uint8_t, 65> point{};  // 0x04, X, Y (big-endian).
  std::string key_id;                    // to_hex of the first 8 bytes of sha256(point).
};

// "v2/channels/" + channel + "/release.json"; the channel is copied unchanged.
std::string release_path(std::string_view channel);

// 130 hexadecimal characters (either case) of an uncompressed point; else PatchError
// configuration "A release public key must be 130 hex characters of an uncompressed P-256 point".
ReleaseKey parse_release_key(std::string_view hex);

// The key list a launcher built with `key_constant` trusts: none for an empty
// constant, else the keys it lists, separated by commas (throws as parse_release_key).
std::vector<ReleaseKey> release_keys_from_constant(std::string_view key_constant);

// The launcher's built-in key list, built once (thread-safe) and never changed.
// Throws as parse_release_key when a built-in key is malformed.
const std::vector<ReleaseKey>& trusted_release_keys();

// How many distinct built-in keys must sign a release (at least 1). PatchError
// configuration when the launcher trusts fewer distinct keys than that.
std::size_t trusted_release_key_threshold();

// Checks the envelope and its signatures against `keys`, then parses the payload:
// valid signatures by at least `threshold` distinct keys of `keys` are needed (several
// signatures by one key count once; 0 counts as 1). Malformed documents: PatchError
// server; too few verifying signatures: PatchError security.
// Does not compare the channel, the sequence or the expiry with anything.
Release verify_release(std::string_view document, std::span<const ReleaseKey> keys, std::size_t threshold = 1);

// verify_release with trusted_release_keys() and their threshold; PatchError configuration
// "This launcher was built without a release key" when the launcher carries none.
Release verify_release(std::string_view document);

// PatchError security naming the date when the release carries an expiry that
// `now` (seconds since 1970 UTC) is past.
void check_release_expiry(const Release& release, std::int64_t now);

// The checks a verified release must pass before use; PatchError security otherwise.
void validate_release(const Release& release, std::string_view requested_channel);

// Sizes within the protocol limit and, without compression, equal stored and content
// digests and sizes; PatchError security naming the object as `name` otherwise.
void check_object_ref(const ObjectRef& ref, std::string_view name);

// Writes the five members of the JSON form of `ref` into the open object.
void write_object_ref(JsonWriter& writer, const ObjectRef& ref);

// A release payload's fields as a publisher writes them (versions as text, kept as spelled).
struct ReleasePayload {
  std::string channel;
  std::uint64_t sequence = 0;
  std::string published_at;
  std::string client_version;
  std::string executable;
  std::uint64_t file_count = 0;
  std::uint64_t install_size = 0;
  std::uint64_t download_size = 0;
  ObjectRef manifest;
  std::string launcher_version;
  ObjectRef launcher;
  std::string expires_at;  // "YYYY-MM-DDTHH:MM:SSZ"; empty: the member is left out
};

// The compact JSON payload; nothing is checked (tests write payloads a launcher refuses).
std::string write_release_payload(const ReleasePayload& payload);

}  // namespace kaldren::patcher
