// A file system that numbers the operations that change the disk (as the in-memory
// drive does: opening to write or create, write, flush, truncate, move, copy, delete,
// folder creation and removal, attribute changes) and, at operation N of a plan, runs
// the plan's action instead: ends the process, or answers a given Win32 code.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

#include "system/file_system.h"

namespace kaldren::patcher::test {

struct FaultPlan {
  std::uint64_t operation = 0;  // 1 for the first numbered operation
  SystemCode code = 0;          // 0: the action runs (e.g. ends the process)
};

// "kill@N" or "fail@N:CODE"; nothing for anything else.
std::optional<FaultPlan> parse_fault_plan(std::string_view text);

class FaultPlanFileSystem final : public FileSystem {
 public:
  // `inner` must outlive this; `action` runs at the planned operation when its code is 0.
  FaultPlanFileSystem(FileSystem& inner, FaultPlan plan, std::function<void()> action);

  // Numbered operations so far; 0 in the answer: the operation goes ahead.
  std::uint64_t operations() const { return count_.load(); }
  SystemCode number_next_operation();
  // Numbers the operation `call` would do; runs it unless the plan answers for it.
  template <typename Call>
  SystemCode numbered(Call&& call) {
    const SystemCode fault = number_next_operation();
    return fault != 0 ? fault : call();
  }

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
  std::uint32_t process_id() override;
  void pause(std::chrono::milliseconds duration) override;
  std::vector<std::string> programs_using(const std::vector<std::filesystem::path>& paths) override;

 private:
  FileSystem& inner_;
  FaultPlan plan_;
  std::function<void()> action_;
  std::atomic<std::uint64_t> count_{0};
};

}  // namespace kaldren::patcher::test
