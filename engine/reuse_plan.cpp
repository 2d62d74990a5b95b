#include "engine/reuse_plan.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <mutex>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/local_chunks.h"
#include "engine/parallel_runner.h"
#include "protocol/chunk_list.h"
#include "protocol/path_rule.h"
#include "system/file_operations.h"

namespace kaldren::patcher {
namespace {

// A file whose chunk list is worth reading: its old version or files sharing its
// content are on the disk.
struct Candidate {
  std::size_t group = 0;
  const ManifestFile* file = nullptr;  // the entry naming the list
  ChunkIndex index;
  std::vector<std::string> sources;       // relative paths to cut
  std::vector<std::optional<ChunkPage>> fetched;  // per page, when it was fetched
  bool dropped = false;
};

// One local file cut with one set of parameters.
struct Scan {
  std::string path;
  ChunkParams params;
  std::vector<LocalChunk> chunks;
  std::vector<LocalPage> pages;
};

struct Location {
  std::size_t scan = 0;
  std::size_t index = 0;  // a chunk or a page of that scan
};

using DigestMap = std::unordered_map<Sha256Digest, Location, DigestHash>;

bool is_staged(FileSystem& fs, const ObjectStore& store, const ObjectRef& object) {
  const std::optional<FileInfo> staged = file_info(fs, store.staged_path(object));
  return staged && staged->size == object.size;
}

const ManifestFile* list_holder(std::span<const ManifestFile> files, const ObjectGroup& group) {
  for (const std::size_t index : group.files) {
    if (files[index].chunks) return &files[index];
  }
  return nullptr;
}

class Planner {
 public:
  Planner(ReuseContext& context, std::span<const ManifestFile> files, std::span<const ObjectGroup> groups)
      : c_(context), files_(files), groups_(groups) {
    plan_.assemblies.resize(groups.size());
  }

  ReusePlan run() {
    choose_candidates();
    if (!candidates_.empty()) {
      fetch_indexes();
      cut_sources();
      fetch_pages();
      build_assemblies();
    }
    for (const auto& assembly : plan_.assemblies) {
      if (!assembly) continue;
      for (const ChunkUse& use : assembly->chunks) {
        if (use.source != ChunkUse::kStaged) plan_.reused_bytes += use.size;
      }
    }
    return std::move(plan_);
  }

 private:
  void choose_candidates() {
    for (std::size_t g = 0; g < groups_.size(); ++g) {
      const ObjectGroup& group = groups_[g];
      const auto local = c_.local_content.find(group.object.sha256);
      const bool copy = local != c_.local_content.end() && c_.exists(local->second);
      const ManifestFile* holder = copy ? nullptr : list_holder(files_, group);
      Candidate candidate{g, holder, {}, {}, {}, false};
      if (holder) {
        for (const std::size_t index : group.files) {
          if (c_.exists(files_[index].path)) candidate.sources.push_back(files_[index].path);
        }
      }
      // Without an old version on the disk, only an installed client may hold the content.
      if (!copy && (!holder || (candidate.sources.empty() && !c_.client_installed))) continue;
      // Content an interrupted run already staged is simply taken.
      if (is_staged(c_.fs, c_.store, group.object)) continue;
      if (copy) {
        plan_.assemblies[g] = whole_copy(group, local->second);
      } else {
        candidates_.push_back(std::move(candidate));
      }
    }
  }

  AssemblyPlan whole_copy(const ObjectGroup& group, const std::string& source) const {
    AssemblyPlan plan;
    plan.object = group.object;
    plan.name = files_[group.files.front()].path;
    plan.sources.push_back(resolve_path(c_.root, source));
    plan.chunks.push_back({group.object.sha256, 0, group.object.size, 0});
    plan.whole_copy = true;
    return plan;
  }

  void fetch_indexes() {
    run_parallel(candidates_.size(), c_.download_threads, c_.stop, [this](std::size_t n, std::stop_token stop) {
      Candidate& candidate = candidates_[n];
      const std::string bytes = c_.store.read_document(*candidate.file->chunks, stop);
      ChunkIndex index = parse_chunk_index(bytes);
      if (index.supported) validate_chunk_index(index, candidate.file->path, candidate.file->object.size);
      const std::lock_guard guard(mutex_);
      plan_.list_bytes += candidate.file->chunks->stored_size;
      candidate.index = std::move(index);
    });
    for (Candidate& candidate : candidates_) {
      if (!candidate.index.supported) {
        candidate.dropped = true;
        continue;
      }
      for (const std::string& seed : candidate.index.seeds) {
        if (std::find(candidate.sources.begin(), candidate.sources.end(), seed) == candidate.sources.end() &&
            c_.exists(seed)) {
          candidate.sources.push_back(seed);
        }
      }
      candidate.dropped = candidate.sources.empty();
      candidate.fetched.resize(candidate.index.pages.size());
    }
  }

  void cut_sources() {
    for (const Candidate& candidate : candidates_) {
      if (candidate.dropped) continue;
      for (const std::string& source : candidate.sources) {
        const bool known = std::any_of(scans_.begin(), scans_.end(), [&](const Scan& scan) {
          return scan.path == source && scan.params == candidate.index.params;
        });
        if (!known) scans_.push_back({source, candidate.index.params, {}, {}});
      }
    }
    UpdateStatus status;
    status.phase = UpdateStatus::checking;
    status.text = "Checking game files...";
    for (const Scan& scan : scans_) {
      if (const auto info = file_info(c_.fs, resolve_path(c_.root, scan.path))) status.total += info->size;
    }
    log(LogLevel::info, "Looking for reusable content in {} local files ({})", scans_.size(),
        format_size(status.total));
    c_.reporter.report(status);
    std::atomic<std::uint64_t> cut{0};
    run_parallel(scans_.size(), c_.check_threads, c_.stop, [&](std::size_t n, std::stop_token stop) {
      Scan& scan = scans_[n];
      try {
        scan.chunks = cut_local_file(c_.fs, resolve_path(c_.root, scan.path), scan.params, stop,
                                     [&](std::uint64_t bytes) { cut.fetch_add(bytes, std::memory_order_relaxed); });
        scan.pages = local_pages(scan.chunks, scan.params);
      } catch (const PatchError& error) {
        if (error.category() == ErrorCategory::cancelled) throw;
        log(LogLevel::warn, "Could not check {}: {}", scan.path, error.what());
        scan.chunks.clear();
        scan.pages.clear();
      }
      const std::lock_guard guard(c_.reporter.lock());
      status.detail = scan.path;
      status.done = cut.load();
      c_.reporter.report_locked(status);
    });
    for (std::size_t s = 0; s < scans_.size(); ++s) {
      for (std::size_t i = 0; i < scans_[s].chunks.size(); ++i) chunks_.try_emplace(scans_[s].chunks[i].sha256, Location{s, i});
      for (std::size_t p = 0; p < scans_[s].pages.size(); ++p) pages_.try_emplace(scans_[s].pages[p].fingerprint, Location{s, p});
    }
  }

  void fetch_pages() {
    std::vector<std::pair<std::size_t, std::size_t>> wanted;  // candidate, page
    for (std::size_t n = 0; n < candidates_.size(); ++n) {
      if (candidates_[n].dropped) continue;
      const auto& pages = candidates_[n].index.pages;
      for (std::size_t p = 0; p < pages.size(); ++p) {
        if (!pages_.contains(pages[p].fingerprint)) wanted.emplace_back(n, p);
      }
    }
    run_parallel(wanted.size(), c_.download_threads, c_.stop, [&](std::size_t w, std::stop_token stop) {
      Candidate& candidate = candidates_[wanted[w].first];
      const std::size_t p = wanted[w].second;
      const ChunkPageRef& entry = candidate.index.pages[p];
      ChunkPage page = parse_chunk_page(c_.store.read_document(entry.page, stop));
      validate_chunk_page(page, entry, candidate.index.params, p + 1 == candidate.index.pages.size(),
                          candidate.file->path);
      const std::lock_guard guard(mutex_);
      plan_.list_bytes += entry.page.stored_size;
      candidate.fetched[p] = std::move(page);
    });
  }

  void build_assemblies() {
    std::map<Sha256Digest, std::size_t> chunk_of;  // distinct chunks to fetch
    for (Candidate& candidate : candidates_) {
      if (candidate.dropped) continue;
      const ObjectGroup& group = groups_[candidate.group];
      AssemblyPlan plan;
      plan.object = group.object;
      plan.name = candidate.file->path;
      std::map<std::size_t, std::uint32_t> source_of_scan;
      const auto local_use = [&](std::size_t scan, const LocalChunk& chunk) {
        const auto [found, added] = source_of_scan.try_emplace(scan, static_cast<std::uint32_t>(plan.sources.size()));
        if (added) plan.sources.push_back(resolve_path(c_.root, scans_[scan].path));
        plan.chunks.push_back({chunk.sha256, chunk.offset, chunk.size, found->second});
      };
      std::map<Sha256Digest, ObjectRef> to_fetch;
      for (std::size_t p = 0; p < candidate.index.pages.size(); ++p) {
        if (!candidate.fetched[p]) {
          const Location at = pages_.at(candidate.index.pages[p].fingerprint);
          const LocalPage& page = scans_[at.scan].pages[at.index];
          for (std::size_t i = page.first; i < page.first + page.count; ++i) local_use(at.scan, scans_[at.scan].chunks[i]);
          continue;
        }
        for (const ObjectRef& chunk : candidate.fetched[p]->chunks) {
          const auto local = chunks_.find(chunk.sha256);
          if (local != chunks_.end() && scans_[local->second.scan].chunks[local->second.index].size == chunk.size) {
            local_use(local->second.scan, scans_[local->second.scan].chunks[local->second.index]);
          } else {
            plan.chunks.push_back({chunk.sha256, 0, chunk.size, ChunkUse::kStaged});
            to_fetch.emplace(chunk.sha256, chunk);
          }
        }
      }
      std::uint64_t fetch = 0;
      for (const auto& [digest, chunk] : to_fetch) fetch += chunk.stored_size;
      // Little to reuse: one download of the whole object costs fewer requests.
      if (plan.sources.empty() || fetch >= group.object.stored_size / 10 * 9) continue;
      for (const auto& [digest, chunk] : to_fetch) {
        if (chunk_of.emplace(digest, plan_.chunks.size()).second) {
          plan_.chunks.push_back(chunk);
          plan_.chunk_names.push_back(candidate.file->path);
        }
      }
      plan_.assemblies[candidate.group] = std::move(plan);
    }
  }

  ReuseContext& c_;
  std::span<const ManifestFile> files_;
  std::span<const ObjectGroup> groups_;
  ReusePlan plan_;
  std::vector<Candidate> candidates_;
  std::vector<Scan> scans_;
  DigestMap chunks_;
  DigestMap pages_;
  std::mutex mutex_;
};

}  // namespace

std::size_t DigestHash::operator()(const Sha256Digest& digest) const noexcept {
  std::size_t value = 0;
  std::memcpy(&value, digest.data(), sizeof value);
  return value;
}

ReusePlan plan_reuse(ReuseContext& context, std::span<const ManifestFile> files, std::span<const ObjectGroup> groups) {
  return Planner(context, files, groups).run();
}

}  // namespace kaldren::patcher
