#include "engine/install_record.h"

namespace kaldren::patcher {

void accept_sequence(FileSystem& fs, const std::filesystem::path& root, LauncherState& state,
                     std::string_view channel, std::uint64_t sequence) {
  record_sequence(state, channel, sequence);
  save_state(fs, root, state);
}

void begin_install(FileSystem& fs, const std::filesystem::path& root, LauncherState& state, std::string_view channel,
                   const ReleaseRecord& release, std::string_view manifest_bytes,
                   const std::function<void()>& clear_interrupted) {
  // pending-manifest.json and state.json cannot change together: while one names the
  // old install and the other the new, neither list can be read. So nothing that only
  // the old list knows may still be on disk then.
  if (state.pending && *state.pending != release && clear_interrupted) clear_interrupted();
  save_pending_manifest(fs, root, manifest_bytes);
  state.channel = channel;
  record_sequence(state, channel, release.sequence);
  state.pending = release;
  save_state(fs, root, state);
}

void commit_install(FileSystem& fs, const std::filesystem::path& root, LauncherState& state,
                    std::string_view manifest_bytes, const FileIndex& index, const std::function<void()>& step) {
  const auto stepped = [&step] {
    if (step) step();
  };
  save_manifest(fs, root, manifest_bytes);
  stepped();
  save_index(fs, root, index);
  stepped();
  state.installed = state.pending;
  state.pending.reset();
  save_state(fs, root, state);
  stepped();
  // Only now: until state.json stopped naming it, the pending manifest had to stay.
  delete_pending_manifest(fs, root);
  stepped();
}

void record_up_to_date(FileSystem& fs, const std::filesystem::path& root, LauncherState& state,
                       std::string_view channel, const ReleaseRecord& release, std::string_view manifest_bytes) {
  const bool recorded = state.installed && !state.pending && state.installed->sequence == release.sequence &&
                        state.installed->manifest_sha256 == release.manifest_sha256 && state.channel == channel;
  if (!recorded) {
    save_manifest(fs, root, manifest_bytes);
    state.installed = release;
    state.pending.reset();
  }
  state.channel = channel;
  record_sequence(state, channel, release.sequence);
  save_state(fs, root, state);
  // Also when it was recorded already: a run that stopped between saving the state and
  // deleting the pending manifest left it behind.
  delete_pending_manifest(fs, root);
}

}  // namespace kaldren::patcher
