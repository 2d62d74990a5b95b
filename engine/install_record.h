// The only way an update changes what the data folder says about the installed
// client, so that a crash or power cut between any two writes leaves a state the next
// run can finish from. The invariant: every file the launcher put into the game folder
// is listed by the saved installed manifest or by the pending manifest that state.json
// names, until the file is gone.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

#include "engine/launcher_state.h"
#include "system/file_system.h"

namespace kaldren::patcher {

// Raises the channel's accepted sequence and saves state.json (before a launcher
// update hands over, so that the new launcher cannot be rolled back either).
void accept_sequence(FileSystem& fs, const std::filesystem::path& root, LauncherState& state,
                     std::string_view channel, std::uint64_t sequence);

// Before the first file of `release` is written, in this order:
// 1. when another install was begun and not finished: `clear_interrupted` removes the
//    files only that install listed (its manifest is about to be replaced);
// 2. pending-manifest.json = `manifest_bytes`;
// 3. state.json: channel, accepted sequence and the pending record.
void begin_install(FileSystem& fs, const std::filesystem::path& root, LauncherState& state, std::string_view channel,
                   const ReleaseRecord& release, std::string_view manifest_bytes,
                   const std::function<void()>& clear_interrupted);

// After the last file is in place, in this order: manifest.json, index.json, state.json
// (the pending record becomes the installed one), then pending-manifest.json is deleted.
// `step` runs after each of them, to report that the job still moves.
void commit_install(FileSystem& fs, const std::filesystem::path& root, LauncherState& state,
                    std::string_view manifest_bytes, const FileIndex& index, const std::function<void()>& step = {});

// The game folder already holds `release`: unless it is recorded as installed with
// nothing pending, manifest.json is written and the record changed; then state.json
// (channel, accepted sequence) is saved, and last a pending-manifest.json deleted.
void record_up_to_date(FileSystem& fs, const std::filesystem::path& root, LauncherState& state,
                       std::string_view channel, const ReleaseRecord& release, std::string_view manifest_bytes);

}  // namespace kaldren::patcher
