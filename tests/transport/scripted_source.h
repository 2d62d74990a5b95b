// A patch source for tests of code built on Transport: every call is recorded and
// answered from a script (a body, an error, a delay, or waiting until stopped).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "transport/transport.h"

namespace kaldren::patcher::test {

// The order in which calls reached the sources of one test.
class CallLog {
 public:
  void record(int source) {
    std::lock_guard guard(mutex_);
    calls_.push_back(source);
  }
  // The calls since the last take.
  std::vector<int> take() {
    std::lock_guard guard(mutex_);
    return std::exchange(calls_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<int> calls_;
};

struct Reply {
  enum class Kind { body, network, server, transient, cancelled, hang };
  Kind kind = Kind::body;
  std::string text;                    // the body, or the error message
  std::chrono::milliseconds delay{0};  // waited before answering; a stop ends the wait
};

inline Reply body(std::string text, std::chrono::milliseconds delay = {}) {
  return {Reply::Kind::body, std::move(text), delay};
}
inline Reply network(std::string message) { return {Reply::Kind::network, std::move(message)}; }
inline Reply server(std::string message) { return {Reply::Kind::server, std::move(message)}; }
inline Reply transient(std::string message) { return {Reply::Kind::transient, std::move(message)}; }
// What a source reports when its caller stopped it.
inline Reply cancelled() { return {Reply::Kind::cancelled, "The launcher was closed"}; }
// Answers only when stopped.
inline Reply hang() { return {Reply::Kind::hang, ""}; }

class ScriptedSource final : public Transport {
 public:
  ScriptedSource(int index, std::string name, CallLog& calls)
      : index_(index), name_(std::move(name)), call_log_(calls) {}

  // Call n gets replies[n % size], counting every call to this source.
  void script(std::vector<Reply> replies) {
    std::lock_guard guard(mutex_);
    script_ = std::move(replies);
  }
  void answer(Reply reply) { script({std::move(reply)}); }

  // Later calls wait (until released or stopped) before they answer from the script.
  void hold() {
    std::lock_guard guard(mutex_);
    held_ = true;
  }
  void release() {
    std::lock_guard guard(mutex_);
    held_ = false;
    changed_.notify_all();
  }

  int calls() const { return calls_.load(); }
  int active() const { return active_.load(); }  // calls under way
  int held() const {
    std::lock_guard guard(mutex_);
    return held_calls_;
  }
  bool saw_stop() const { return saw_stop_.load(); }
  std::vector<std::uint64_t> copy_indices() const {
    std::lock_guard guard(mutex_);
    return copy_indices_;
  }
  std::filesystem::path last_destination() const {
    std::lock_guard guard(mutex_);
    return last_destination_;
  }

  std::string fetch(std::string_view, std::uint64_t, std::stop_token stop) override { return respond(stop); }

  std::vector<SourceDocument> fetch_all(std::string_view, std::uint64_t, std::stop_token) override {
    ADD_FAILURE() << "fetch_all reached a single source";
    throw PatchError(ErrorCategory::internal, "fetch_all reached a single source");
  }

  void download(std::string_view, const std::filesystem::path& destination, std::uint64_t size,
                std::stop_token stop, const DownloadProgress& progress, std::uint64_t copy_index) override {
    {
      std::lock_guard guard(mutex_);
      copy_indices_.push_back(copy_index);
      last_destination_ = destination;
    }
    respond(stop);
    if (progress) progress(size);
  }

  std::uint64_t source_count() const override { return 1; }
  void prefer_sources(std::span<const std::uint64_t>) override {}
  std::string name() const override { return name_; }

 private:
  // A hang that nobody stops would otherwise hang the whole test run.
  static constexpr std::chrono::seconds kLongestWait{60};

  class ActiveCall {
   public:
    explicit ActiveCall(std::atomic<int>& count) : count_(count) { ++count_; }
    ~ActiveCall() { --count_; }

   private:
    std::atomic<int>& count_;
  };

  [[noreturn]] void stopped() {
    saw_stop_ = true;
    throw PatchError(ErrorCategory::cancelled, "The launcher was closed");
  }

  std::string respond(std::stop_token stop) {
    const ActiveCall active(active_);
    call_log_.record(index_);
    const int call = calls_++;
    std::unique_lock lock(mutex_);
    if (stop.stop_requested()) stopped();
    if (held_) {
      ++held_calls_;
      const bool released = changed_.wait_until(lock, stop, std::chrono::steady_clock::now() + kLongestWait,
                                                [&] { return !held_; });
      --held_calls_;
      if (stop.stop_requested()) stopped();
      if (!released) throw PatchError(ErrorCategory::internal, "A held call was never released");
    }
    const Reply reply = script_.at(static_cast<std::size_t>(call) % script_.size());
    if (reply.kind == Reply::Kind::hang || reply.delay.count() > 0) {
      const auto wait = reply.kind == Reply::Kind::hang ? std::chrono::milliseconds(kLongestWait) : reply.delay;
      changed_.wait_until(lock, stop, std::chrono::steady_clock::now() + wait, [] { return false; });
      if (stop.stop_requested()) stopped();
      if (reply.kind == Reply::Kind::hang) throw PatchError(ErrorCategory::internal, "A hang was never stopped");
    }
    switch (reply.kind) {
      case Reply::Kind::body: return reply.text;
      case Reply::Kind::network: throw PatchError(ErrorCategory::network, reply.text);
      case Reply::Kind::server: throw PatchError(ErrorCategory::server, reply.text);
      case Reply::Kind::transient: throw TransientError(reply.text);
      case Reply::Kind::cancelled: throw PatchError(ErrorCategory::cancelled, reply.text);
      case Reply::Kind::hang: break;
    }
    throw PatchError(ErrorCategory::internal, "Unscripted reply");
  }

  const int index_;
  const std::string name_;
  CallLog& call_log_;
  mutable std::mutex mutex_;
  std::condition_variable_any changed_;
  std::vector<Reply> script_{body("")};
  bool held_ = false;
  int held_calls_ = 0;
  std::vector<std::uint64_t> copy_indices_;
  std::filesystem::path last_destination_;
  std::atomic<int> calls_{0};
  std::atomic<int> active_{0};
  std::atomic<bool> saw_stop_{false};
};

}  // namespace kaldren::patcher::test
