#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cctype>
#include <string>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/release.h"
#include "support/failure_of.h"
#include "support/release_signing.h"

namespace kaldren::patcher {
namespace {

using namespace test_support;
using test::fails_with;

constexpr std::string_view kMalformed = "The patch server sent a malformed update description: ";
constexpr std::string_view kUnsigned = "The update from the patch server is not signed by a trusted release key";
constexpr std::string_view kBadKey = "A release public key must be 130 hex characters of an uncompressed P-256 point";

std::string malformed(std::string_view detail) { return std::string(kMalformed) + std::string(detail); }
const std::string& key_id() { return test_keys()[0].key_id; }
std::string upper_case(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

TEST(ReleasePath, CopiesTheChannel) {
  EXPECT_EQ(release_path("live"), "v2/channels/live/release.json");
  EXPECT_EQ(release_path("beta-2"), "v2/channels/beta-2/release.json");
}

TEST(ParseReleaseKey, AcceptsEitherCaseAndDerivesTheKeyId) {
  const std::string hex(support_file("keys/test-release-key.hex"));
  const ReleaseKey lower = parse_release_key(hex);
  EXPECT_EQ(parse_release_key(upper_case(hex)).point, lower.point);
  // The fixture script computed the key id with sha256sum.
  EXPECT_NE(support_file("fixtures/release.json").find(fmt::format(R"("key_id":"{}")", lower.key_id)),
            std::string_view::npos);
  EXPECT_EQ(lower.key_id.size(), 16u);
}

TEST(ParseReleaseKey, RefusesAnythingButAnUncompressedPoint) {
  const std::string hex(support_file("keys/test-release-key.hex"));
  const std::string refused[] = {
      "",
      hex.substr(0, 129),
      hex + "0",
      hex.substr(0, 128) + "0g",
      "02" + hex.substr(2),
      "03" + hex.substr(2),
      " " + hex.substr(1),
  };
  for (const std::string& text : refused) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(fails_with([&] { parse_release_key(text); }, ErrorCategory::configuration, kBadKey));
    EXPECT_TRUE(fails_with([&] { release_keys_from_constant(text.empty() ? "0" : text); },
                           ErrorCategory::configuration, kBadKey));
  }
}

TEST(ReleaseKeysFromConstant, GivesNoKeyForAnEmptyConstant) {
  EXPECT_TRUE(release_keys_from_constant("").empty());
  const auto keys = release_keys_from_constant(support_file("keys/test-release-key.hex"));
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].key_id, key_id());
}

TEST(TrustedReleaseKeys, ComeFromTheBuildInput) {
  const std::vector<ReleaseKey>& keys = trusted_release_keys();
  EXPECT_EQ(&keys, &trusted_release_keys());
  const std::string document = signed_release(valid_payload());
  if (keys.empty()) {
    EXPECT_TRUE(fails_with([&] { verify_release(document); }, ErrorCategory::configuration,
                           "This launcher was built without a release key"));
  } else if (keys[0].point == test_key_pair().point) {
    EXPECT_EQ(verify_release(document).sequence, 7u);
  } else {
    EXPECT_TRUE(fails_with([&] { verify_release(document); }, ErrorCategory::security, kUnsigned));
  }
}

TEST(VerifyRelease, ReadsTheSignedFixture) {
  const Release release = verify_release(support_file("fixtures/release.json"), test_keys());
  EXPECT_EQ(release.channel, "live");
  EXPECT_EQ(release.sequence, 7u);
  EXPECT_EQ(release.published_at, "2024-05-01T12:00:00Z");
  EXPECT_EQ(release.client.version, (Version{1, 4, 2}));
  EXPECT_EQ(release.client.executable, "bin/Kaldren.exe");
  EXPECT_EQ(release.client.file_count, 3u);
  EXPECT_EQ(release.client.install_size, 32u);
  EXPECT_EQ(release.client.download_size, 30u);
  const std::string_view manifest = support_file("fixtures/manifest.json");
  EXPECT_EQ(release.client.manifest.sha256, sha256(manifest));
  EXPECT_EQ(release.client.manifest.size, manifest.size());
  EXPECT_FALSE(release.client.manifest.compressed);
  EXPECT_EQ(release.launcher.version, (Version{1, 2, 0}));
  EXPECT_EQ(release.launcher.file.size, 5000000u);
  EXPECT_EQ(release.launcher.file.stored_size, 2000000u);
  EXPECT_TRUE(release.launcher.file.compressed);
  EXPECT_NO_THROW(validate_release(release, "live"));
}

TEST(VerifyRelease, ReadsEveryMemberOfThePayload) {
  const Release release = verify_release(signed_release(valid_payload()), test_keys());
  EXPECT_EQ(to_hex(release.client.manifest.sha256), kManifestDigest);
  EXPECT_EQ(to_hex(release.client.manifest.stored_sha256), kManifestDigest);
  EXPECT_EQ(release.client.manifest.size, 755u);
  EXPECT_EQ(to_hex(release.launcher.file.sha256), kLauncherDigest);
  EXPECT_EQ(to_hex(release.launcher.file.stored_sha256), kLauncherStoredDigest);
}

struct EnvelopeCase {
  std::string name;
  std::string document;
  ErrorCategory category;
  std::string message;  // Empty: the release verifies.
};

std::vector<EnvelopeCase> envelope_cases() {
  const std::string payload = valid_payload();
  const std::string good = signature_json(key_id(), sign_payload(payload));
  const std::string signature = sign_payload(payload);
  const std::string other_signature = sign_payload(payload + " ");
  const std::string bad = signature_json(key_id(), other_signature);
  const std::string document = signed_release(payload);
  auto repeated = [](const std::string& item, int count) {
    std::string list;
    for (int i = 0; i < count; ++i) list += (i ? "," : "") + item;
    return list;
  };
  std::string altered_payload = payload;
  altered_payload[payload.find("\"sequence\":7") + 11] = '8';
  std::string broken_payload = payload;
  broken_payload[0] = '[';
  const std::string exact_size = document + std::string(kMaxReleaseDocumentBytes - document.size(), ' ');

  const ErrorCategory server = ErrorCategory::server;
  const ErrorCategory security = ErrorCategory::security;
  return {
      {"valid", document, server, ""},
      {"exactly 64 KiB", exact_size, server, ""},
      {"one byte over 64 KiB", exact_size + " ", server, malformed("the release is larger than 64 KiB")},
      {"over 64 KiB of garbage", std::string(65537, '?'), server, malformed("the release is larger than 64 KiB")},
      {"not an object", "[]", server, malformed("Unexpected JSON token")},
      {"truncated", document.substr(0, document.size() - 1), server, malformed("Unexpected end of JSON input")},
      {"trailing data", document + " x", server, malformed("trailing data after the release envelope")},
      {"trailing whitespace", document + " \r\n\t", server, ""},
      {"no payload", R"({"signatures":[)" + good + "]}", server, malformed("the release has no payload")},
      {"payload not base64", replaced(document, "\"payload\":\"", "\"payload\":\"*"), server,
       malformed("the release payload is not base64")},
      {"signature not base64", envelope(payload, R"({"key_id":"x","signature":"QQ="})"), server,
       malformed("a release signature is not base64")},
      {"signature not an object", envelope(payload, R"("x")"), server, malformed("Unexpected JSON token")},
      {"unknown members skipped", replaced(document, "{\"payload\"", R"({"note":[1,{"a":null}],"payload")"), server, ""},
      {"unknown signature member skipped", envelope(payload, replaced(good, "{", R"({"alg":"ES256",)")), server, ""},
      {"eight signatures, the last valid", envelope(payload, repeated(bad, 7) + "," + good), server, ""},
      {"nine signatures, the first valid", envelope(payload, good + "," + repeated(bad, 8)), server,
       malformed("the release carries too many signatures")},
      {"nine signatures over two arrays",
       replaced(envelope(payload, repeated(good, 5)), "]}", "],\"signatures\":[" + repeated(bad, 4) + "]}"), server,
       malformed("the release carries too many signatures")},
      {"eight signatures over two arrays, valid in the second",
       replaced(envelope(payload, repeated(bad, 4)), "]}", "],\"signatures\":[" + repeated(bad, 3) + "," + good + "]}"),
       server, ""},
      {"no signatures member", R"({"payload":")" + encode_base64(payload) + "\"}", security, std::string(kUnsigned)},
      {"empty signature list", envelope(payload, ""), security, std::string(kUnsigned)},
      {"signature without key id", envelope(payload, R"({"signature":")" + encode_base64(signature) + "\"}"), security,
       std::string(kUnsigned)},
      {"key id in upper case", envelope(payload, signature_json(upper_case(key_id()), signature)),
       security, std::string(kUnsigned)},
      {"unknown key id", envelope(payload, signature_json("0000000000000000", signature)), security,
       std::string(kUnsigned)},
      {"63-byte signature", envelope(payload, signature_json(key_id(), signature.substr(0, 63))), security,
       std::string(kUnsigned)},
      {"65-byte signature", envelope(payload, signature_json(key_id(), signature + '\0')), security,
       std::string(kUnsigned)},
      {"matching key id that does not verify, then a valid one", envelope(payload, bad + "," + good), server, ""},
      {"payload altered after signing", envelope(altered_payload, good), security, std::string(kUnsigned)},
      {"payload altered into invalid JSON", envelope(broken_payload, good), security, std::string(kUnsigned)},
  };
}

TEST(VerifyRelease, ChecksTheEnvelopeAndItsSignatures) {
  for (const EnvelopeCase& c : envelope_cases()) {
    SCOPED_TRACE(c.name);
    if (c.message.empty()) {
      EXPECT_EQ(verify_release(c.document, test_keys()).sequence, 7u);
    } else {
      EXPECT_TRUE(fails_with([&] { verify_release(c.document, test_keys()); }, c.category, c.message));
    }
  }
}

TEST(VerifyRelease, UsesOnlyKeysWhoseIdMatches) {
  const std::string document = signed_release(valid_payload());
  const ReleaseKey real = test_keys()[0];
  ReleaseKey impostor = parse_release_key(std::string(support_file("keys/test-release-key.hex")));
  impostor.point[64] ^= 0x01;   // Same id, other point: tried and passed over.
  ReleaseKey not_a_point = real;
  not_a_point.point[0] = 0x02;  // Same id, not an uncompressed point: never verifies.
  ReleaseKey other_id = real;
  other_id.key_id = "0123456789abcdef";  // The right point under another id: never tried.

  EXPECT_EQ(verify_release(document, std::vector{impostor, not_a_point, real}).sequence, 7u);
  EXPECT_TRUE(fails_with([&] { verify_release(document, std::vector{impostor, not_a_point, other_id}); },
                         ErrorCategory::security, kUnsigned));
  EXPECT_TRUE(fails_with([&] { verify_release(document, std::vector<ReleaseKey>{}); }, ErrorCategory::security,
                         kUnsigned));
}

struct PayloadCase {
  std::string_view name;
  std::string_view from;
  std::string_view to;
  ErrorCategory category;
  std::string message;
};

const PayloadCase payload_cases[] = {
    {"schema 3", R"("schema":2)", R"("schema":3)", ErrorCategory::server,
     "The patch server uses format 3, which this launcher does not understand. Download the latest launcher from the "
     "website."},
    {"schema negative", R"("schema":2)", R"("schema":-2)", ErrorCategory::server,
     malformed("Expected unsigned JSON integer")},
    {"kind manifest", R"("kind":"release")", R"("kind":"manifest")", ErrorCategory::server,
     malformed("the signed document is not a release")},
    {"no channel", R"("channel":"live",)", "", ErrorCategory::server, malformed("the release is missing a field")},
    {"no launcher", R"(,"launcher":{"version":"1.2.0",)", R"(,"launch":{"version":"1.2.0",)", ErrorCategory::server,
     malformed("the release is missing a field")},
    {"sequence a string", R"("sequence":7)", R"("sequence":"7")", ErrorCategory::server,
     malformed("Expected unsigned JSON integer")},
    {"sequence a fraction", R"("sequence":7)", R"("sequence":7.5)", ErrorCategory::server,
     malformed("Expected an integer, not a fraction")},
    {"client without members", R"("client":{"version")", R"("client":{},"x":{"version")", ErrorCategory::server,
     malformed("the client section is missing a field")},
    {"client without download size", R"("download_size":30,)", "", ErrorCategory::server,
     malformed("the client section is missing a field")},
    {"client version of two parts", R"("version":"1.4.2")", R"("version":"1.4")", ErrorCategory::server,
     "Invalid version \"1.4\" (expected major.minor.patch)"},
    {"long client version cut to 32 bytes", R"("version":"1.4.2")",
     R"("version":"1.4.2-0123456789012345678901234567890123456789")", ErrorCategory::server,
     "Invalid version \"1.4.2-01234567890123456789012345\" (expected major.minor.patch)"},
    {"launcher without file", R"({"version":"1.2.0","file")", R"({"version":"1.2.0","files")", ErrorCategory::server,
     malformed("the launcher section is missing a field")},
    {"launcher version with a sign", R"("version":"1.2.0")", R"("version":"+1.2.0")", ErrorCategory::server,
     "Invalid version \"+1.2.0\" (expected major.minor.patch)"},
    {"compression gzip", R"("compression":"none")", R"("compression":"gzip")", ErrorCategory::server,
     malformed("unknown compression \"gzip\"")},
    {"compression in upper case", R"("compression":"zstd")", R"("compression":"ZSTD")", ErrorCategory::server,
     malformed("unknown compression \"ZSTD\"")},
    {"upper-case digest", R"("sha256":"6d6d)", R"("sha256":"6D6d)", ErrorCategory::server,
     malformed("sha256 is not a lowercase SHA-256")},
    {"short stored digest", R"("stored_sha256":"2b2b)", R"("stored_sha256":"2b)", ErrorCategory::server,
     malformed("stored_sha256 is not a lowercase SHA-256")},
    {"manifest reference without stored size", R"("stored_size":755,)", "", ErrorCategory::server,
     malformed("The client manifest reference is missing a field")},
    {"launcher reference without compression", R"(,"compression":"zstd")", "", ErrorCategory::server,
     malformed("The launcher reference is missing a field")},
    {"trailing data after the payload", R"("zstd"}}})", R"("zstd"}}} 0)", ErrorCategory::server,
     malformed("trailing data after the release")},
    {"payload an array", R"({"schema")", R"([{"schema")", ErrorCategory::server, malformed("Unexpected JSON token")},
};

TEST(VerifyRelease, ParsesOnlyAWellFormedPayload) {
  for (const PayloadCase& c : payload_cases) {
    SCOPED_TRACE(c.name);
    const std::string document = signed_release(replaced(valid_payload(), c.from, c.to));
    EXPECT_TRUE(fails_with([&] { verify_release(document, test_keys()); }, c.category, c.message));
  }
}

TEST(VerifyRelease, TakesMembersInAnyOrderSkipsUnknownOnesAndKeepsTheLastRepeat) {
  std::string payload = valid_payload();
  payload = replaced(payload, R"({"schema":2,)", R"({"extra":{"deep":[true,false,null,-1.5e3]},"sequence":3,)");
  payload = replaced(payload, R"("channel":"live",)", R"("channel":"beta","schema":2,"channel":"live",)");
  payload = replaced(payload, R"("download_size":30,)", R"("download_size":30,"unused":"x",)");
  const Release release = verify_release(signed_release(payload + "\n"), test_keys());
  EXPECT_EQ(release.channel, "live");
  EXPECT_EQ(release.sequence, 7u);
  EXPECT_EQ(release.client.download_size, 30u);
}

TEST(VerifyRelease, ParsesAReleaseWithSequenceZero) {
  // The sequence is checked by validate_release, not by verification.
  const Release release = verify_release(signed_release(replaced(valid_payload(), "\"sequence\":7", "\"sequence\":0")),
                                         test_keys());
  EXPECT_EQ(release.sequence, 0u);
}

}  // namespace
}  // namespace kaldren::patcher
