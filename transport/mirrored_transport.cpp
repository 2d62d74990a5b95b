#include "transport/mirrored_transport.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <optional>
#include <thread>
#include <utility>

#include "core/log.h"

namespace kaldren::patcher {

namespace {

constexpr std::int32_t kMaxFailures = 4;
// The penalty doubles per failed probe up to 2^3 times the base penalty.
constexpr std::int32_t kMaxPenaltyDoublings = 3;
constexpr std::int64_t kNanosecondsPerMillisecond = 1'000'000;

// What a caller of this transport sees of a source's error: never a TransientError,
// whose retrying belongs to the single-source transport.
PatchError reported(const PatchError& error) { return PatchError(error.category(), error.what()); }

}  // namespace

std::int64_t steady_clock_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// The probing flags a request claimed and has not settled yet: released when the
// request ends however it ends, so a recovering source is never left unprobed.
class MirroredTransport::ProbeClaims {
 public:
  ProbeClaims(SourceHealth* health, std::vector<std::size_t> probes)
      : health_(health), probes_(std::move(probes)) {}
  ProbeClaims(const ProbeClaims&) = delete;
  ProbeClaims& operator=(const ProbeClaims&) = delete;
  ~ProbeClaims() {
    for (const std::size_t source : probes_) health_[source].probing.store(false);
  }

  // True when this request probes `source`; the caller then settles the claim.
  bool take(std::size_t source) {
    const auto found = std::find(probes_.begin(), probes_.end(), source);
    if (found == probes_.end()) return false;
    probes_.erase(found);
    return true;
  }

 private:
  SourceHealth* health_;
  std::vector<std::size_t> probes_;
};

MirroredTransport::MirroredTransport(std::vector<std::unique_ptr<Transport>> sources,
                                     std::int64_t penalty_ms, SteadyClock clock,
                                     std::chrono::milliseconds fetch_all_grace)
    : sources_(std::move(sources)),
      penalty_ms_(penalty_ms),
      clock_(clock ? std::move(clock) : SteadyClock(steady_clock_ns)),
      fetch_all_grace_(fetch_all_grace) {
  if (sources_.empty()) throw PatchError(ErrorCategory::configuration, "No patch server is configured");
  order_.resize(sources_.size());
  for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = i;
  health_ = std::make_unique<SourceHealth[]>(sources_.size());
}

MirroredTransport::~MirroredTransport() = default;

std::vector<std::size_t> MirroredTransport::order_copy() const {
  std::lock_guard guard(lock_);
  return order_;
}

MirroredTransport::Plan MirroredTransport::plan(std::uint64_t copy_index) {
  const std::vector<std::size_t> order = order_copy();
  const std::int64_t now = clock_();
  Plan plan;
  std::vector<std::size_t> deferred;
  for (const std::size_t source : order) {
    SourceHealth& health = health_[source];
    if (health.failures.load() == 0) {
      plan.sources.push_back(source);
    } else if (health.penalty_until.load() > now || health.probing.exchange(true)) {
      // Still penalised, or another request is already probing it.
      deferred.push_back(source);
    } else {
      plan.sources.push_back(source);
      plan.probes.push_back(source);
    }
  }
  // A caller that discarded a copy starts elsewhere, so a bad copy is not fetched again.
  if (!plan.sources.empty()) {
    const auto first = static_cast<std::ptrdiff_t>(copy_index % plan.sources.size());
    std::rotate(plan.sources.begin(), plan.sources.begin() + first, plan.sources.end());
  }
  plan.sources.insert(plan.sources.end(), deferred.begin(), deferred.end());
  return plan;
}

void MirroredTransport::fail_over(std::string_view path, Plan plan,
                                  const std::function<void(Transport& source)>& call) {
  ProbeClaims claims(health_.get(), std::move(plan.probes));
  std::optional<PatchError> first_error;
  for (const std::size_t source : plan.sources) {
    try {
      call(*sources_[source]);
    } catch (const PatchError& error) {
      // Nothing failed when the caller stopped: no penalty, no next source.
      if (error.category() == ErrorCategory::cancelled) throw;
      log(LogLevel::warn, "{} failed on {}: {}", path, sources_[source]->name(), error.what());
      record_failure(source, error, claims.take(source));
      if (!first_error) first_error.emplace(reported(error));
      continue;
    }
    claims.take(source);
    mark_reachable(source);
    return;
  }
  throw *first_error;
}

void MirroredTransport::record_failure(std::size_t source, const PatchError& error, bool probe) {
  // Any answer, even a refusal, proves the source reachable.
  if (error.category() != ErrorCategory::network) {
    mark_reachable(source);
    return;
  }
  SourceHealth& health = health_[source];
  std::int32_t before = health.failures.load();
  do {
    // A penalised source asked as a last resort keeps the penalty it has; only a
    // failed probe (or a first failure) makes it longer.
    if (before > 0 && !probe) return;
  } while (!health.failures.compare_exchange_weak(before, std::min(before + 1, kMaxFailures)));

  const std::int64_t penalty_ms = penalty_ms_ << std::min(before, kMaxPenaltyDoublings);
  health.penalty_until.store(clock_() + penalty_ms * kNanosecondsPerMillisecond);
  health.probing.store(false);
  log(LogLevel::warn, "Patch source {} is unreachable; using the others for {} s", sources_[source]->name(),
      penalty_ms / 1000);
}

void MirroredTransport::mark_reachable(std::size_t source) {
  SourceHealth& health = health_[source];
  if (health.failures.exchange(0) > 0) {
    health.penalty_until.store(0);
    log(LogLevel::info, "Patch source {} is reachable again", sources_[source]->name());
  }
  health.probing.store(false);
}

std::string MirroredTransport::fetch(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) {
  std::string body;
  fail_over(path, plan(0), [&](Transport& source) { body = source.fetch(path, byte_cap, stop); });
  return body;
}

void MirroredTransport::download(std::string_view path, const std::filesystem::path& destination,
                                 std::uint64_t size, std::stop_token stop, const DownloadProgress& progress,
                                 std::uint64_t copy_index) {
  // The rotation already spent the copy index; each source has only its own copy.
  fail_over(path, plan(copy_index), [&](Transport& source) {
    source.download(path, destination, size, stop, progress, 0);
  });
}

std::vector<SourceDocument> MirroredTransport::fetch_all(std::string_view path, std::uint64_t byte_cap,
                                                         std::stop_token stop) {
  struct Slot {
    std::optional<std::string> body;
    std::exception_ptr error;
  };
  const std::size_t count = sources_.size();
  std::vector<Slot> slots(count);
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t finished = 0;
  std::size_t succeeded = 0;
  std::stop_source requests;
  {
    // The caller's stop ends every source's request and wakes the wait below.
    std::stop_callback link(stop, [&] {
      requests.request_stop();
      std::lock_guard guard(mutex);
      changed.notify_all();
    });

    std::vector<std::thread> threads;
    threads.reserve(count);
    const auto join_all = [&] {
      for (std::thread& thread : threads) thread.join();
    };
    try {
      for (std::size_t i = 0; i < count; ++i) {
        threads.emplace_back([&, i, token = requests.get_token()] {
          Slot result;
          try {
            result.body = sources_[i]->fetch(path, byte_cap, token);
          } catch (...) {
            result.error = std::current_exception();
          }
          std::lock_guard guard(mutex);
          if (result.body) ++succeeded;
          slots[i] = std::move(result);
          ++finished;
          changed.notify_all();
        });
      }
    } catch (...) {
      requests.request_stop();
      join_all();
      throw;
    }

    {
      std::unique_lock guard(mutex);
      changed.wait(guard, [&] { return finished == count || succeeded > 0 || stop.stop_requested(); });
      // One slow source must not hold up an update the others can already serve.
      if (finished < count && !stop.stop_requested()) {
        const auto deadline = std::chrono::steady_clock::now() + fetch_all_grace_;
        changed.wait_until(guard, deadline, [&] { return finished == count || stop.stop_requested(); });
      }
    }
    requests.request_stop();
    join_all();
  }
  throw_if_stopped(stop);

  std::vector<SourceDocument> documents;
  std::optional<PatchError> first_error;
  for (const std::size_t source : order_copy()) {
    Slot& slot = slots[source];
    if (slot.body) {
      mark_reachable(source);
      documents.push_back({source, std::move(*slot.body)});
      continue;
    }
    try {
      std::rethrow_exception(slot.error);
    } catch (const PatchError& error) {
      if (error.category() == ErrorCategory::cancelled) {
        log(LogLevel::info, "{} from {} took too long; continuing without it", path, sources_[source]->name());
      } else {
        log(LogLevel::warn, "{} failed on {}: {}", path, sources_[source]->name(), error.what());
        // Every source that failed here is penalised anew, as if it had been probed.
        record_failure(source, error, true);
        if (!first_error) first_error.emplace(reported(error));
      }
    }
  }
  if (!documents.empty()) return documents;
  // Only a source that claims it was stopped when nobody stopped it leaves no error.
  if (first_error) throw *first_error;
  throw_cancelled();
}

std::uint64_t MirroredTransport::source_count() const { return sources_.size(); }

void MirroredTransport::prefer_sources(std::span<const std::uint64_t> sources) {
  std::lock_guard guard(lock_);
  std::vector<std::size_t> order;
  order.reserve(order_.size());
  std::vector<bool> placed(order_.size(), false);
  for (const std::uint64_t source : sources) {
    if (source < order_.size() && !placed[source]) {
      placed[source] = true;
      order.push_back(static_cast<std::size_t>(source));
    }
  }
  for (const std::size_t source : order_) {
    if (!placed[source]) order.push_back(source);
  }
  order_ = std::move(order);
}

std::string MirroredTransport::name() const {
  std::string text = "mirrors";
  for (std::size_t i = 0; i < sources_.size(); ++i) {
    text += i == 0 ? " " : ", ";
    text += sources_[i]->name();
  }
  return text;
}

}  // namespace kaldren::patcher
