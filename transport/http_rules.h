// The platform-free HTTP rules of the patch transport: which publication paths may
// be requested, how answers are judged, and the retry loop with its back-off.
#pragma once

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>
#include <string_view>

namespace kaldren::patcher::http {

// Non-empty, no leading '/', no "..", only a-z A-Z 0-9 - . / _.
bool is_publication_path(std::string_view path) noexcept;

// "bytes {start}-{anything}/{total}" with both numbers equal to the expected ones.
bool content_range_matches(std::string_view header, std::uint64_t start, std::uint64_t total) noexcept;

// Seconds from a Retry-After value of digits only, capped at 300; 0 for anything else.
std::uint64_t parse_retry_after(std::string_view value) noexcept;

enum class RequestKind { document, object };

enum class StatusOutcome {
  document,        // 200 of a document request: the body follows
  whole_object,    // 200 of an object request: rewrite from byte 0
  resume,          // 206 of an object request: check Content-Range, then append
  refused_resume,  // 416 of an object request: drop the partial file, then retry
  failure,         // everything else: throw_status_error
};

StatusOutcome classify_status(RequestKind kind, std::uint32_t status) noexcept;

// Throws the error an unusable answer means: TransientError (busy statuses, with
// `retry_after_seconds`) or PatchError server. Not for 206/416 of object requests.
[[noreturn]] void throw_status_error(RequestKind kind, std::uint32_t status, std::string_view path,
                                     std::uint64_t retry_after_seconds);

// Closed range [low, high] of back-off milliseconds before attempt `attempt` + 1.
struct DelayRange {
  std::uint64_t low;
  std::uint64_t high;
};
DelayRange backoff_range(int attempt) noexcept;

// A uniformly drawn back-off from backoff_range (per-thread random engine).
std::uint64_t backoff_ms(int attempt);

// The wait after failed attempt `attempt`: the server's Retry-After (at most 60 s) when
// it gave one, the back-off otherwise.
std::uint64_t retry_delay_ms(std::uint64_t retry_after_seconds, int attempt);

// Sleeps in 50 ms steps until `delay_ms` passed; throws cancelled once stop is requested.
void wait_cancellable(std::uint64_t delay_ms, std::stop_token stop);

// Runs `attempt` up to `attempts` times while it throws TransientError, waiting between
// tries; the last transient failure leaves as PatchError network. Other errors pass.
void run_with_retries(std::string_view path, int attempts, std::stop_token stop,
                      const std::function<void()>& attempt);

}  // namespace kaldren::patcher::http
