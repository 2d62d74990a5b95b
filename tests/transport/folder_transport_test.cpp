#include "transport/folder_transport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>
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
  std::string object(2400000, '\0');
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
  EXPECT_EQ(progress, std::vector<std::uint64_t>{1048576});
  EXPECT_EQ(test::content_of(destination), object.substr(0, 1048576));

  progress.clear();
  transport.download(kObject, destination, object.size(), {}, [&](std::uint64_t bytes) { progress.push_back(bytes); },
                     1);
  EXPECT_EQ(progress, (std::vector<std::uint64_t>{2097152, 2400000}));
  EXPECT_EQ(test::content_of(destination), object);
}

// The test disk, except that below the share nothing answers (as a network share whose
// server is gone) once `stall` is called: finding a file, or reading one already open,
// blocks in the call until `answer`. Calls left behind may still come after a test, so
// there is one for the whole run, never destroyed.
class UnansweringShare final : public FileSystem {
 public:
  static UnansweringShare& instance() {
    static UnansweringShare* const share = new UnansweringShare(test::test_disk());
    return *share;
  }

  // Answers what is blocked, and from now on stalls below `share` when told to.
  void reset(const std::filesystem::path& share) {
    answer();
    const std::lock_guard guard(mutex_);
    share_ = share;
  }
  void stall() {
    const std::lock_guard guard(mutex_);
    stalled_ = true;
  }
  void answer() {
    const std::lock_guard guard(mutex_);
    stalled_ = false;
    changed_.notify_all();
  }
  // Waits until a call is blocked.
  void wait_until_blocked() {
    std::unique_lock lock(mutex_);
    ASSERT_TRUE(changed_.wait_for(lock, std::chrono::seconds(60), [&] { return blocked_ > 0; }));
  }

  SystemCode status(const std::filesystem::path& p, FileStatus& s) override {
    return on_share(p, [&] { return inner_.status(p, s); });
  }
  SystemCode open(const std::filesystem::path& p, const OpenRequest& r, std::unique_ptr<OpenFile>& file) override {
    struct Stalling final : OpenFile {
      UnansweringShare& share;
      std::unique_ptr<OpenFile> inner;
      Stalling(UnansweringShare& s, std::unique_ptr<OpenFile> f) : share(s), inner(std::move(f)) {}
      SystemCode read(std::span<std::uint8_t> b, std::size_t& n) override {
        return share.blocking([&] { return inner->read(b, n); });
      }
      SystemCode write(std::span<const std::uint8_t> b) override { return inner->write(b); }
      SystemCode flush() override { return inner->flush(); }
      SystemCode size(std::uint64_t& bytes) override { return inner->size(bytes); }
      SystemCode truncate(std::uint64_t bytes) override { return inner->truncate(bytes); }
      SystemCode seek(std::uint64_t offset) override { return inner->seek(offset); }
    };
    return on_share(p, [&] {
      std::unique_ptr<OpenFile> opened;
      const SystemCode error = inner_.open(p, r, opened);
      if (error == 0) file = std::make_unique<Stalling>(*this, std::move(opened));
      return error;
    });
  }
  SystemCode set_read_only(const std::filesystem::path& p, bool r) override { return inner_.set_read_only(p, r); }
  SystemCode set_hidden(const std::filesystem::path& p, bool h) override { return inner_.set_hidden(p, h); }
  SystemCode create_folder(const std::filesystem::path& p) override { return inner_.create_folder(p); }
  SystemCode remove_folder(const std::filesystem::path& p) override { return inner_.remove_folder(p); }
  SystemCode move(const std::filesystem::path& a, const std::filesystem::path& b) override { return inner_.move(a, b); }
  SystemCode copy(const std::filesystem::path& a, const std::filesystem::path& b) override { return inner_.copy(a, b); }
  SystemCode remove_file(const std::filesystem::path& p) override { return inner_.remove_file(p); }
  FolderContents list(const std::filesystem::path& p) override { return inner_.list(p); }
  SystemCode free_space(const std::filesystem::path& p, std::uint64_t& b) override { return inner_.free_space(p, b); }
  bool long_paths_enabled() override { return inner_.long_paths_enabled(); }
  std::uint32_t process_id() override { return inner_.process_id(); }
  void pause(std::chrono::milliseconds d) override { inner_.pause(d); }
  std::vector<std::string> programs_using(const std::vector<std::filesystem::path>& p) override {
    return inner_.programs_using(p);
  }

 private:
  explicit UnansweringShare(FileSystem& inner) : inner_(inner) {}

  template <class Call>
  SystemCode on_share(const std::filesystem::path& path, Call&& call) {
    std::wstring share;
    {
      const std::lock_guard guard(mutex_);
      share = share_.wstring();
    }
    return !share.empty() && path.wstring().starts_with(share) ? blocking(call) : call();
  }
  template <class Call>
  SystemCode blocking(Call&& call) {
    {
      std::unique_lock lock(mutex_);
      if (stalled_) {
        ++blocked_;
        changed_.notify_all();
        changed_.wait(lock, [&] { return !stalled_; });
        --blocked_;
      }
    }
    return call();
  }

  FileSystem& inner_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::filesystem::path share_;
  bool stalled_ = false;
  int blocked_ = 0;
};

// A call blocked on a share that does not answer ends at once when the launcher is
// closed, and by itself as a network error (so that a mirror takes over) once the
// share has had its patience; the partial download keeps what arrived before.
TEST(UnansweringShareFolder, ACallEndsWhenStoppedOrOutOfPatienceAsANetworkError) {
  const std::string object(1048576 + 1000, 'o');
  const struct {
    const char* name;
    bool after_first_chunk;  // the share stops answering once a download has begun
    std::function<void(FolderTransport&, const std::filesystem::path&, std::stop_token)> call;
    std::string_view path;
  } cases[] = {
      {"fetch", false, [](auto& t, auto&, auto stop) { t.fetch(kRelease, 100, stop); }, kRelease},
      {"download", false, [&](auto& t, auto& d, auto stop) { t.download(kObject, d, object.size(), stop, {}, 0); },
       kObject},
      {"download, stalled after its first chunk", true,
       [&](auto& t, auto& d, auto stop) { t.download(kObject, d, object.size(), stop, {}, 0); }, kObject},
  };
  for (const auto& c : cases) {
    for (const bool stopped : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (stopped ? ", stopped" : ", left to its patience"));
      DiskFolder publication;
      DiskFolder staging;
      publication.write(std::string(kRelease), "release");
      publication.write(std::string(kObject), object);
      UnansweringShare& share = UnansweringShare::instance();
      share.reset(publication.path());
      FolderTransport transport(publication.path(), "file://server/share", share,
                                stopped ? std::chrono::milliseconds(3600000) : std::chrono::milliseconds(2000),
                                stopped ? std::chrono::milliseconds(3600000) : std::chrono::milliseconds(2000));
      const std::filesystem::path destination = staging / "object.part";
      std::stop_source stop;
      std::optional<PatchError> error;
      std::jthread caller([&] {
        if (!c.after_first_chunk) share.stall();
        error = failure_of([&] {
          if (c.after_first_chunk) {
            transport.download(kObject, destination, object.size(), stop.get_token(), [&](std::uint64_t) {
              share.stall();
            }, 0);
          } else {
            c.call(transport, destination, stop.get_token());
          }
        });
      });
      if (stopped) {
        share.wait_until_blocked();
        stop.request_stop();
      }
      caller.join();
      ASSERT_TRUE(error);
      if (stopped) {
        EXPECT_EQ(error->category(), ErrorCategory::cancelled);
        EXPECT_STREQ(error->what(), "The launcher was closed");
      } else {
        EXPECT_EQ(error->category(), ErrorCategory::network);
        EXPECT_EQ(std::string(error->what()),
                  "The patch folder did not answer for " + std::string(c.path) + " within 2 seconds");
      }
      EXPECT_EQ(test::content_of(destination), c.after_first_chunk ? object.substr(0, 1048576) : "<missing>");
      share.answer();
    }
  }
}

}  // namespace
}  // namespace kaldren::patcher
