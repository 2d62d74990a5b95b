// A file system held in memory that behaves like the Windows drive the launcher meets,
// for tests: names compared by their invariant upper case, read-only files, files held
// open without sharing, a capacity (a full disk mid-write), numbered operations that a
// test can make fail, and power cuts.
//
// Durability model (pessimistic, in the spirit of NTFS's metadata log):
// - File bytes are durable up to the last flush of that file. Bytes written since
//   are lost at a power cut: the file keeps the length its name last had on disk,
//   holding its flushed bytes and zeros beyond them, with its last write time; so a
//   file whose length and time were recorded but whose bytes were never flushed comes
//   back with the right length and time but the wrong bytes.
// - Changes of names and attributes (creating, deleting, moving, copying files,
//   making and removing folders, read-only flags) become durable in the order they
//   were made, all at once at the next write-through point: a flush of any file or a
//   move (moves are write-through). A power cut loses every such change made after
//   the last write-through point.
//
// Numbered operations: every call that changes the disk (opening for writing or
// creating, write, flush, truncate, move, copy, delete, folder creation and removal,
// attribute changes) takes the next number, from 1. Links and junctions are not modelled.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "system/file_system.h"

namespace kaldren::patcher {

class MemoryFileSystem final : public FileSystem {
 public:
  MemoryFileSystem();
  ~MemoryFileSystem() override;

  // Numbered operations so far.
  std::uint64_t operations() const;
  // Operation `number` answers `code` instead of happening; with `sticky`, so does
  // every later operation on the same path, until clear_faults().
  void fail_operation(std::uint64_t number, SystemCode code, bool sticky = false);
  // Power fails right before operation `number`: it and everything after it answer
  // 21 (the device is not ready) until restart().
  void cut_power_before(std::uint64_t number);
  // The same for a process that ends there (killed, crashed): what it did stays.
  void end_process_before(std::uint64_t number);
  void clear_faults();
  bool power_is_cut() const;
  // After a power cut, what was durable at the moment of the cut; after a process
  // ended, everything it did. Every open file is closed (its handle answers 6 from now on).
  void restart();

  // Bytes the drive holds at most (file contents count; names are free).
  void set_capacity(std::uint64_t bytes);
  // From now on exactly `bytes` are free (the capacity follows the bytes in use).
  void set_free_space(std::uint64_t bytes);
  void set_long_paths_enabled(bool enabled);
  // Called instead of sleeping when a file operation waits for a locked file.
  void on_pause(std::function<void()> hook);
  std::uint64_t pauses() const;

  // Sets a file's last write time (as a user's tools can).
  void set_modified(const std::filesystem::path& path, std::uint64_t modified);
  // The file can no longer be opened, or the folder listed (access denied), as with a
  // damaged permission set; a file put in its place is readable again.
  void set_unreadable(const std::filesystem::path& path);
  // Who the drive says holds a file open (by default: nobody it can name).
  void set_programs_using(const std::filesystem::path& path, std::vector<std::string> programs);

  // Every file below `folder` by its '/'-separated relative path as stored, and its bytes.
  std::map<std::string, std::string> files_below(const std::filesystem::path& folder) const;

  SystemCode status(const std::filesystem::path& path, FileStatus& status) override;
  SystemCode set_read_only(const std::filesystem::path& path, bool read_only) override;
  SystemCode set_hidden(const std::filesystem::path& path, bool hidden) override;
  SystemCode create_folder(const std::filesystem::path& path) override;
  SystemCode remove_folder(const std::filesystem::path& path) override;
  SystemCode open(const std::filesystem::path& path, const OpenRequest& request,
                  std::unique_ptr<OpenFile>& file) override;
  SystemCode move(const std::filesystem::path& source, const std::filesystem::path& target) override;
  SystemCode copy(const std::filesystem::path& source, const std::filesystem::path& target) override;
  SystemCode remove_file(const std::filesystem::path& path) override;
  FolderContents list(const std::filesystem::path& folder) override;
  SystemCode free_space(const std::filesystem::path& folder, std::uint64_t& bytes) override;
  bool long_paths_enabled() override;
  std::uint32_t process_id() override { return 4242; }
  void pause(std::chrono::milliseconds duration) override;
  std::vector<std::string> programs_using(const std::vector<std::filesystem::path>& paths) override;

  struct State;  // shared with the open files

 private:
  SystemCode transfer(const std::filesystem::path& source, const std::filesystem::path& target, bool copy);

  std::shared_ptr<State> state_;
};

}  // namespace kaldren::patcher
