#include <gtest/gtest.h>

#include <fmt/format.h>

#include <string>
#include <vector>

#include "protocol/json.h"
#include "protocol/manifest.h"
#include "support/failure_of.h"
#include "support/release_signing.h"

namespace kaldren::patcher {
namespace {

using test::fails_with;
using test_support::replaced;

constexpr std::string_view kDigest = "0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c0c";
constexpr std::string_view kMalformed = "The patch server sent a malformed update description: ";
std::string malformed(std::string_view detail) { return std::string(kMalformed) + std::string(detail); }

std::string entry(std::string_view path) {
  return fmt::format(R"({{"path":"{}","sha256":"{}","size":6,"stored_sha256":"{}","stored_size":6,"compression":"none"}})",
                     path, kDigest, kDigest);
}

std::string manifest_document(std::string_view files) {
  return R"({"schema":2,"kind":"manifest","version":"1.4.2","files":[)" + std::string(files) + "]}";
}

const std::string kValid = manifest_document(entry("Readme.txt") + "," + entry("bin/Kaldren.exe"));

Release release_for(std::string executable) {
  Release release;
  release.channel = "live";
  release.sequence = 7;
  release.client.version = {1, 4, 2};
  release.client.executable = std::move(executable);
  return release;
}

TEST(ParseClientManifest, ReadsThePublishedFixtureOfTheSignedRelease) {
  const Release release =
      verify_release(test_support::support_file("fixtures/release.json"), test_support::test_keys());
  const ClientManifest manifest = parse_client_manifest(test_support::support_file("fixtures/manifest.json"));
  EXPECT_EQ(manifest.version, (Version{1, 4, 2}));
  ASSERT_EQ(manifest.files.size(), 3u);
  EXPECT_EQ(manifest.files[0].path, "Readme.txt");
  EXPECT_EQ(manifest.files[0].object.sha256, sha256("readme"));
  EXPECT_EQ(manifest.files[0].object.size, 6u);
  EXPECT_EQ(manifest.files[2].path, "data/base.pak");
  EXPECT_EQ(manifest.files[2].object.stored_sha256, sha256("pak content, compressed"));
  EXPECT_EQ(manifest.files[2].object.stored_size, 9u);
  EXPECT_TRUE(manifest.files[2].object.compressed);
  EXPECT_NO_THROW(validate_client_manifest(manifest, release));
}

struct ParseCase {
  const char* name;
  std::string document;
  ErrorCategory category;
  std::string message;  // Empty: parses.
};

TEST(ParseClientManifest, RefusesMalformedDocuments) {
  const ErrorCategory server = ErrorCategory::server;
  const ParseCase cases[] = {
      {"valid", kValid, server, ""},
      {"trailing whitespace", kValid + "\r\n \t", server, ""},
      {"no files listed", manifest_document(""), server, ""},
      {"schema 3", replaced(kValid, "\"schema\":2", "\"schema\":3"), server,
       "The patch server uses format 3, which this launcher does not understand. Download the latest launcher from "
       "the website."},
      {"kind release", replaced(kValid, "\"manifest\"", "\"release\""), server,
       malformed("the client manifest has the wrong kind")},
      {"version of two parts", replaced(kValid, "\"1.4.2\"", "\"1.4\""), server,
       "Invalid version \"1.4\" (expected major.minor.patch)"},
      {"no files member", R"({"schema":2,"kind":"manifest","version":"1.4.2"})", server,
       malformed("the client manifest is missing a field")},
      {"no kind", replaced(kValid, "\"kind\":\"manifest\",", ""), server,
       malformed("the client manifest is missing a field")},
      {"trailing data", kValid + " x", server, malformed("trailing data after the client manifest")},
      {"trailing data reported before missing members", R"({"schema":2} x)", server,
       malformed("trailing data after the client manifest")},
      {"entry without path", replaced(kValid, "\"path\":\"Readme.txt\",", ""), server,
       malformed("a client file entry is missing a field")},
      {"entry without size", replaced(kValid, "\"size\":6,", ""), server,
       malformed("a client file entry is missing a field")},
      {"entry without compression", replaced(kValid, ",\"compression\":\"none\"", ""), server,
       malformed("a client file entry is missing a field")},
      {"compression gzip", replaced(kValid, "\"none\"", "\"gzip\""), server, malformed("unknown compression \"gzip\"")},
      {"upper-case digest", replaced(kValid, "\"sha256\":\"0c", "\"sha256\":\"0C"), server,
       malformed("sha256 is not a lowercase SHA-256")},
      {"upper-case stored digest", replaced(kValid, "\"stored_sha256\":\"0c", "\"stored_sha256\":\"0C"), server,
       malformed("stored_sha256 is not a lowercase SHA-256")},
      {"files an object", R"({"files":{}})", server, malformed("Unexpected JSON token")},
      {"entry a number", manifest_document("1"), server, malformed("Unexpected JSON token")},
      {"path a number", replaced(kValid, "\"Readme.txt\"", "7"), server, malformed("Unexpected JSON token")},
      {"truncated", kValid.substr(0, kValid.size() - 2), server, malformed("Unexpected end of JSON input")},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.message.empty()) {
      EXPECT_NO_THROW(parse_client_manifest(c.document));
    } else {
      EXPECT_TRUE(fails_with([&] { parse_client_manifest(c.document); }, c.category, c.message));
    }
  }
}

TEST(ParseClientManifest, AddsRepeatedFileListsSkipsUnknownMembersAndKeepsTheLastRepeat) {
  std::string document = replaced(kValid, "\"files\":[", R"("note":{"a":[1,2],"b":0},"files":[)");
  document = replaced(document, "]}", R"(],"version":"1.4.3","files":[)" + entry("c.txt") + "]}");
  document = replaced(document, "\"path\":\"Readme.txt\"", R"("path":"x","extra":[{}],"path":"Readme.txt")");
  const ClientManifest manifest = parse_client_manifest(document);
  EXPECT_EQ(manifest.version, (Version{1, 4, 3}));
  ASSERT_EQ(manifest.files.size(), 3u);
  EXPECT_EQ(manifest.files[0].path, "Readme.txt");
  EXPECT_EQ(manifest.files[2].path, "c.txt");
}

std::string many_files(std::size_t count) {
  std::string files;
  files.reserve(count * 200);
  for (std::size_t i = 0; i < count; ++i) {
    if (i) files += ',';
    files += entry(fmt::format("f{:06}", i));
  }
  return files;
}

TEST(ClientManifest, HoldsAtMost200000Files) {
  const std::string files = many_files(kMaxManifestFiles);
  const ClientManifest manifest = parse_client_manifest(manifest_document(files));
  ASSERT_EQ(manifest.files.size(), 200000u);
  EXPECT_NO_THROW(validate_client_manifest(manifest, release_for("f199999")));

  // The check comes before the 200001st element is read, whatever it is.
  EXPECT_TRUE(fails_with([&] { parse_client_manifest(manifest_document(files + ",\"not an entry\"")); },
                         ErrorCategory::server, malformed("the client manifest lists too many files")));
  EXPECT_TRUE(fails_with(
      [&] { parse_client_manifest(replaced(manifest_document(files), "]}", "],\"files\":[" + entry("g") + "]}")); },
      ErrorCategory::server, malformed("the client manifest lists too many files")));

  ClientManifest oversized = manifest;
  oversized.files.push_back({"g", oversized.files[0].object});
  EXPECT_TRUE(fails_with([&] { validate_client_manifest(oversized, release_for("g")); }, ErrorCategory::security,
                         "The client manifest lists too many files"));
}

struct PathCase {
  const char* name;
  std::vector<std::string> paths;
  std::string executable;
  std::string message;  // Empty: valid.
};

const PathCase path_cases[] = {
    {"sorted", {"A.txt", "Readme", "a.dat", "a/b", "a/b.dat", "bin/Kaldren.exe", "z", "\xc3\xa9.txt"},
     "bin/Kaldren.exe", ""},
    {"a file and a file inside it", {"a", "a/b"}, "a",
     "The client manifest lists both \"a\" and \"a/b\": a file cannot also be a folder"},
    {"a file and one deeper inside it, names between", {"bin", "bin-old", "bin.txt", "bin/64/Kaldren.exe"}, "bin",
     "The client manifest lists both \"bin\" and \"bin/64/Kaldren.exe\": a file cannot also be a folder"},
    {"a folder in upper case before a file of its name", {"A/b", "a"}, "a",
     "The client manifest lists both \"a\" and \"A/b\": a file cannot also be a folder"},
    {"a file in upper case before a folder of its name", {"B", "b/c"}, "B",
     "The client manifest lists both \"B\" and \"b/c\": a file cannot also be a folder"},
    {"case twin after its upper-case form", {"A/B.TXT", "a/b.txt"}, "a/b.txt",
     "The client manifest lists \"a/b.txt\" twice"},
    {"case twin before its upper-case form", {"a/b.txt", "A/B.TXT"}, "a/b.txt",
     "The client manifest is not sorted by path"},
    {"Readme then readme", {"Readme", "readme"}, "Readme", "The client manifest lists \"readme\" twice"},
    {"accented case twins", {"\xc3\x89t\xc3\xa9", "\xc3\xa9t\xc3\xa9"}, "\xc3\x89t\xc3\xa9",
     "The client manifest lists \"\xc3\xa9t\xc3\xa9\" twice"},
    {"equal paths", {"a/b", "a/b"}, "a/b", "The client manifest is not sorted by path"},
    {"descending", {"b", "a"}, "a", "The client manifest is not sorted by path"},
    {"longer before its prefix", {"a/b", "a"}, "a", "The client manifest is not sorted by path"},
    {"bytes compared unsigned", {"\xc3\xa9.txt", "z"}, "z", "The client manifest is not sorted by path"},
    {"unsafe path", {"a", "b//c"}, "a", "The patch names an unsafe file path: \"b//c\""},
    {"unsafe path reported before the order", {"b", "a:b"}, "b", "The patch names an unsafe file path: \"a:b\""},
    {"launcher file", {"Lanternix.exe"}, "Lanternix.exe", "The patch names an unsafe file path: \"Lanternix.exe\""},
    {"missing executable", {"a", "b"}, "bin/Kaldren.exe", "The client manifest does not contain bin/Kaldren.exe"},
    {"executable in other case", {"bin/kaldren.exe"}, "bin/Kaldren.exe",
     "The client manifest does not contain bin/Kaldren.exe"},
    {"empty manifest", {}, "bin/Kaldren.exe", "The client manifest does not contain bin/Kaldren.exe"},
};

TEST(ValidateClientManifest, RequiresSafeUniqueSortedPathsAndTheExecutable) {
  for (const PathCase& c : path_cases) {
    SCOPED_TRACE(c.name);
    ClientManifest manifest{{1, 4, 2}, {}};
    for (const std::string& path : c.paths) manifest.files.push_back({path, {Sha256Digest{}, 1, Sha256Digest{}, 1}});
    if (c.message.empty()) {
      EXPECT_NO_THROW(validate_client_manifest(manifest, release_for(c.executable)));
    } else {
      EXPECT_TRUE(fails_with([&] { validate_client_manifest(manifest, release_for(c.executable)); },
                             ErrorCategory::security, c.message));
    }
  }
}

TEST(ValidateClientManifest, ChecksTheVersionAndEveryObject) {
  const ClientManifest valid = parse_client_manifest(kValid);
  const Release release = release_for("bin/Kaldren.exe");
  ClientManifest other_version = valid;
  other_version.version = {1, 4, 3};
  EXPECT_TRUE(fails_with([&] { validate_client_manifest(other_version, release); }, ErrorCategory::security,
                         "The client manifest is for version 1.4.3 but the release announces 1.4.2"));

  ClientManifest differing = valid;
  differing.files[1].object.stored_size = 7;
  EXPECT_TRUE(fails_with([&] { validate_client_manifest(differing, release); }, ErrorCategory::security,
                         "A client file declares different stored and content bytes without compression"));
  differing.files[1].object.compressed = true;
  EXPECT_NO_THROW(validate_client_manifest(differing, release));

  ClientManifest huge = valid;
  huge.files[0].object.size = huge.files[0].object.stored_size = 17179869185;
  EXPECT_TRUE(fails_with([&] { validate_client_manifest(huge, release); }, ErrorCategory::security,
                         "A client file is larger than the patch protocol allows"));
  huge.files[0].object.size = huge.files[0].object.stored_size = 17179869184;
  EXPECT_NO_THROW(validate_client_manifest(huge, release));
}

TEST(ObjectPath, IsFormedFromTheStoredDigest) {
  ObjectRef ref;
  ref.sha256[0] = 0xff;  // Never used to locate the object.
  ref.stored_sha256[31] = 0x01;
  EXPECT_EQ(object_path(ref), "v2/objects/00/" + std::string(62, '0') + "01");
  ref.stored_sha256[0] = 0x3f;
  EXPECT_EQ(object_path(ref), "v2/objects/3f/3f" + std::string(60, '0') + "01");
}

TEST(WriteObjectRef, WritesTheFormTheParsersRead) {
  const ObjectRef refs[] = {
      {sha256("content"), 18446744073709551615u, sha256("stored"), 0, true},
      {sha256("x"), 1, sha256("x"), 1, false},
  };
  const ManifestFile files[] = {{"p", refs[0]}, {"p", refs[1], std::nullopt, true}};
  const std::string document = write_client_manifest("1.4.2", files);
  const ClientManifest manifest = parse_client_manifest(document);
  ASSERT_EQ(manifest.files.size(), 2u);
  EXPECT_EQ(manifest.files[0].object, refs[0]);
  EXPECT_EQ(manifest.files[1].object, refs[1]);
  EXPECT_FALSE(manifest.files[0].install_if_missing);
  EXPECT_TRUE(manifest.files[1].install_if_missing);
  // The member is written only for the files it marks.
  EXPECT_EQ(document.find("\"install\""), document.rfind("\"install\":\"if_missing\""));
}

TEST(ParseClientManifest, MarksFilesInstalledOnlyWhenMissingAndTakesOtherModesAsOrdinary) {
  const std::string document = manifest_document(
      replaced(entry("a.ini"), "\"path\"", R"("install":"if_missing","path")") + "," +
      replaced(entry("b.ini"), "\"path\"", R"("install":"some_later_mode","path")") + "," + entry("c.ini"));
  const ClientManifest manifest = parse_client_manifest(document);
  ASSERT_EQ(manifest.files.size(), 3u);
  EXPECT_TRUE(manifest.files[0].install_if_missing);
  EXPECT_FALSE(manifest.files[1].install_if_missing);
  EXPECT_FALSE(manifest.files[2].install_if_missing);
  EXPECT_TRUE(fails_with([&] { parse_client_manifest(replaced(document, R"("if_missing")", "true")); },
                         ErrorCategory::server, malformed("Unexpected JSON token")));
}

}  // namespace
}  // namespace kaldren::patcher
