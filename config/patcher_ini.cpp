// Settings from the game folder's patcher.ini; the command line wins where both speak.
#include <windows.h>

#include <filesystem>
#include <optional>

#include "config/options.h"
#include "system/data_folder.h"

namespace kaldren::patcher {
namespace {

// A character no one types into a settings file marks a key that is not there.
constexpr wchar_t kAbsent[] = L"\x1F";
constexpr DWORD kValueCapacity = 4096;

std::optional<std::wstring> read_value(const std::wstring& file, const wchar_t* section,
                                       const wchar_t* key) {
  std::wstring buffer(kValueCapacity, L'\0');
  DWORD length = GetPrivateProfileStringW(section, key, kAbsent, buffer.data(), kValueCapacity,
                                          file.c_str());
  buffer.resize(length);
  if (buffer == kAbsent) return std::nullopt;
  while (!buffer.empty() && (buffer.back() == L' ' || buffer.back() == L'\t')) buffer.pop_back();
  return buffer;
}

}  // namespace

void read_patcher_ini(LauncherOptions& options, const std::wstring& root) {
  const std::wstring file = patcher_ini_path(root).wstring();
  DWORD attributes = GetFileAttributesW(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return;
  }

  if (std::optional<std::wstring> base_url = read_value(file, L"server", L"base_url");
      !options.sources_from_command_line && base_url && !base_url->empty()) {
    std::vector<std::wstring> sources;
    add_sources(sources, *base_url);
    if (!sources.empty()) options.sources = std::move(sources);
  }
  if (std::optional<std::wstring> channel = read_value(file, L"server", L"channel");
      !options.channel_from_command_line && channel && !channel->empty()) {
    options.channel = validate_channel(*channel);
  }
  if (std::optional<std::wstring> website = read_value(file, L"launcher", L"website");
      website && !website->empty()) {
    options.website = std::move(*website);
  }
  if (std::optional<std::wstring> auto_launch = read_value(file, L"launcher", L"auto_launch");
      auto_launch && *auto_launch == L"0") {
    options.launch_game = false;
  }
}

}  // namespace kaldren::patcher
