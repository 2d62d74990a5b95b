// One run of the update flow. Its steps share the state of the run and are spread
// over a few files: the flow, the check of game files, the download and the install.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/download_progress.h"
#include "system/file_operations.h"
#include "engine/launcher_state.h"
#include "engine/object_store.h"
#include "engine/reuse_plan.h"
#include "engine/update_engine.h"
#include "engine/update_plan.h"
#include "protocol/manifest.h"

namespace kaldren::patcher {

class UpdateRun {
 public:
  UpdateRun(const UpdateEngine& engine, std::stop_token stop);
  EngineResult run();

 private:
  // update_engine.cpp
  bool update_launcher();
  void read_manifest();
  void check_path_length() const;  // of the game files
  void check_staging_path_length(const ObjectRef& object) const;
  void refuse_deeper_than_windows_allows(std::size_t longest_path) const;
  void finish_up_to_date();
  std::string root_text() const;

  // file_check.cpp
  void check_files();
  void hash_doubtful(const std::vector<std::size_t>& doubtful, const std::vector<FileInfo>& found,
                     std::uint64_t bytes_to_check);
  void find_removals();

  // object_download.cpp
  void download();
  ReuseContext reuse_context();
  void build_files();
  void fetch_whole(std::span<const std::size_t> groups, const std::vector<ObjectRef>& chunks,
                   const std::vector<std::string>& chunk_names);

  // install.cpp
  void install();
  void remove_files(std::span<const std::string> paths, bool count);
  void remove_vanished_folders();
  void install_object(const ObjectGroup& group);  // on any worker
  void report_installing(const std::string& detail);
  void move_into_place(const std::filesystem::path& staged, const std::filesystem::path& target);

  const UpdateEngine& engine_;
  FileSystem& fs_;
  std::stop_token stop_;
  StatusReporter reporter_;
  EngineResult result_;

  LauncherState state_;
  Release release_;
  std::optional<ObjectStore> store_;
  std::string manifest_bytes_;
  ClientManifest manifest_;
  KnownFiles known_;  // files of the saved installed and pending manifests

  std::vector<std::size_t> to_update_;   // manifest file indices, ascending
  std::vector<std::string> to_remove_;   // paths of earlier releases' files still on disk
  // Files that only an interrupted install of another release listed, still on disk:
  // they go before that install's manifest is replaced (those the new release lists
  // are installed again).
  std::vector<std::string> interrupted_;
  std::size_t interrupted_removals_ = 0;  // the first of to_remove_ only the pending manifest listed
  // Files of earlier releases already gone: an interrupted run may have left their
  // emptied folders, which go at the end of this one.
  std::vector<std::string> vanished_;
  FolderListing listing_;                // the manifest's folders as found
  FileIndex loaded_index_;               // the index of the last run (empty for a repair)
  FileIndex index_;                      // the new file index
  std::vector<ObjectGroup> objects_;     // largest first
  SpaceNeed space_;
  ReusePlan reuse_;                      // what is built from local content, per object
  UpdateStatus installing_;  // the installing phase's status once it began
};

}  // namespace kaldren::patcher
