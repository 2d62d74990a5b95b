#include "support/fault_plan.h"

#include <charconv>

namespace kaldren::patcher::test {
namespace {

bool parse_number(std::string_view text, std::uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

class NumberedFile final : public OpenFile {
 public:
  NumberedFile(FaultPlanFileSystem& fs, std::unique_ptr<OpenFile> inner) : fs_(fs), inner_(std::move(inner)) {}
  SystemCode read(std::span<std::uint8_t> buffer, std::size_t& count) override { return inner_->read(buffer, count); }
  SystemCode write(std::span<const std::uint8_t> bytes) override {
    return fs_.numbered([&] { return inner_->write(bytes); });
  }
  SystemCode flush() override {
    return fs_.numbered([&] { return inner_->flush(); });
  }
  SystemCode size(std::uint64_t& bytes) override { return inner_->size(bytes); }
  SystemCode truncate(std::uint64_t bytes) override {
    return fs_.numbered([&] { return inner_->truncate(bytes); });
  }
  SystemCode seek(std::uint64_t offset) override { return inner_->seek(offset); }

 private:
  FaultPlanFileSystem& fs_;
  std::unique_ptr<OpenFile> inner_;
};

}  // namespace

std::optional<FaultPlan> parse_fault_plan(std::string_view text) {
  FaultPlan plan;
  if (text.starts_with("kill@")) {
    if (!parse_number(text.substr(5), plan.operation) || plan.operation == 0) return std::nullopt;
    return plan;
  }
  if (!text.starts_with("fail@")) return std::nullopt;
  text.remove_prefix(5);
  const std::size_t colon = text.find(':');
  std::uint64_t code = 0;
  if (colon == std::string_view::npos || !parse_number(text.substr(0, colon), plan.operation) ||
      !parse_number(text.substr(colon + 1), code) || plan.operation == 0 || code == 0 || code > UINT32_MAX) {
    return std::nullopt;
  }
  plan.code = static_cast<SystemCode>(code);
  return plan;
}

FaultPlanFileSystem::FaultPlanFileSystem(FileSystem& inner, FaultPlan plan, std::function<void()> action)
    : inner_(inner), plan_(plan), action_(std::move(action)) {}

SystemCode FaultPlanFileSystem::number_next_operation() {
  if (++count_ != plan_.operation) return 0;
  if (plan_.code != 0) return plan_.code;
  if (action_) action_();
  return 0;
}

SystemCode FaultPlanFileSystem::status(const std::filesystem::path& path, FileStatus& status) {
  return inner_.status(path, status);
}

SystemCode FaultPlanFileSystem::set_read_only(const std::filesystem::path& path, bool read_only) {
  return numbered([&] { return inner_.set_read_only(path, read_only); });
}

SystemCode FaultPlanFileSystem::set_hidden(const std::filesystem::path& path, bool hidden) {
  return numbered([&] { return inner_.set_hidden(path, hidden); });
}

SystemCode FaultPlanFileSystem::create_folder(const std::filesystem::path& path) {
  return numbered([&] { return inner_.create_folder(path); });
}

SystemCode FaultPlanFileSystem::remove_folder(const std::filesystem::path& path) {
  return numbered([&] { return inner_.remove_folder(path); });
}

SystemCode FaultPlanFileSystem::open(const std::filesystem::path& path, const OpenRequest& request,
                                     std::unique_ptr<OpenFile>& file) {
  const bool changes = request.access != OpenRequest::Access::read ||
                       request.disposition != OpenRequest::Disposition::open_existing || request.delete_on_close;
  if (changes) {
    if (const SystemCode fault = number_next_operation(); fault != 0) return fault;
  }
  std::unique_ptr<OpenFile> opened;
  const SystemCode error = inner_.open(path, request, opened);
  if (error == 0) file = std::make_unique<NumberedFile>(*this, std::move(opened));
  return error;
}

SystemCode FaultPlanFileSystem::move(const std::filesystem::path& source, const std::filesystem::path& target) {
  return numbered([&] { return inner_.move(source, target); });
}

SystemCode FaultPlanFileSystem::copy(const std::filesystem::path& source, const std::filesystem::path& target) {
  return numbered([&] { return inner_.copy(source, target); });
}

SystemCode FaultPlanFileSystem::remove_file(const std::filesystem::path& path) {
  return numbered([&] { return inner_.remove_file(path); });
}

FolderContents FaultPlanFileSystem::list(const std::filesystem::path& folder) { return inner_.list(folder); }

SystemCode FaultPlanFileSystem::free_space(const std::filesystem::path& folder, std::uint64_t& bytes) {
  return inner_.free_space(folder, bytes);
}

bool FaultPlanFileSystem::long_paths_enabled() { return inner_.long_paths_enabled(); }
std::uint32_t FaultPlanFileSystem::process_id() { return inner_.process_id(); }

std::vector<std::string> FaultPlanFileSystem::programs_using(const std::vector<std::filesystem::path>& paths) {
  return inner_.programs_using(paths);
}
void FaultPlanFileSystem::pause(std::chrono::milliseconds duration) { inner_.pause(duration); }

}  // namespace kaldren::patcher::test
