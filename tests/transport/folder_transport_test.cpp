#include "transport/folder_transport.h"

#include <gtest/gtest.h>

#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "core/text.h"
#include "support/failure_of.h"
#include "support/test_disk.h"

namespace kaldren::patcher {
namespace {

using test::DiskFolder;
using test::failure_of;
using test::fails_with;

constexpr std::string_view kRelease = "v2/channels/live/release.json";
constexpr std::string_view kObject = "v2/objects/ab/abcdef";

TEST(FolderOfSource, GivesTheFolderAsWindowsSpellsIt) {
  const struct {
    const wchar_t* address;
    const wchar_t* folder;
  } cases[] = {
      {L"file:///D:/kaldren", L"D:\\kaldren"},
      {L"file:///d:/a/b/", L"d:\\a\\b"},
      {L"FILE://localhost/D:/My%20Games/K%C3%A4ldren", L"D:\\My Games\\K\u00E4ldren"},
      {L"file:///E:", L"E:\\"},
      {L"file:///E:/", L"E:\\"},
      {L"file://server/share", L"\\\\server\\share"},
      {L"file://server/share/a%25b/c", L"\\\\server\\share\\a%b\\c"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(to_utf8(c.address));
    EXPECT_EQ(folder_of_source(c.address), c.folder);
    EXPECT_TRUE(is_folder_source(c.address));
  }
  const wchar_t* const refused[] = {
      L"file:", L"file:///", L"file:///D", L"file:///D:x", L"file:///D:/../x", L"file:///D:/a/./b",
      L"file:///D:/a%2E%2E/..", L"file:///D:/a//b", L"file:///D:/a%2Fb", L"file:///D:/a%5Cb", L"file:///D:/a%3Ab",
      L"file:///D:/a%0Ab", L"file:///D:/a%4", L"file:///D:/a%FF", L"file:///D:/a\\b", L"file:///D:/a?b",
      L"file:///D:/a#b", L"file://server", L"file://server/", L"file://./share", L"file://u@server/share",
      L"file://server:445/share", L"file://[::1]/share", L"https://patch.example",
  };
  for (const wchar_t* address : refused) {
    SCOPED_TRACE(to_utf8(address));
    EXPECT_TRUE(fails_with([&] { folder_of_source(address); }, ErrorCategory::configuration,
                           "The patch folder address must be file:///D:/folder or file://server/share/folder"));
  }
  EXPECT_FALSE(is_folder_source(L"https://patch.example"));
}

class FolderTransportTest : public ::testing::Test {
 protected:
  DiskFolder publication;
  DiskFolder staging;
  FolderTransport transport{publication.path(), "file:///D:/pub", test::test_disk()};
};

TEST_F(FolderTransportTest, FetchesDocumentsUpToTheCap) {
  publication.write(std::string(kRelease), "12345");
  publication.make_folder("v2/channels/beta/release.json");
  EXPECT_EQ(transport.fetch(kRelease, 5, {}), "12345");
  EXPECT_EQ(transport.fetch_all(kRelease, 5, {}).at(0).body, "12345");
  EXPECT_EQ(transport.name(), "file:///D:/pub");
  EXPECT_EQ(transport.source_count(), 1u);
  EXPECT_TRUE(fails_with([&] { transport.fetch(kRelease, 4, {}); }, ErrorCategory::server,
                         "v2/channels/live/release.json is larger than allowed"));
  // A missing document, or a folder in its place, is the server's 404.
  for (const std::string_view path : {"v2/channels/next/release.json", "v2/channels/beta/release.json"}) {
    EXPECT_TRUE(fails_with([&] { transport.fetch(path, 5, {}); }, ErrorCategory::server,
                           "The patch folder has no " + std::string(path)));
  }
  for (const std::string_view path : {"../x", "v2/../../x", "/v2/x", "v2\\x", ""}) {
    EXPECT_TRUE(fails_with([&] { transport.fetch(path, 5, {}); }, ErrorCategory::internal,
                           "Invalid publication path " + std::string(path)));
  }
  if (MemoryFileSystem* memory = test::memory_disk()) {
    memory->set_unreadable(publication / std::string(kRelease));
    const PatchError error = failure_of([&] { transport.fetch(kRelease, 5, {}); });
    EXPECT_EQ(error.category(), ErrorCategory::io);
    EXPECT_TRUE(std::string_view(error.what()).starts_with(
        "Could not read v2/channels/live/release.json from the patch folder: "))
        << error.what();
  }
  std::stop_source stop;
  stop.request_stop();
  EXPECT_TRUE(fails_with([&] { transport.fetch(kRelease, 5, stop.get_token()); }, ErrorCategory::cancelled,
                         "The launcher was closed"));
}

TEST_F(FolderTransportTest, DownloadsExactlyTheDeclaredSizeResumingAPartialFile) {
  const std::string object = "0123456789";
  const struct {
    const char* name;
    std::optional<std::string> source;   // the object in the publication
    std::uint64_t size;                  // as declared
    std::optional<std::string> partial;  // left by an earlier attempt
    std::string result;                  // the destination afterwards, or "<missing>"
    std::string error;                   // server error, or "" for success
    std::vector<std::uint64_t> progress;
  } cases[] = {
      {"fresh", object, 10, std::nullopt, object, "", {10}},
      {"resumed: only the rest is read", object, 10, "abcd", "abcd456789", "", {10}},
      {"complete partial: the folder is not asked", std::nullopt, 10, "abcdefghij", "abcdefghij", "", {10}},
      {"partial longer than the object", object, 10, "abcdefghijkl", object, "", {10}},
      {"empty object", "", 0, std::nullopt, "<missing>", "", {0}},
      {"missing", std::nullopt, 10, "abc", "abc", "The patch folder is missing v2/objects/ab/abcdef", {}},
      {"larger", object, 9, "abc", "abc", "v2/objects/ab/abcdef is larger than the release declares", {}},
      {"smaller", object, 11, std::nullopt, "<missing>",
       "v2/objects/ab/abcdef is smaller than the release declares", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DiskFolder publication_folder;
    DiskFolder destination_folder;
    FolderTransport folder(publication_folder.path(), "pub", test::test_disk());
    if (c.source) publication_folder.write(std::string(kObject), *c.source);
    const std::filesystem::path destination = destination_folder / "object.part";
    if (c.partial) destination_folder.write("object.part", *c.partial);
    std::vector<std::uint64_t> progress;
    const auto download = [&] {
      folder.download(kObject, destination, c.size, {}, [&](std::uint64_t bytes) { progress.push_back(bytes); }, 0);
    };
    if (c.error.empty()) {
      download();
    } else {
      EXPECT_TRUE(fails_with(download, ErrorCategory::server, c.error));
    }
    EXPECT_EQ(test::content_of(destination), c.result);
    EXPECT_EQ(progress, c.progress);
  }
}

TEST_F(FolderTransportTest, LargeObjectsCopyInChunksAndStopKeepsThePartialFile) {
  std::string object(600000, '\0');
  for (std::size_t i = 0; i < object.size(); ++i) object[i] = static_cast<char>(i * 7 % 251);
  publication.write(std::string(kObject), object);
  const std::filesystem::path destination = staging / "object.part";

  std::stop_source stop;
  std::vector<std::uint64_t> progress;
  EXPECT_TRUE(fails_with(
      [&] {
        transport.download(kObject, destination, object.size(), stop.get_token(),
                           [&](std::uint64_t bytes) {
                             progress.push_back(bytes);
                             stop.request_stop();
                           },
                           0);
      },
      ErrorCategory::cancelled, "The launcher was closed"));
  EXPECT_EQ(progress, std::vector<std::uint64_t>{262144});
  EXPECT_EQ(test::content_of(destination), object.substr(0, 262144));

  progress.clear();
  transport.download(kObject, destination, object.size(), {}, [&](std::uint64_t bytes) { progress.push_back(bytes); },
                     1);
  EXPECT_EQ(progress, (std::vector<std::uint64_t>{524288, 600000}));
  EXPECT_EQ(test::content_of(destination), object);
}

}  // namespace
}  // namespace kaldren::patcher
