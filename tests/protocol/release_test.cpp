#include <gtest/gtest.h>

#include <fmt/format.h>

#include <cctype>
#include <string>
#include <vector>

#include "protocol/encoding.h"
#include "protocol/release.h"
#include "protocol/utc_time.h"
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

TEST(ReleaseKeysFromConstant, GivesNoKeyForAnEmptyConstantAndEachKeyOfAList) {
  EXPECT_TRUE(release_keys_from_constant("").empty());
  const std::string hex(support_file("keys/test-release-key.hex"));
  const auto keys = release_keys_from_constant(hex);
  ASSERT_EQ(keys.size(), 1u);
  EXPECT_EQ(keys[0].key_id, key_id());
  const std::string second = to_hex(other_test_key_pair(2).point);
  const auto both = release_keys_from_constant(hex + "," + second);
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[0].key_id, key_id());
  EXPECT_EQ(both[1].point, other_test_key_pair(2).point);
  for (const std::string& text : {hex + ",", "," + hex, hex + ",," + second, hex + " ," + second}) {
    SCOPED_TRACE(text);
    EXPECT_TRUE(fails_with([&] { release_keys_from_constant(text); }, ErrorCategory::configuration, kBadKey));
  }
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

// Signatures by several keys against several trusted keys and a threshold: each
// trusted key counts once, however often it signed or is listed.
TEST(VerifyRelease, NeedsSignaturesByThresholdDistinctTrustedKeys) {
  const std::string payload = valid_payload();
  const TestKeyPair& first = test_key_pair();
  const TestKeyPair& second = other_test_key_pair(2);
  const TestKeyPair& third = other_test_key_pair(3);
  const std::string by_first = signature_by(first, payload);
  const std::string by_second = signature_by(second, payload);
  const std::string by_third = signature_by(third, payload);
  const std::string forged = signature_json(release_key_of(second).key_id, sign_payload(payload));
  const std::vector<ReleaseKey> two{release_key_of(first), release_key_of(second)};
  const std::vector<ReleaseKey> three{release_key_of(first), release_key_of(second), release_key_of(third)};
  const std::vector<ReleaseKey> listed_twice{release_key_of(first), release_key_of(first)};
  const auto below = [](int signed_by, int needed) {
    return fmt::format("The update from the patch server is signed by {} of the {} trusted release keys it needs",
                       signed_by, needed);
  };
  struct Case {
    std::string_view name;
    std::string signatures;
    std::vector<ReleaseKey> keys;
    std::size_t threshold;
    std::string message;  // empty: accepted
  };
  const Case cases[] = {
      {"one of one", by_first, two, 1, ""},
      {"threshold 0 counts as 1", by_second, two, 0, ""},
      {"nothing trusted signed, threshold 0", by_third, two, 0, std::string(kUnsigned)},
      {"two of two", by_first + "," + by_second, two, 2, ""},
      {"two of three, any order", by_third + "," + by_first, three, 2, ""},
      {"three of three", by_second + "," + by_third + "," + by_first, three, 3, ""},
      {"one of two needed", by_first, two, 2, below(1, 2)},
      {"the same key twice", by_first + "," + by_first, two, 2, below(1, 2)},
      {"one key eight times", by_first + "," + by_first + "," + by_first + "," + by_first + "," + by_first + "," +
                                  by_first + "," + by_first + "," + by_first,
       three, 2, below(1, 2)},
      {"a key listed twice counts once", by_first, listed_twice, 2, below(1, 2)},
      {"a second key's id over the first key's signature", by_first + "," + forged, two, 2, below(1, 2)},
      {"an untrusted key beside a trusted one", by_first + "," + by_third, two, 2, below(1, 2)},
      {"two of three needed, one given", by_third, three, 2, below(1, 2)},
      {"no trusted key", by_third, two, 2, std::string(kUnsigned)},
      {"no signature", "", three, 2, std::string(kUnsigned)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string document = envelope(payload, c.signatures);
    if (c.message.empty()) {
      EXPECT_EQ(verify_release(document, c.keys, c.threshold).sequence, 7u);
    } else {
      EXPECT_TRUE(fails_with([&] { verify_release(document, c.keys, c.threshold); }, ErrorCategory::security,
                             c.message));
    }
  }
}

TEST(VerifyRelease, ReadsAnExpiryAndRefusesItOnceItIsPast) {
  const std::string expiring = replaced(valid_payload(), R"("schema":2,)", R"("schema":2,"expires_at":"2027-01-31T00:00:00Z",)");
  const Release release = verify_release(signed_release(expiring), test_keys());
  ASSERT_TRUE(release.expires_at);
  EXPECT_EQ(*release.expires_at, 1801353600);
  EXPECT_NO_THROW(check_release_expiry(release, 1801353600));  // the last second it is good
  EXPECT_TRUE(fails_with([&] { check_release_expiry(release, 1801353601); }, ErrorCategory::security,
                         "The update from the patch server expired on 2027-01-31T00:00:00Z: the server may be "
                         "sending an outdated copy, or this computer's clock is wrong"));
  // Without the member a release never expires.
  const Release lasting = verify_release(signed_release(valid_payload()), test_keys());
  EXPECT_FALSE(lasting.expires_at);
  EXPECT_NO_THROW(check_release_expiry(lasting, INT64_MAX));
  // Which texts are times is UtcTime's table; a release with another is malformed.
  const std::string payload = replaced(valid_payload(), R"("schema":2,)", R"("schema":2,"expires_at":"2027-02-29T00:00:00Z",)");
  EXPECT_TRUE(fails_with([&] { verify_release(signed_release(payload), test_keys()); }, ErrorCategory::server,
                         malformed("the release expiry is not a UTC time such as 2027-01-31T00:00:00Z")));
}

TEST(UtcTime, ParsesOnlyRealDatesAndWritesThemBack) {
  const struct {
    std::string_view text;
    std::int64_t seconds;
  } good[] = {{"1970-01-01T00:00:00Z", 0},          {"2000-02-29T12:34:56Z", 951827696},
              {"2027-01-31T00:00:00Z", 1801353600}, {"2100-03-01T00:00:00Z", 4107542400},
              {"9999-12-31T23:59:59Z", 253402300799}};
  for (const auto& c : good) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(parse_utc_time(c.text), c.seconds);
    EXPECT_EQ(utc_time_text(c.seconds), c.text);
  }
  for (std::string_view text : {"", "2027-01-31", "2027-1-31T00:00:00Z", "2027-01-31t00:00:00Z", "2027-01-31T00:00:00+01:00",
                                "2027-13-01T00:00:00Z", "2027-00-01T00:00:00Z", "2027-04-31T00:00:00Z",
                                "2100-02-29T00:00:00Z", "2027-01-31T24:00:00Z", "2027-01-31T00:60:00Z",
                                "2027-01-31T00:00:60Z", "+027-01-31T00:00:00Z", "2027-01-31T00:00:00Z "}) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_utc_time(text));
  }
}

TEST(VerifyRelease, ParsesAReleaseWithSequenceZero) {
  // The sequence is checked by validate_release, not by verification.
  const Release release = verify_release(signed_release(replaced(valid_payload(), "\"sequence\":7", "\"sequence\":0")),
                                         test_keys());
  EXPECT_EQ(release.sequence, 0u);
}

}  // namespace
}  // namespace kaldren::patcher
