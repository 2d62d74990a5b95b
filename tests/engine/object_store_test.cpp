// The object store against a scripted transport: reuse of staged content, copies
// that fail verification, unpacking of real zstd frames and every way it refuses
// one, referenced documents, parallel staging, and file hashing.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <zstd_errors.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "core/error.h"
#include "engine/object_store.h"
#include "engine/zstd_fixtures.h"
#include "protocol/encoding.h"
#include "protocol/manifest.h"
#include "support/failure_of.h"
#include "support/log_reader.h"
#include "support/temp_folder.h"
#include "support/test_disk.h"
#include "system/file_operations.h"

namespace kaldren::patcher {

std::string test::lines_content() {
  std::string content;
  for (int line = 1; line <= 10000; ++line) content += fmt::format("line {:05} of the object store fixture\n", line);
  return content;
}

namespace {

using namespace std::chrono_literals;
using test::content_of;
using test::present;
using test::test_disk;
using testing::ElementsAre;

constexpr std::uint64_t kMiB = 1048576;

using test::failure_of;

PatchError cancelled_error() { return PatchError(ErrorCategory::cancelled, "The launcher was closed"); }

ObjectRef plain_ref(std::string_view content) {
  return {sha256(content), content.size(), sha256(content), content.size(), false};
}

ObjectRef packed_ref(std::string_view content, std::string_view frame) {
  return {sha256(content), content.size(), sha256(frame), frame.size(), true};
}

// A zstd frame of raw blocks (the bytes as they are) or, for uniform content, RLE
// blocks, with the content size in its header (unless `with_size` is false) and no
// checksum: big contents without a compressor, asking for any window.
std::string block_frame(std::string_view content, bool rle, int window_log = 20, bool with_size = true) {
  std::string frame("\x28\xb5\x2f\xfd", 4);
  frame += with_size ? '\xc0' : '\x00';  // 8-byte content size or none, window descriptor follows, no checksum
  frame += static_cast<char>((window_log - 10) << 3);
  if (with_size) {
    for (int shift = 0; shift < 64; shift += 8) frame += static_cast<char>((content.size() >> shift) & 0xff);
  }
  constexpr std::size_t kBlockBytes = 131072;
  for (std::size_t offset = 0; offset < content.size() || offset == 0; offset += kBlockBytes) {
    const std::size_t size = std::min(kBlockBytes, content.size() - offset);
    const bool last = offset + size == content.size();
    const std::uint32_t header = (last ? 1u : 0u) | ((rle ? 1u : 0u) << 1) | static_cast<std::uint32_t>(size << 3);
    for (int shift = 0; shift < 24; shift += 8) frame += static_cast<char>((header >> shift) & 0xff);
    frame += rle ? content.substr(offset, 1) : content.substr(offset, size);
    if (last) break;
  }
  return frame;
}

std::string pseudo_random_bytes(std::size_t count) {
  std::string bytes(count, '\0');
  std::uint32_t state = 0x12345678;
  for (char& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<char>(state >> 24);
  }
  return bytes;
}

// What the fake patch source holds for one object path.
struct FakeObject {
  std::string bytes;
  std::map<std::uint64_t, std::string> altered;  // served instead, by copy index
  std::optional<PatchError> error;               // thrown when requested
  bool hang = false;                             // waits for the stop, then ends as cancelled
  std::function<void()> on_request;
};

// A transport that writes scripted bytes the way the HTTP transport does: it resumes
// a partial file, makes no request when the bytes are all there, and reports the
// bytes present as it goes.
class FakeTransport final : public Transport {
 public:
  explicit FakeTransport(std::uint64_t sources = 1) : sources_(sources) {}

  void publish(const ObjectRef& ref, FakeObject object) { objects_[object_path(ref)] = std::move(object); }

  std::string fetch(std::string_view, std::uint64_t, std::stop_token) override {
    throw PatchError(ErrorCategory::internal, "fetch is not scripted");
  }
  std::vector<SourceDocument> fetch_all(std::string_view, std::uint64_t, std::stop_token) override {
    throw PatchError(ErrorCategory::internal, "fetch_all is not scripted");
  }

  void download(std::string_view path, const std::filesystem::path& destination, std::uint64_t size,
                std::stop_token stop, const DownloadProgress& progress, std::uint64_t copy_index) override {
    {
      const std::lock_guard lock(mutex_);
      ++download_calls_;
    }
    if (stop.stop_requested()) throw cancelled_error();
    const std::optional<FileInfo> partial = file_info(test_disk(), destination);
    std::uint64_t present = partial ? partial->size : 0;
    if (present > size) {
      delete_file(test_disk(), destination);
      present = 0;
    }
    if (present == size) {
      progress(present);
      return;
    }

    FakeObject object;
    {
      const std::lock_guard lock(mutex_);
      ++requests_;
      copy_indices_.push_back(copy_index);
      const auto found = objects_.find(std::string(path));
      if (found == objects_.end()) {
        throw PatchError(ErrorCategory::server, fmt::format("The patch server is missing {}", path));
      }
      object = found->second;
    }
    if (object.on_request) object.on_request();
    if (object.error) throw *object.error;
    if (object.hang) {
      std::mutex mutex;
      std::condition_variable_any wake;
      std::unique_lock lock(mutex);
      wake.wait_for(lock, stop, 20s, [] { return false; });
      const std::lock_guard count_lock(mutex_);
      ++cancelled_requests_;
      throw cancelled_error();
    }
    const auto altered = object.altered.find(copy_index);
    const std::string& body = altered != object.altered.end() ? altered->second : object.bytes;
    const std::unique_ptr<OpenFile> out = open_for_write(test_disk(), destination, true);
    ASSERT_EQ(out->truncate(present), 0u);
    constexpr std::uint64_t kChunk = 65536;
    for (std::uint64_t offset = present; offset < size; offset += kChunk) {
      const std::uint64_t chunk = std::min(kChunk, size - offset);
      write_bytes(*out, destination, std::span(reinterpret_cast<const std::uint8_t*>(body.data()) + offset, chunk));
      progress(offset + chunk);
    }
  }

  std::uint64_t source_count() const override { return sources_; }
  void prefer_sources(std::span<const std::uint64_t>) override {}
  std::string name() const override { return "fake"; }

  int download_calls() const {
    const std::lock_guard lock(mutex_);
    return download_calls_;
  }
  int requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
  }
  int cancelled_requests() const {
    const std::lock_guard lock(mutex_);
    return cancelled_requests_;
  }
  std::vector<std::uint64_t> copy_indices() const {
    const std::lock_guard lock(mutex_);
    return copy_indices_;
  }

 private:
  std::uint64_t sources_;
  std::map<std::string, FakeObject, std::less<>> objects_;
  mutable std::mutex mutex_;
  int download_calls_ = 0;
  int requests_ = 0;
  int cancelled_requests_ = 0;
  std::vector<std::uint64_t> copy_indices_;
};

// A staging folder in a scratch folder and the names the store gives its files.
struct Staging {
  test::DiskFolder scratch;
  std::filesystem::path folder = scratch / "staging";

  static std::filesystem::path in_sub_folder(const std::string& name) { return std::filesystem::path(name.substr(0, 2)) / name; }
  std::filesystem::path content(const ObjectRef& ref) const { return folder / in_sub_folder(to_hex(ref.sha256)); }
  std::filesystem::path unpacking(const ObjectRef& ref) const {
    return folder / in_sub_folder(to_hex(ref.sha256) + ".tmp");
  }
  std::filesystem::path partial(const ObjectRef& ref) const {
    return folder / in_sub_folder(to_hex(ref.stored_sha256) + ".part");
  }
  void put(const std::filesystem::path& path, std::string_view bytes) const {
    write_file_atomic(test_disk(), path, bytes);
  }
};

// Progress counts of one stage() call.
struct ProgressLog {
  std::vector<std::uint64_t> counts;
  ByteProgress callback() {
    return [this](std::uint64_t bytes) { counts.push_back(bytes); };
  }
};

TEST(Stage, ReusesStagedContentOnlyWhenItStillVerifies) {
  const std::string content = test::lines_content();
  const struct {
    const char* name;
    std::optional<std::string> staged;
    int requests;
  } cases[] = {
      {"right content", content, 0},
      {"same length, other bytes", std::string(content.size(), 'x'), 1},
      {"shorter", content.substr(1), 1},
      {"nothing staged", std::nullopt, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Staging staging;
    FakeTransport transport;
    const ObjectRef ref = packed_ref(content, test::zstd_lines_frame);
    transport.publish(ref, {std::string(test::zstd_lines_frame)});
    if (c.staged) staging.put(staging.content(ref), *c.staged);
    ProgressLog progress;
    ObjectStore store(test_disk(), staging.folder, transport);

    EXPECT_EQ(store.stage(ref, {}, progress.callback()), staging.content(ref));
    EXPECT_EQ(transport.requests(), c.requests);
    EXPECT_EQ(content_of(staging.content(ref)), content);
    ASSERT_FALSE(progress.counts.empty());
    EXPECT_EQ(progress.counts.back(), ref.stored_size) << "progress counts the stored bytes";
    if (c.requests == 0) {
      EXPECT_THAT(progress.counts, ElementsAre(ref.stored_size));
    }
    EXPECT_FALSE(present(staging.partial(ref)));
    EXPECT_FALSE(present(staging.unpacking(ref)));
  }
}

TEST(Stage, AFlatStagingFolderOfAnEarlierLauncherIsReusedResumedOrCleared) {
  const std::string content = pseudo_random_bytes(300000);
  const std::string stored = block_frame(content, false);
  const ObjectRef ref = packed_ref(content, stored);
  const std::string content_hex = to_hex(ref.sha256), stored_hex = to_hex(ref.stored_sha256);
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> flat;  // name, bytes
    int requests;
    std::size_t first_count;  // the first progress count: what was already there
  } cases[] = {
      {"staged content", {{content_hex, content}}, 0, stored.size()},
      {"partial download", {{stored_hex + ".part", stored.substr(0, 100000)}}, 1, 165536},
      {"stored bytes whole", {{stored_hex, stored}}, 0, stored.size()},
      {"unpacking remnant and strangers",
       {{content_hex + ".tmp", "half"}, {"notes.txt", "x"}, {std::string(64, 'A'), "upper"}, {stored_hex + ".bak", "b"}},
       1, 65536},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Staging staging;
    FakeTransport transport;
    transport.publish(ref, {stored});
    for (const auto& [name, bytes] : c.flat) staging.put(staging.folder / name, bytes);
    ObjectStore store(test_disk(), staging.folder, transport);
    store.adopt_flat_layout();
    ProgressLog progress;
    EXPECT_EQ(store.stage(ref, {}, progress.callback()), staging.content(ref));
    EXPECT_EQ(content_of(staging.content(ref)), content);
    EXPECT_EQ(transport.requests(), c.requests);
    ASSERT_FALSE(progress.counts.empty());
    EXPECT_EQ(progress.counts.front(), c.first_count);
    for (const FolderEntry& entry : test_disk().list(staging.folder).entries) {
      EXPECT_TRUE(entry.status.folder) << "left flat: " << std::filesystem::path(entry.name).string();
    }
  }
}

TEST(Stage, ZeroLengthObjectStagesAnEmptyFileWithoutARequest) {
  Staging staging;
  FakeTransport transport;
  ObjectStore store(test_disk(), staging.folder, transport);
  const ObjectRef ref = plain_ref("");
  ProgressLog progress;
  EXPECT_EQ(store.stage(ref, {}, progress.callback()), staging.content(ref));
  EXPECT_EQ(content_of(staging.content(ref)), "");
  EXPECT_EQ(transport.requests(), 0);
  EXPECT_THAT(progress.counts, ElementsAre(0u));
  EXPECT_FALSE(present(staging.partial(ref)));
}

TEST(Stage, ResumesAPartialDownloadAndReportsAbsoluteCounts) {
  const std::string content = pseudo_random_bytes(300000);
  for (const bool compressed : {false, true}) {
    SCOPED_TRACE(compressed ? "compressed" : "plain");
    Staging staging;
    FakeTransport transport;
    const std::string stored = compressed ? block_frame(content, false) : content;
    const ObjectRef ref = compressed ? packed_ref(content, stored) : plain_ref(content);
    transport.publish(ref, {stored});
    staging.put(staging.partial(ref), std::string_view(stored).substr(0, 100000));
    ProgressLog progress;
    ObjectStore store(test_disk(), staging.folder, transport);

    store.stage(ref, {}, progress.callback());
    EXPECT_EQ(content_of(staging.content(ref)), content);
    EXPECT_EQ(transport.requests(), 1);
    EXPECT_THAT(progress.counts, ElementsAre(165536u, 231072u, 296608u, stored.size()));
    EXPECT_FALSE(present(staging.partial(ref)));
  }
}

TEST(Stage, DiscardsCopiesThatFailVerificationUpToOneMoreThanTheSources) {
  const std::string content = "object content\n";
  const std::string altered = "object c0ntent\n";
  const struct {
    const char* name;
    std::uint64_t sources;
    std::vector<std::uint64_t> altered_copies;
    bool staged;
    std::vector<std::uint64_t> copy_indices;
  } cases[] = {
      {"two sources, one altered copy", 2, {0}, true, {0, 1}},
      {"one source, one altered copy", 1, {0}, true, {0, 1}},
      {"one source, two altered copies", 1, {0, 1}, false, {0, 1}},
      {"three sources, four altered copies", 3, {0, 1, 2, 3}, false, {0, 1, 2, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Staging staging;
    FakeTransport transport(c.sources);
    const ObjectRef ref = plain_ref(content);
    FakeObject object{content};
    for (const std::uint64_t copy : c.altered_copies) object.altered[copy] = altered;
    transport.publish(ref, object);
    ObjectStore store(test_disk(), staging.folder, transport);
    test::TempFolder logs;
    test::LogReader log(logs / "log.txt");

    const std::string path = object_path(ref);
    if (c.staged) {
      store.stage(ref, {});
      EXPECT_EQ(content_of(staging.content(ref)), content);
    } else {
      const PatchError error = failure_of([&] { store.stage(ref, {}); });
      EXPECT_EQ(error.category(), ErrorCategory::security);
      EXPECT_EQ(error.what(), "A downloaded file failed verification (" + path +
                                  "). The patch server or the network returned altered data.");
      EXPECT_FALSE(present(staging.content(ref)));
    }
    EXPECT_EQ(transport.copy_indices(), c.copy_indices);
    EXPECT_EQ(log.at("WARN"), std::vector<std::string>(std::min<std::size_t>(c.altered_copies.size(), c.sources),
                                                        "Discarding a copy of " + path +
                                                            " that failed verification; trying again"));
    EXPECT_FALSE(present(staging.partial(ref)));
  }
}

TEST(Stage, DiscardsAlteredCopiesOfACompressedObjectWhetherOrNotTheyUnpack) {
  const std::string content = "a second frame\n";
  const std::string frame(test::zstd_short_frame);
  // Copies of the published size. The same content as one raw block, with a window
  // byte and a 4-byte size instead of the checksum: other bytes that unpack just as well.
  const std::string raw_frame = std::string("\x28\xb5\x2f\xfd\x80\x00\x0f\x00\x00\x00\x79\x00\x00", 13) + content;
  std::string bad_checksum = frame;
  bad_checksum.back() ^= 1;
  ASSERT_EQ(raw_frame.size(), frame.size());
  const struct {
    const char* name;
    std::string altered;
  } cases[] = {
      {"checksum altered: unpacking fails", bad_checksum},
      {"other bytes of the same content: unpacking succeeds", raw_frame},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Staging staging;
    FakeTransport transport(1);
    const ObjectRef ref = packed_ref(content, frame);
    FakeObject object{frame};
    object.altered[0] = c.altered;
    transport.publish(ref, object);
    ObjectStore store(test_disk(), staging.folder, transport);
    EXPECT_EQ(store.stage(ref, {}), staging.content(ref));
    EXPECT_EQ(content_of(staging.content(ref)), content);
    EXPECT_EQ(transport.copy_indices(), (std::vector<std::uint64_t>{0, 1}));
    EXPECT_FALSE(present(staging.partial(ref)));
    EXPECT_FALSE(present(staging.unpacking(ref)));
  }
}

TEST(Stage, RefusesFramesThatDoNotUnpackToExactlyTheDeclaredContent) {
  const std::string lines = test::lines_content();
  const std::string frame(test::zstd_lines_frame);
  std::string bad_checksum = frame;
  bad_checksum.back() ^= 0x01;
  const struct {
    const char* name;
    std::string stored;
    std::uint64_t declared_size;
    std::string reason;
  } cases[] = {
      {"a second frame follows", frame + std::string(test::zstd_short_frame), lines.size(),
       "data after the end of the frame"},
      {"cut off", frame.substr(0, frame.size() - 5), lines.size(), "the frame is truncated"},
      {"cut off inside the header", frame.substr(0, 3), lines.size(), "the frame is truncated"},
      {"one byte more than declared", frame, lines.size() - 1, "it is larger than declared"},
      {"one byte less than declared", frame, lines.size() + 1, "it is smaller than declared"},
      {"window above 128 MiB", std::string(test::zstd_window_2_28_frame), 1,
       ZSTD_getErrorString(ZSTD_error_frameParameter_windowTooLarge)},
      // Found by fuzzing: content small enough to be decoded in one call skipped the
      // decoder's own window check.
      {"empty content, window above 128 MiB", std::string("\x28\xb5\x2f\xfd\x80\x8f\0\0\0\0\x01\0\0", 13), 0,
       ZSTD_getErrorString(ZSTD_error_frameParameter_windowTooLarge)},
      {"checksum does not match", bad_checksum, lines.size(), ZSTD_getErrorString(ZSTD_error_checksum_wrong)},
      {"not a zstd frame", lines.substr(0, 100), lines.size(), ZSTD_getErrorString(ZSTD_error_prefix_unknown)},
      // An empty frame of zstd 0.5's legacy format: the native library alone can read it.
      {"a legacy frame", std::string("\x25\xb5\x2f\xfd\x09\xff\x80\x02", 8), 0,
       ZSTD_getErrorString(ZSTD_error_prefix_unknown)},
      {"a skippable frame", std::string("\x50\x2a\x4d\x18\x00\x00\x00\x00", 8), 0,
       ZSTD_getErrorString(ZSTD_error_prefix_unknown)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Staging staging;
    FakeTransport transport;
    const ObjectRef ref{sha256(lines), c.declared_size, sha256(c.stored), c.stored.size(), true};
    transport.publish(ref, {c.stored});
    ObjectStore store(test_disk(), staging.folder, transport);

    const PatchError error = failure_of([&] { store.stage(ref, {}); });
    EXPECT_EQ(error.category(), ErrorCategory::security);
    EXPECT_EQ(error.what(), "A downloaded file could not be unpacked: " + c.reason);
    EXPECT_FALSE(present(staging.unpacking(ref)));
    EXPECT_FALSE(present(staging.content(ref)));
    EXPECT_EQ(content_of(staging.partial(ref)), c.stored) << "verified stored bytes are kept";
    EXPECT_EQ(transport.requests(), 1) << "a malformed publication is not fetched again";
  }
}

TEST(Stage, UnpacksRealAndStoredBlockFrames) {
  const std::string random = pseudo_random_bytes(3 * 131075 + 17);  // several reads of the frame
  const struct {
    const char* name;
    std::string content;
    std::string frame;
  } cases[] = {
      {"zstd command line, several output buffers", test::lines_content(), std::string(test::zstd_lines_frame)},
      {"raw blocks over several reads", random, block_frame(random, false)},
      {"empty content", "", block_frame("", false)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Staging staging;
    FakeTransport transport;
    const ObjectRef ref = packed_ref(c.content, c.frame);
    transport.publish(ref, {c.frame});
    ObjectStore store(test_disk(), staging.folder, transport);
    store.stage(ref, {});
    EXPECT_EQ(content_of(staging.content(ref)), c.content);
    EXPECT_FALSE(present(staging.partial(ref)));
    EXPECT_FALSE(present(staging.unpacking(ref)));
  }
}

TEST(Stage, CleanFrameOfOtherContentLeavesNoFileBehind) {
  Staging staging;
  FakeTransport transport;
  const std::string lines = test::lines_content();
  std::string other = lines;
  other[200000] = '#';
  const ObjectRef ref{sha256(other), lines.size(), sha256(test::zstd_lines_frame), test::zstd_lines_frame.size(), true};
  transport.publish(ref, {std::string(test::zstd_lines_frame)});
  ObjectStore store(test_disk(), staging.folder, transport);

  const PatchError error = failure_of([&] { store.stage(ref, {}); });
  EXPECT_EQ(error.category(), ErrorCategory::security);
  EXPECT_EQ(error.what(),
            "An unpacked file failed verification (" + object_path(ref) + "). The publication is inconsistent.");
  EXPECT_FALSE(present(staging.unpacking(ref)));
  EXPECT_FALSE(present(staging.partial(ref)));
  EXPECT_FALSE(present(staging.content(ref)));
  EXPECT_EQ(transport.requests(), 1);
}

TEST(Stage, TransportFailuresPassUnchangedAndKeepThePartialFile) {
  Staging staging;
  FakeTransport transport;
  const ObjectRef ref = plain_ref("content");
  const PatchError interrupted(ErrorCategory::network, "The connection closed before x finished");
  transport.publish(ref, {"content", {}, interrupted});
  staging.put(staging.partial(ref), "con");
  ObjectStore store(test_disk(), staging.folder, transport);

  const PatchError error = failure_of([&] { store.stage(ref, {}); });
  EXPECT_EQ(error.category(), ErrorCategory::network);
  EXPECT_STREQ(error.what(), "The connection closed before x finished");
  EXPECT_EQ(content_of(staging.partial(ref)), "con");
}

TEST(Stage, StagingFolderThatCannotBeCreated) {
  test::DiskFolder scratch;
  const auto blocker = scratch.write("blocker", "a file where a folder belongs");
  FakeTransport transport;
  ObjectStore store(test_disk(), blocker / "staging", transport);
  const PatchError error = failure_of([&] { store.stage(plain_ref("x"), {}); });
  EXPECT_EQ(error.category(), ErrorCategory::io);
  EXPECT_THAT(error.what(), testing::StartsWith("Could not create " +
                                                display_path(blocker / "staging" / to_hex(sha256("x")).substr(0, 2)) +
                                                ": "));
  EXPECT_EQ(transport.download_calls(), 0);
}

TEST(UnpackZstd, ReturnsTheDigestOfTheBytesWritten) {
  test::DiskFolder scratch;
  const auto source = scratch.write("object.part", test::zstd_short_frame);
  const auto target = scratch / "content.tmp";
  EXPECT_EQ(unpack_zstd(test_disk(), source, target, 15, {}), sha256("a second frame\n"));
  EXPECT_EQ(content_of(target), "a second frame\n");
}

TEST(UnpackZstd, FailsToCreateATargetInAMissingFolderAndWhenStopped) {
  test::DiskFolder scratch;
  const auto source = scratch.write("object.part", test::zstd_short_frame);
  const auto unreachable = scratch / "missing/content.tmp";
  PatchError error = failure_of([&] { unpack_zstd(test_disk(), source, unreachable, 15, {}); });
  EXPECT_EQ(error.category(), ErrorCategory::io);
  EXPECT_EQ(error.what(), win32_error_text("Could not create " + display_path(unreachable), 3));

  std::stop_source stop;
  stop.request_stop();
  error = failure_of([&] { unpack_zstd(test_disk(), source, scratch / "content.tmp", 15, stop.get_token()); });
  EXPECT_EQ(error.category(), ErrorCategory::cancelled);
  EXPECT_STREQ(error.what(), "The launcher was closed");
}

TEST(UnpackZstd, DecodersTakenAgainStartEachFrameAfresh) {
  test::DiskFolder scratch;
  const std::string content = test::lines_content();
  const std::string_view frame = test::zstd_lines_frame;
  const auto whole = scratch.write("whole.zst", frame);
  const auto cut = scratch.write("cut.zst", frame.substr(0, frame.size() / 2));
  ZstdDecoders decoders;
  std::vector<std::uint8_t> output(1000);  // many steps per frame
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    EXPECT_STREQ(failure_of([&] { unpack_zstd(test_disk(), cut, scratch / "out", content.size(), {}, output, decoders); })
                     .what(),
                 "A downloaded file could not be unpacked: the frame is truncated");
    const UnpackDigests digests = unpack_zstd(test_disk(), whole, scratch / "out", content.size(), {}, output, decoders);
    EXPECT_EQ(digests.content, sha256(content));
    EXPECT_EQ(digests.stored, sha256(frame));
    EXPECT_EQ(content_of(scratch / "out"), content);
  }
}

// What the decoders may cost before the stored bytes are known to be the published ones:
// a copy altered to ask for a large window is hashed first and discarded without a
// decoder; only a frame that verifies may have one map up to 128 MiB, and such a decoder
// is freed after its object, not kept for the next.
TEST(Stage, BytesNotYetVerifiedCannotMakeTheDecodersTakeALargeWindow) {
  constexpr std::uint64_t kUnverifiedWindow = 8 * kMiB;
  const std::string large = pseudo_random_bytes(300000);  // more than one read of the source
  const std::string small = pseudo_random_bytes(5000);
  // A frame with its content size takes 8 bytes more: the altered content is 8 bytes longer.
  const auto altered_large = [&](int window_log) {
    return block_frame(pseudo_random_bytes(300008).substr(8) + "12345678", false, window_log, false);
  };
  const struct {
    const char* name;
    std::string content;
    std::string published;             // the stored bytes of the release
    std::optional<std::string> altered;  // what the source sends instead, every time
    bool staged;
    std::uint64_t peak_at_least;
    std::uint64_t peak_at_most;
    bool kept;  // a decoder stays for the next object
  } cases[] = {
      {"altered to ask for a 128 MiB window", large, block_frame(large, false), altered_large(27), false, 0, 0, false},
      {"altered, in one read, asking for an 8 MiB window", small, block_frame(small, false),
       block_frame(pseudo_random_bytes(5008), false, 23, false), false, 0, 0, false},
      {"altered to ask for an 8 MiB window", large, block_frame(large, false), altered_large(23), false,
       kUnverifiedWindow, kUnverifiedWindow + kMiB, true},
      {"published with a 128 MiB window", large, block_frame(large, false, 27, false), std::nullopt, true, 128 * kMiB,
       129 * kMiB, false},
      {"published with a 1 MiB window", large, block_frame(large, false), std::nullopt, true, 0, 2 * kMiB, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(!c.altered || c.altered->size() == c.published.size());
    Staging staging;
    FakeTransport transport;
    const ObjectRef ref = packed_ref(c.content, c.published);
    FakeObject object{c.published};
    if (c.altered) object.altered = {{0, *c.altered}, {1, *c.altered}};
    transport.publish(ref, object);
    ObjectStore store(test_disk(), staging.folder, transport);
    if (c.staged) {
      EXPECT_EQ(store.stage(ref, {}), staging.content(ref));
      EXPECT_EQ(content_of(staging.content(ref)), c.content);
    } else {
      const PatchError error = failure_of([&] { store.stage(ref, {}); });
      EXPECT_EQ(error.category(), ErrorCategory::security);
      EXPECT_THAT(error.what(), testing::StartsWith("A downloaded file failed verification"));
      EXPECT_EQ(transport.requests(), 2);
    }
    EXPECT_GE(store.decoders().peak_bytes(), c.peak_at_least);
    EXPECT_LE(store.decoders().peak_bytes(), c.peak_at_most);
    EXPECT_EQ(store.decoders().kept_bytes() > 0, c.kept);
    EXPECT_FALSE(present(staging.unpacking(ref)));
  }
}

// Eight workers on sixteen altered copies asking for 128 MiB windows: not one decoder.
// On published frames of 8 MiB windows the pool keeps at most one decoder per worker.
TEST(StageAll, ParallelWorkersKeepTheDecodersWithinBounds) {
  for (const bool altered : {true, false}) {
    SCOPED_TRACE(altered ? "altered copies" : "published frames");
    Staging staging;
    FakeTransport transport;
    std::vector<ObjectRef> refs;
    for (int i = 0; i < 16; ++i) {
      const std::string content = pseudo_random_bytes(200000 + i);
      const std::string published = block_frame(content, false, 23);
      refs.push_back(packed_ref(content, published));
      FakeObject object{published};
      if (altered) {
        const std::string other = block_frame(pseudo_random_bytes(200008 + i).substr(8) + "12345678", false, 27, false);
        object.altered = {{0, other}, {1, other}};
      }
      transport.publish(refs.back(), object);
    }
    ObjectStore store(test_disk(), staging.folder, transport);
    if (altered) {
      EXPECT_EQ(failure_of([&] { store.stage_all(refs, 8, {}, {}, {}); }).category(), ErrorCategory::security);
      EXPECT_EQ(store.decoders().peak_bytes(), 0u);
    } else {
      store.stage_all(refs, 8, {}, {}, {});
      EXPECT_GT(store.decoders().kept_bytes(), 0u);
      EXPECT_LE(store.decoders().kept_bytes(), 8 * (8 * kMiB + kMiB));
      EXPECT_LE(store.decoders().peak_bytes(), 8 * (8 * kMiB + kMiB));
    }
  }
}

TEST(Stage, ReusedContentReachesTheDisk) {
  MemoryFileSystem* memory = test::memory_disk();
  if (memory == nullptr) GTEST_SKIP() << "the drive under test cannot lose power";
  // Earlier launchers gave objects stored as is their staged name before flushing them:
  // such a file must not be installed as it is.
  const std::string content = test::lines_content();
  Staging staging;
  FakeTransport transport;
  const ObjectRef ref = packed_ref(content, test::zstd_lines_frame);
  transport.publish(ref, {std::string(test::zstd_lines_frame)});
  create_folders(*memory, staging.content(ref).parent_path());
  write_bytes(*open_for_write(*memory, staging.content(ref)), staging.content(ref),
              std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
  ObjectStore store(*memory, staging.folder, transport);
  EXPECT_EQ(store.stage(ref, {}), staging.content(ref));
  EXPECT_EQ(transport.requests(), 0);
  memory->cut_power_before(memory->operations() + 1);
  memory->restart();
  EXPECT_EQ(content_of(staging.content(ref)), content);
}

TEST(ReadDocument, ReadsUpTo64MiBAndRefusesMoreBeforeAnyDownload) {
  for (const std::uint64_t size : {kMaxManifestDocumentBytes, kMaxManifestDocumentBytes + 1}) {
    SCOPED_TRACE(size);
    Staging staging;
    FakeTransport transport;
    const std::string content(size, '\0');
    const std::string frame = block_frame(content, true);
    const ObjectRef ref = packed_ref(content, frame);
    transport.publish(ref, {frame});
    ObjectStore store(test_disk(), staging.folder, transport);
    if (size == kMaxManifestDocumentBytes) {
      EXPECT_EQ(store.read_document(ref, {}), content);
      EXPECT_EQ(transport.requests(), 1);
    } else {
      const PatchError error = failure_of([&] { store.read_document(ref, {}); });
      EXPECT_EQ(error.category(), ErrorCategory::security);
      EXPECT_STREQ(error.what(), "A referenced document is larger than allowed");
      EXPECT_EQ(transport.download_calls(), 0);
    }
  }
}

// The objects of one stage_all run and what its callbacks reported.
struct ParallelCase {
  Staging staging;
  FakeTransport transport;
  std::vector<ObjectRef> refs;
  std::mutex mutex;
  std::map<std::size_t, std::uint64_t> last_progress;
  std::vector<std::size_t> done;

  void add(std::string content, FakeObject object) {
    refs.push_back(plain_ref(content));
    object.bytes = std::move(content);
    transport.publish(refs.back(), std::move(object));
  }
  void run(ObjectStore& store, std::uint32_t threads, std::stop_token stop) {
    store.stage_all(
        refs, threads, stop,
        [this](std::size_t index, std::uint64_t bytes) {
          const std::lock_guard lock(mutex);
          last_progress[index] = bytes;
        },
        [this](std::size_t index) {
          const std::lock_guard lock(mutex);
          done.push_back(index);
        });
  }
};

TEST(StageAll, StagesEveryObjectAndReportsEachOnce) {
  ParallelCase run;
  for (int i = 0; i < 7; ++i) run.add(fmt::format("object {} {}", i, std::string(i * 40000, 'z')), {});
  ObjectStore store(test_disk(), run.staging.folder, run.transport);
  run.run(store, 3, {});
  std::sort(run.done.begin(), run.done.end());
  EXPECT_THAT(run.done, ElementsAre(0, 1, 2, 3, 4, 5, 6));
  for (std::size_t i = 0; i < run.refs.size(); ++i) {
    EXPECT_EQ(run.last_progress[i], run.refs[i].stored_size);
    EXPECT_EQ(content_of(run.staging.content(run.refs[i])).size(), run.refs[i].size);
  }
  std::vector<ObjectRef> none;
  store.stage_all(none, 8, {}, {}, {});
}

TEST(StageAll, BytesPublishedAsTwoObjectsAreFetchedOnce) {
  // A file shipped as it is and another shipped as its zstd form: one stored object.
  const std::string frame(test::zstd_lines_frame);
  ParallelCase run;
  run.refs = {packed_ref(test::lines_content(), frame), plain_ref(frame)};
  run.transport.publish(run.refs[1], {frame});
  ObjectStore store(test_disk(), run.staging.folder, run.transport);
  run.run(store, 2, {});
  EXPECT_EQ(run.transport.requests(), 1);
  EXPECT_EQ(content_of(run.staging.content(run.refs[0])), test::lines_content());
  EXPECT_EQ(content_of(run.staging.content(run.refs[1])), frame);
  EXPECT_EQ(run.last_progress[0], frame.size());
  EXPECT_FALSE(present(run.staging.partial(run.refs[1])));
}

TEST(StageAll, AServerErrorStopsTheOthersUnlessTheLauncherWasClosed) {
  for (const bool closed_meanwhile : {false, true}) {
    SCOPED_TRACE(closed_meanwhile ? "launcher closed meanwhile" : "server error only");
    ParallelCase run;
    std::stop_source caller;
    std::atomic<int> hanging{0};
    const PatchError missing(ErrorCategory::server, "The patch server is missing v2/objects/00/x");
    run.add("waits 1", {.hang = true, .on_request = [&] { ++hanging; }});
    run.add("fails", {.error = missing, .on_request = [&] {
                        // Fails once the others are inside their downloads.
                        const auto deadline = std::chrono::steady_clock::now() + 10s;
                        while (hanging < 2 && std::chrono::steady_clock::now() < deadline) {
                          std::this_thread::sleep_for(1ms);
                        }
                        if (closed_meanwhile) caller.request_stop();
                      }});
    run.add("waits 2", {.hang = true, .on_request = [&] { ++hanging; }});
    run.add("never started", {});
    ObjectStore store(test_disk(), run.staging.folder, run.transport);

    const PatchError error = failure_of([&] { run.run(store, 3, caller.get_token()); });
    if (closed_meanwhile) {
      EXPECT_EQ(error.category(), ErrorCategory::cancelled);
      EXPECT_STREQ(error.what(), "The launcher was closed");
    } else {
      EXPECT_EQ(error.category(), ErrorCategory::server);
      EXPECT_STREQ(error.what(), missing.what());
    }
    EXPECT_EQ(run.transport.cancelled_requests(), 2) << "the failure stops the downloads under way";
    EXPECT_EQ(run.transport.requests(), 3) << "no object starts after the failure";
    EXPECT_TRUE(run.done.empty());
  }
}

TEST(Sha256File, DigestsKnownContents) {
  const struct {
    const char* name;
    std::string content;
    const char* digest;
  } cases[] = {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"a million a", std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  test::DiskFolder scratch;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = scratch.write("file", c.content);
    EXPECT_EQ(to_hex(sha256_file(test_disk(), file, {})), c.digest);
  }
}

TEST(Sha256File, ReportsEachStepAsADelta) {
  test::DiskFolder scratch;
  const std::string content = pseudo_random_bytes(2 * kMiB + kMiB / 2);
  const auto file = scratch.write("file", content);
  ProgressLog progress;
  EXPECT_EQ(sha256_file(test_disk(), file, {}, progress.callback()), sha256(content));
  EXPECT_THAT(progress.counts, ElementsAre(kMiB, kMiB, kMiB / 2));
}

TEST(Sha256File, ThroughBuffersTakenAgainForEachFile) {
  test::DiskFolder scratch;
  const std::string content = pseudo_random_bytes(kMiB + 7);
  const auto file = scratch.write("file", content);
  HashBuffers buffers;
  const std::uint8_t* first = nullptr;
  for (int round = 0; round < 3; ++round) {
    const HashBuffers::Lease lease = buffers.take();
    if (!first) first = lease.bytes().data();
    EXPECT_EQ(lease.bytes().data(), first) << "a returned buffer serves the next file";
    EXPECT_EQ(sha256_file(test_disk(), file, {}, lease.bytes()), sha256(content));
    const HashBuffers::Lease second = buffers.take();
    EXPECT_NE(second.bytes().data(), first) << "two at once are two buffers";
  }
}

TEST(Sha256File, StopsWhenTheLauncherIsClosed) {
  test::DiskFolder scratch;
  const auto file = scratch.write("file", std::string(3 * kMiB, 'q'));
  for (const bool before : {true, false}) {
    SCOPED_TRACE(before ? "stopped before" : "stopped after the first step");
    std::stop_source stop;
    if (before) stop.request_stop();
    ProgressLog progress;
    const PatchError error = failure_of([&] {
      sha256_file(test_disk(), file, stop.get_token(), [&](std::uint64_t bytes) {
        progress.counts.push_back(bytes);
        stop.request_stop();
      });
    });
    EXPECT_EQ(error.category(), ErrorCategory::cancelled);
    EXPECT_STREQ(error.what(), "The launcher was closed");
    EXPECT_EQ(progress.counts.size(), before ? 0u : 1u);
  }
}

TEST(Sha256File, MissingFile) {
  test::DiskFolder scratch;
  const auto missing = scratch / "missing";
  const PatchError error = failure_of([&] { sha256_file(test_disk(), missing, {}); });
  EXPECT_EQ(error.category(), ErrorCategory::io);
  EXPECT_EQ(error.what(), win32_error_text("Could not open " + display_path(missing), 2));
}

}  // namespace
}  // namespace kaldren::patcher
