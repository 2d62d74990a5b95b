// The one interface every fetch and download from patch sources goes through.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace kaldren::patcher {

// One patch source's copy of a document fetched from every source.
struct SourceDocument {
  std::uint64_t source = 0;  // index in the transport's source order
  std::string body;
};

// A failure that may succeed when the same request is simply repeated. Always
// category network; never leaves the HTTP transport (its retry loop converts it).
class TransientError : public PatchError {
 public:
  TransientError(const std::string& message, std::uint64_t retry_after_seconds = 0)
      : PatchError(ErrorCategory::network, message), retry_after_seconds_(retry_after_seconds) {}
  std::uint64_t retry_after_seconds() const noexcept { return retry_after_seconds_; }

 private:
  std::uint64_t retry_after_seconds_;
};

// Receives the absolute number of bytes of the object present in the destination so far.
using DownloadProgress = std::function<void(std::uint64_t bytes_present)>;

// Implementations are safe to call from several threads at once. Every call ends
// with PatchError cancelled "The launcher was closed" once `stop` is requested.
class Transport {
 public:
  virtual ~Transport() = default;

  // The whole body of one publication document, at most `byte_cap` bytes.
  virtual std::string fetch(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) = 0;

  // One document per source that delivered it, in preference order.
  virtual std::vector<SourceDocument> fetch_all(std::string_view path, std::uint64_t byte_cap,
                                                std::stop_token stop) = 0;

  // Downloads exactly `size` bytes to `destination`, resuming a partial file left there.
  // `copy_index` counts earlier copies of this object the caller discarded (0 at first).
  virtual void download(std::string_view path, const std::filesystem::path& destination, std::uint64_t size,
                        std::stop_token stop, const DownloadProgress& progress, std::uint64_t copy_index) = 0;

  virtual std::uint64_t source_count() const = 0;

  // Hint: try these sources (indices in source order) first from now on.
  virtual void prefer_sources(std::span<const std::uint64_t> sources) = 0;

  // Human-readable name of the source(s), for log lines and messages.
  virtual std::string name() const = 0;
};

// A transport of one source: every document comes from it, and preferences change nothing.
class SingleSourceTransport : public Transport {
 public:
  std::vector<SourceDocument> fetch_all(std::string_view path, std::uint64_t byte_cap,
                                        std::stop_token stop) override {
    std::vector<SourceDocument> documents;
    documents.push_back({0, fetch(path, byte_cap, std::move(stop))});
    return documents;
  }
  std::uint64_t source_count() const override { return 1; }
  void prefer_sources(std::span<const std::uint64_t> /*sources*/) override {}
};

}  // namespace kaldren::patcher
