// Settings from the game folder's patcher.ini; the command line wins where both speak.
#include <optional>
#include <string>

#include "config/ini_text.h"
#include "config/options.h"
#include "core/error.h"
#include "system/data_folder.h"
#include "system/file_operations.h"

namespace kaldren::patcher {
namespace {

// A settings file is a few lines; anything larger is not one.
constexpr std::uint64_t kSettingsFileCap = 1048576;

// The file's text; nothing when it is missing or a folder.
std::optional<std::wstring> settings_text(const std::filesystem::path& file) {
  FileSystem& fs = system_file_system();
  FileStatus status;
  if (fs.status(file, status) != 0 || status.folder) return std::nullopt;
  try {
    return decode_ini_text(read_file(fs, file, kSettingsFileCap));
  } catch (const PatchError& error) {
    // Settings that cannot be read must not be silently replaced by the defaults.
    throw PatchError(ErrorCategory::configuration, error.what());
  }
}

}  // namespace

void read_patcher_ini(LauncherOptions& options, const std::wstring& root) {
  const std::optional<std::wstring> text = settings_text(patcher_ini_path(root));
  if (!text) return;
  const auto read_value = [&](const wchar_t* section, const wchar_t* key) { return ini_value(*text, section, key); };

  if (std::optional<std::wstring> base_url = read_value(L"server", L"base_url");
      !options.sources_from_command_line && base_url && !base_url->empty()) {
    std::vector<std::wstring> sources;
    add_sources(sources, *base_url);
    if (!sources.empty()) options.sources = std::move(sources);
  }
  if (std::optional<std::wstring> channel = read_value(L"server", L"channel");
      !options.channel_from_command_line && channel && !channel->empty()) {
    options.channel = validate_channel(*channel);
  }
  if (std::optional<std::wstring> website = read_value(L"launcher", L"website"); website && !website->empty()) {
    options.website = std::move(*website);
  }
  if (std::optional<std::wstring> auto_launch = read_value(L"launcher", L"auto_launch");
      auto_launch && *auto_launch == L"0") {
    options.launch_game = false;
  }
}

}  // namespace kaldren::patcher
