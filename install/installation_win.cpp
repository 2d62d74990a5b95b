// Folder checks and the installation before the first update.
#include <windows.h>
#include <aclapi.h>
#include <knownfolders.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "build_constants.h"
#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "core/version.h"
#include "engine/client_preview.h"
#include "engine/launcher_state.h"
#include "engine/object_store.h"
#include "engine/self_replacement.h"
#include "install/installation.h"
#include "install/registration.h"
#include "protocol/path_rule.h"
#include "system/data_folder.h"
#include "system/file_operations.h"
#include "system/processes.h"

namespace kaldren::patcher {
namespace {

// Full file access: FILE_ALL_ACCESS.
constexpr DWORD kFullFileAccess = 0x1F01FF;

// The folders Windows keeps for itself, in the order they are checked.
const GUID* const kProtectedFolders[] = {&FOLDERID_Windows, &FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86,
                                         &FOLDERID_System};

struct LocalMemory {
  void operator()(void* memory) const noexcept { LocalFree(memory); }
};

std::string text_of(const std::wstring& path) { return to_utf8_lenient(path); }

// Nothing but separators after the root name ("C:\", "\\server\share\").
bool is_drive_root(const std::filesystem::path& folder) {
  const std::wstring rest = folder.relative_path().native();
  return std::all_of(rest.begin(), rest.end(), [](wchar_t c) { return c == L'\\' || c == L'/'; }) ||
         folder.parent_path() == folder;
}

// The last element of the folder, trailing separators ignored.
std::wstring last_element(const std::wstring& folder) {
  std::wstring trimmed = folder;
  while (trimmed.size() > 1 && (trimmed.back() == L'\\' || trimmed.back() == L'/')) trimmed.pop_back();
  return std::filesystem::path(trimmed).filename().wstring();
}

Version running_launcher_version() {
  const std::optional<Version> version = parse_version(build::kLauncherVersion);
  if (!version) {
    throw PatchError(ErrorCategory::internal,
                     fmt::format("Invalid version \"{}\" (expected major.minor.patch)", build::kLauncherVersion));
  }
  return *version;
}

}  // namespace

std::wstring temporary_folder() {
  std::wstring buffer(MAX_PATH + 1, L'\0');
  const DWORD length = GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
  if (length == 0 || length > buffer.size()) {
    const DWORD error = GetLastError();
    throw_win32(ErrorCategory::io, "Could not locate the temporary folder", error);
  }
  buffer.resize(length);
  return buffer;
}

bool is_within(const std::wstring& path, const std::wstring& folder) {
  const std::wstring full_path = fold_path_case(absolute_normal_path(path));
  std::wstring full_folder = fold_path_case(absolute_normal_path(folder));
  if (full_folder.empty() || full_folder.back() != L'\\') full_folder += L'\\';
  return full_path.starts_with(full_folder) || full_path + L'\\' == full_folder;
}

std::wstring resolve_install_folder(const std::wstring& picked) {
  if (equal_ignoring_case(last_element(picked), kInstallFolderName)) return picked;
  if (is_installation(picked)) return picked;
  FileSystem& fs = system_file_system();
  FileStatus status;
  if (fs.status(picked, status) != 0) return picked;
  if (status.folder) {
    // A folder that cannot be listed counts as empty.
    const FolderContents contents = fs.list(picked);
    if (contents.open_error != 0 || contents.entries.empty()) return picked;
  }
  return (std::filesystem::path(picked) / kInstallFolderName).wstring();
}

std::uint64_t check_install_folder(const std::wstring& folder, std::uint64_t install_size) {
  const std::filesystem::path path(folder);
  if (!path.is_absolute() || is_drive_root(path)) {
    throw PatchError(ErrorCategory::configuration, "Choose a folder, not the root of a drive.");
  }
  for (const GUID* id : kProtectedFolders) {
    std::wstring protected_folder;
    try {
      protected_folder = known_folder_path(*id);
    } catch (const PatchError&) {
      continue;
    }
    if (is_within(folder, protected_folder)) {
      throw PatchError(ErrorCategory::configuration,
                       "Windows protects that folder, so the game could not update itself there. Choose a folder in "
                       "your user profile or on another drive.");
    }
  }
  FileSystem& fs = system_file_system();
  FileStatus status;
  if (fs.status(path, status) == 0 && !status.folder) {
    throw PatchError(ErrorCategory::configuration, "That location is a file, not a folder.");
  }
  if (!can_write_to(fs, path)) {
    throw PatchError(ErrorCategory::configuration, "You cannot write to that folder. Choose another one.");
  }
  const std::uint64_t free = free_space(fs, path);
  const std::uint64_t needed =
      install_size > ~std::uint64_t{0} - kFreeSpaceMargin ? ~std::uint64_t{0} : install_size + kFreeSpaceMargin;
  if (free < needed) {
    throw PatchError(ErrorCategory::disk_space, "The game needs " + format_size(needed) +
                                                    " of free space; that drive has " + format_size(free) + ".");
  }
  return free;
}

void check_install_depth(const std::wstring& folder, const std::vector<std::string>& paths) {
  if (const std::optional<std::string> deep = too_deep_path(system_file_system(), folder, paths)) {
    throw PatchError(ErrorCategory::configuration,
                     "That folder is nested too deeply for Windows to hold every game file (such as " + *deep +
                         "). Choose a shorter folder such as C:\\Games.");
  }
}

void restrict_folder_access(const std::wstring& root) {
  if (is_within(root, known_folder_path(FOLDERID_Profile))) return;

  UniqueNullHandle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return;
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) return;
  std::vector<std::uint8_t> user_buffer(size);
  if (!GetTokenInformation(token.get(), TokenUser, user_buffer.data(), size, &size)) return;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(user_buffer.data());

  std::uint8_t system_sid[SECURITY_MAX_SID_SIZE];
  std::uint8_t administrators_sid[SECURITY_MAX_SID_SIZE];
  DWORD system_size = sizeof(system_sid);
  DWORD administrators_size = sizeof(administrators_sid);
  if (!CreateWellKnownSid(WinLocalSystemSid, nullptr, system_sid, &system_size) ||
      !CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators_sid, &administrators_size)) {
    return;
  }
  const std::pair<PSID, TRUSTEE_TYPE> trustees[] = {
      {user->User.Sid, TRUSTEE_IS_USER},
      {system_sid, TRUSTEE_IS_WELL_KNOWN_GROUP},
      {administrators_sid, TRUSTEE_IS_WELL_KNOWN_GROUP},
  };
  EXPLICIT_ACCESSW entries[3] = {};
  for (std::size_t i = 0; i < 3; ++i) {
    entries[i].grfAccessPermissions = kFullFileAccess;
    entries[i].grfAccessMode = SET_ACCESS;
    entries[i].grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
    entries[i].Trustee.TrusteeForm = TRUSTEE_IS_SID;
    entries[i].Trustee.TrusteeType = trustees[i].second;
    entries[i].Trustee.ptstrName = static_cast<LPWSTR>(trustees[i].first);
  }
  PACL raw_list = nullptr;
  if (SetEntriesInAclW(3, entries, nullptr, &raw_list) != ERROR_SUCCESS) return;
  const std::unique_ptr<ACL, LocalMemory> access_list(raw_list);

  std::wstring target = root;
  const DWORD result = SetNamedSecurityInfoW(target.data(), SE_FILE_OBJECT,
                                             DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, access_list.get(), nullptr);
  if (result != ERROR_SUCCESS) {
    log(LogLevel::warn, win32_error_text("Could not restrict access to the game folder", result));
    return;
  }
  log(LogLevel::info, "Restricted access to {} to this user", text_of(root));
}

InstallResult install_game(const InstallRequest& request, const Release& release, Transport& transport,
                           const LauncherOptions& options, std::stop_token stop) {
  const std::wstring& root = request.folder;
  check_install_folder(root, release.client.install_size);

  FileSystem& fs = system_file_system();
  const std::filesystem::path data = data_folder(root);
  if (const SystemCode code = create_folders(fs, data); code != 0) {
    throw PatchError(ErrorCategory::io, "Could not create " + display_path(data) + ": " + system_message(code));
  }
  restrict_folder_access(root);
  open_log(log_file(root));
  log(LogLevel::info, "Installing {} {} into {}", "Kaldren Morvale", version_text(release.client.version),
      text_of(root));

  InstallResult result;
  const std::filesystem::path launcher = std::filesystem::path(root) / kLauncherFileName;
  result.launcher = launcher.wstring();
  if (release.launcher.version > running_launcher_version()) {
    ObjectStore store(fs, staging_folder(root), transport);
    const std::filesystem::path staged = store.stage(release.launcher.file, stop);
    replace_file(fs, staged, launcher);
    result.launcher_from_release = true;
    log(LogLevel::info, "Installed launcher {} from the release", version_text(release.launcher.version));
  } else {
    const std::filesystem::path running = options.launcher_path.empty() ? launcher_executable_path()
                                                                          : options.launcher_path;
    if (!is_same_launcher(running, launcher)) copy_file(fs, running, launcher);
  }

  write_setup_patcher_ini(options, root);
  if (!file_info(fs, state_file(root))) {
    LauncherState state;
    state.channel = options.channel;
    record_sequence(state, options.channel, release.sequence);
    save_state(fs, root, state);
  }

  create_shortcut(start_menu_shortcut_path(), result.launcher, root, kInstallFolderName);
  if (request.desktop_shortcut) create_shortcut(desktop_shortcut_path(), result.launcher, root, kInstallFolderName);
  register_installation(root, to_utf16(version_text(release.client.version)), release.client.install_size);
  return result;
}

void write_setup_patcher_ini(const LauncherOptions& options, const std::wstring& root) {
  if (!options.sources_from_command_line && !options.channel_from_command_line) return;
  std::string text = "; Written by the setup from its command line.\r\n[server]\r\n";
  if (options.sources_from_command_line) {
    text += "base_url=";
    for (std::size_t i = 0; i < options.sources.size(); ++i) {
      if (i > 0) text += ", ";
      text += to_utf8(options.sources[i]);
    }
    text += "\r\n";
  }
  if (options.channel_from_command_line) text += "channel=" + options.channel + "\r\n";
  write_file_atomic(system_file_system(), patcher_ini_path(root), text);
}

}  // namespace kaldren::patcher
