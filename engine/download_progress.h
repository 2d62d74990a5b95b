// How one update job reports progress: every status passes one lock, which also
// guards the counters its workers share, so the window gets statuses one at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/update_engine.h"

namespace kaldren::patcher {

class StatusReporter {
 public:
  explicit StatusReporter(std::function<void(const UpdateStatus&)> report) : report_(std::move(report)) {}

  // Takes the lock and reports.
  void report(const UpdateStatus& status);
  // For a caller that already holds lock().
  void report_locked(const UpdateStatus& status) const;
  std::mutex& lock() noexcept { return mutex_; }

 private:
  std::function<void(const UpdateStatus&)> report_;
  std::mutex mutex_;
};

// The download phase over objects staged in parallel: the phase's bytes are the sum of
// the bytes present per object, and the item shown is the lowest-numbered object still
// in transfer. Thread-safe through the reporter's lock.
class DownloadTracker {
 public:
  // `status` is the phase's status (text, total); one size and name per object.
  DownloadTracker(StatusReporter& reporter, UpdateStatus status, std::vector<std::uint64_t> stored_sizes,
                  std::vector<std::string> names);

  // `bytes_present` of object `index` are downloaded (may go down when a copy is discarded).
  void progress(std::size_t index, std::uint64_t bytes_present);
  // Object `index` is staged.
  void done(std::size_t index);
  // The phase's byte total so far.
  std::uint64_t bytes();

 private:
  void publish();

  StatusReporter& reporter_;
  UpdateStatus status_;
  std::vector<std::uint64_t> stored_sizes_;
  std::vector<std::string> names_;
  std::vector<std::uint64_t> counts_;
  std::set<std::size_t> in_transfer_;
};

}  // namespace kaldren::patcher
