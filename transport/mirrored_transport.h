// Several patch sources behind one Transport: requests fail over from source to
// source, unreachable sources are avoided for a growing while and probed one request
// at a time, and fetch_all asks every source at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/transport.h"

namespace kaldren::patcher {

// Monotonic time in nanoseconds.
using SteadyClock = std::function<std::int64_t()>;

// std::chrono::steady_clock in nanoseconds.
std::int64_t steady_clock_ns();

class MirroredTransport final : public Transport {
 public:
  // `sources` in configuration order (a source's index is its position); an unreachable
  // source is avoided for `penalty_ms`, doubling per failed probe up to 8 times that.
  // fetch_all waits at most `fetch_all_grace` for the others once one source answered.
  // Throws configuration "No patch server is configured" for an empty list.
  MirroredTransport(std::vector<std::unique_ptr<Transport>> sources, std::int64_t penalty_ms,
                    SteadyClock clock = steady_clock_ns,
                    std::chrono::milliseconds fetch_all_grace = std::chrono::seconds(2));
  ~MirroredTransport() override;

  std::string fetch(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) override;
  std::vector<SourceDocument> fetch_all(std::string_view path, std::uint64_t byte_cap,
                                        std::stop_token stop) override;
  void download(std::string_view path, const std::filesystem::path& destination, std::uint64_t size,
                std::stop_token stop, const DownloadProgress& progress, std::uint64_t copy_index) override;
  std::uint64_t source_count() const override;
  void prefer_sources(std::span<const std::uint64_t> sources) override;
  std::string name() const override;

 private:
  struct SourceHealth {
    std::atomic<std::int64_t> penalty_until{0};  // steady-clock ns; 0 when healthy
    std::atomic<std::int32_t> failures{0};       // consecutive network failures, 0..4
    std::atomic<bool> probing{false};            // one request is probing the source
  };

  // The sources of one request in the order to try them, and those it probes.
  struct Plan {
    std::vector<std::size_t> sources;
    std::vector<std::size_t> probes;
  };
  class ProbeClaims;

  std::vector<std::size_t> order_copy() const;
  Plan plan(std::uint64_t copy_index);
  // Asks the plan's sources in turn until `call` returns without a source failure.
  void fail_over(std::string_view path, Plan plan, const std::function<void(Transport& source)>& call);
  void record_failure(std::size_t source, const PatchError& error, bool probe);
  void mark_reachable(std::size_t source);

  std::vector<std::unique_ptr<Transport>> sources_;
  std::int64_t penalty_ms_;
  SteadyClock clock_;
  std::chrono::milliseconds fetch_all_grace_;
  mutable std::mutex lock_;  // guards order_ only; never held during a request
  std::vector<std::size_t> order_;
  std::unique_ptr<SourceHealth[]> health_;
};

}  // namespace kaldren::patcher
