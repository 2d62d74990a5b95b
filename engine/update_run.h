// One run of the update flow. Its steps share the state of the run and are spread
// over a few files: the flow, the check of game files, the download and the install.
#pragma once

#include <cstddef>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/download_progress.h"
#include "engine/launcher_state.h"
#include "engine/object_store.h"
#include "engine/update_engine.h"
#include "engine/update_plan.h"
#include "protocol/manifest.h"

namespace kaldren::patcher {

class UpdateRun {
 public:
  UpdateRun(const UpdateEngine& engine, std::stop_token stop);
  EngineResult run();

 private:
  // update_engine_win.cpp
  bool update_launcher();
  void read_manifest();
  void check_path_length() const;
  void finish_up_to_date();
  std::string root_text() const;

  // file_check_win.cpp
  void check_files();
  void hash_doubtful(const std::vector<std::size_t>& doubtful, const std::vector<FileInfo>& found,
                     std::uint64_t bytes_to_check);
  void find_removals();

  // object_download_win.cpp
  void download();

  // install_win.cpp
  void install();
  void remove_obsolete_files();

  const UpdateEngine& engine_;
  std::stop_token stop_;
  StatusReporter reporter_;
  EngineResult result_;

  LauncherState state_;
  Release release_;
  std::optional<ObjectStore> store_;
  std::string manifest_bytes_;
  ClientManifest manifest_;
  std::optional<std::vector<ManifestFile>> known_;  // files of the saved installed and pending manifests

  std::vector<std::size_t> to_update_;   // manifest file indices, ascending
  std::vector<std::string> to_remove_;   // paths of earlier releases' files still on disk
  FileIndex index_;                      // the new file index
  std::vector<ObjectGroup> objects_;     // largest first
  SpaceNeed space_;
};

}  // namespace kaldren::patcher
