#include "engine/update_plan.h"

#include <gtest/gtest.h>

#include <set>

#include "engine/download_progress.h"

namespace kaldren::patcher {
namespace {

ObjectRef object(std::uint8_t id, std::uint64_t size, std::uint64_t stored_size) {
  ObjectRef ref;
  ref.sha256.fill(id);
  ref.stored_sha256.fill(static_cast<std::uint8_t>(id + 100));
  ref.size = size;
  ref.stored_size = stored_size;
  ref.compressed = true;
  return ref;
}

TEST(ObjectGroups, OneGroupPerContentLargestStoredFirst) {
  const std::vector<ManifestFile> files = {
      {"a", object(1, 10, 5)},  {"b", object(2, 30, 20)}, {"c", object(1, 10, 5)},
      {"d", object(3, 99, 20)}, {"e", object(4, 1, 1)},   {"f", object(2, 30, 20)},
  };
  const std::vector<std::size_t> to_update = {0, 1, 2, 3, 5};  // e is up to date
  const std::vector<ObjectGroup> groups = group_objects(files, to_update);
  ASSERT_EQ(groups.size(), 3u);
  // Equal stored sizes keep the manifest order of their first file.
  EXPECT_EQ(groups[0].object, object(2, 30, 20));
  EXPECT_EQ(groups[0].files, (std::vector<std::size_t>{1, 5}));
  EXPECT_EQ(groups[1].object, object(3, 99, 20));
  EXPECT_EQ(groups[1].files, (std::vector<std::size_t>{3}));
  EXPECT_EQ(groups[2].object, object(1, 10, 5));
  EXPECT_EQ(groups[2].files, (std::vector<std::size_t>{0, 2}));
  EXPECT_TRUE(group_objects(files, {}).empty());
}

TEST(SpaceNeed, CountsTheLargestObjectsInFlightCopiesAndStagedContent) {
  constexpr std::uint64_t kReserve = 67108864;
  // Ten objects, stored sizes 1000, 900, ..., 100, content twice as large; object 3
  // is used by three files, object 9 is already staged.
  std::vector<ObjectGroup> groups;
  for (std::uint8_t i = 0; i < 10; ++i) {
    const std::uint64_t stored = 1000 - 100u * i;
    groups.push_back({object(i, 2 * stored, stored), {i}});
  }
  groups[3].files = {3, 10, 11};
  const auto staged = [](const ObjectRef& ref) { return ref.sha256[0] == 9; };

  const struct {
    std::uint32_t threads;
    std::uint64_t in_flight;
  } cases[] = {{8, 1000 + 900 + 800 + 700 + 600 + 500 + 400 + 300}, {1, 1000}, {0, 0}, {20, 5500}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.threads);
    const SpaceNeed need = space_needed(groups, c.threads, staged);
    EXPECT_EQ(need.unpacked, 11000u);
    EXPECT_EQ(need.transfer, 5500u);
    EXPECT_EQ(need.copies, 2u * 1400u);
    EXPECT_EQ(need.staged, 200u);
    EXPECT_EQ(need.in_flight, c.in_flight);
    EXPECT_EQ(need.needed(), 11000u + c.in_flight + 2800u - 200u + kReserve);
  }
  EXPECT_EQ(space_needed({}, 8, staged).needed(), kReserve);
}

TEST(ReleaseRecordOfRelease, KeepsSequenceVersionManifestAndExecutable) {
  Release release;
  release.sequence = 41;
  release.client.version = {1, 2, 3};
  release.client.manifest = object(7, 1, 1);
  release.client.executable = "bin/game.exe";
  EXPECT_EQ(record_of(release), (ReleaseRecord{41, {1, 2, 3}, object(7, 1, 1).sha256, "bin/game.exe"}));
}

struct Shown {
  std::uint64_t done, item_done, item_total;
  std::string detail;
  friend bool operator==(const Shown&, const Shown&) = default;
};

std::ostream& operator<<(std::ostream& out, const Shown& shown) {
  return out << "{" << shown.done << ", " << shown.item_done << "/" << shown.item_total << ", " << shown.detail
             << "}";
}

TEST(DownloadTracker, SumsBytesPerObjectAndShowsTheLowestObjectInTransfer) {
  std::vector<Shown> shown;
  StatusReporter reporter([&](const UpdateStatus& status) {
    EXPECT_EQ(status.phase, UpdateStatus::downloading);
    EXPECT_EQ(status.text, "Downloading updates...");
    EXPECT_EQ(status.total, 175u);
    shown.push_back({status.done, status.item_done, status.item_total, status.detail});
  });
  UpdateStatus status;
  status.phase = UpdateStatus::downloading;
  status.text = "Downloading updates...";
  status.total = 175;
  DownloadTracker tracker(reporter, status, {100, 50, 25}, {"big.pak", "mid.pak", "small.pak"});

  tracker.progress(1, 10);
  tracker.progress(0, 40);
  tracker.progress(1, 30);
  tracker.progress(0, 20);  // a discarded copy starts again
  tracker.done(0);
  tracker.done(2);  // already staged: complete at once
  tracker.progress(1, 50);
  tracker.done(1);
  const std::vector<Shown> expected = {
      {10, 10, 50, "mid.pak"},  {50, 40, 100, "big.pak"}, {70, 40, 100, "big.pak"},   {50, 20, 100, "big.pak"},
      {130, 30, 50, "mid.pak"}, {155, 30, 50, "mid.pak"}, {175, 50, 50, "mid.pak"}, {175, 50, 50, "mid.pak"},
  };
  EXPECT_EQ(shown, expected);
  EXPECT_EQ(tracker.bytes(), 175u);
}

TEST(StatusReporter, WithoutAFunctionReportsNothing) {
  StatusReporter reporter({});
  reporter.report(UpdateStatus{});  // must not throw
  std::lock_guard guard(reporter.lock());
  reporter.report_locked(UpdateStatus{});
}

}  // namespace
}  // namespace kaldren::patcher
