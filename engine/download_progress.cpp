#include "engine/download_progress.h"

#include <utility>

namespace kaldren::patcher {

void StatusReporter::report(const UpdateStatus& status) {
  const std::lock_guard guard(mutex_);
  report_locked(status);
}

void StatusReporter::report_locked(const UpdateStatus& status) const {
  if (report_) report_(status);
}

DownloadTracker::DownloadTracker(StatusReporter& reporter, UpdateStatus status,
                                 std::vector<std::uint64_t> stored_sizes, std::vector<std::string> names)
    : reporter_(reporter),
      status_(std::move(status)),
      stored_sizes_(std::move(stored_sizes)),
      names_(std::move(names)),
      counts_(stored_sizes_.size(), 0) {}

void DownloadTracker::progress(std::size_t index, std::uint64_t bytes_present) {
  const std::lock_guard guard(reporter_.lock());
  // Unsigned wrap-around gives the right sum when a discarded copy starts again lower.
  status_.done += bytes_present - counts_[index];
  counts_[index] = bytes_present;
  in_transfer_.insert(index);
  publish();
}

void DownloadTracker::done(std::size_t index) {
  const std::lock_guard guard(reporter_.lock());
  status_.done += stored_sizes_[index] - counts_[index];
  counts_[index] = stored_sizes_[index];
  in_transfer_.erase(index);
  publish();
}

std::uint64_t DownloadTracker::bytes() {
  const std::lock_guard guard(reporter_.lock());
  return status_.done;
}

void DownloadTracker::publish() {
  if (!in_transfer_.empty()) {
    const std::size_t shown = *in_transfer_.begin();
    status_.detail = names_[shown];
    status_.item_done = counts_[shown];
    status_.item_total = stored_sizes_[shown];
  }
  reporter_.report_locked(status_);
}

}  // namespace kaldren::patcher
