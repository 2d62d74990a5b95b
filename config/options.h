// The launcher's settings: command line first, then the game folder's patcher.ini,
// then built-in defaults; also the run mode and game folder choice, the running
// executable's path and the registered installation. Failures are PatchError.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "build_constants.h"

namespace kaldren::patcher {

// Stored as a 32-bit number: values are fixed.
enum class RunMode : std::uint32_t { Patch = 0, Setup = 1, Uninstall = 2, UninstallFinish = 3 };

struct LauncherOptions {
  RunMode mode = RunMode::Patch;
  std::wstring launcher_path;  // set by parse_command_line; its folder is the fallback root
  std::vector<std::wstring> arguments;  // as given, without the program name
  std::wstring root;                    // the game folder; empty in setup mode
  std::vector<std::wstring> sources{build::kDefaultSource, build::kDefaultMirror};
  std::string channel = "live";  // UTF-8
  std::wstring website = build::kWebsite;
  bool sources_from_command_line = false;
  bool channel_from_command_line = false;
  bool launch_game = true;
  bool repair = false;
  bool quiet = false;
  bool after_update = false;
  std::optional<std::uint32_t> wait_pid;
};

// Parses the arguments (without the program name), chooses the mode and root and
// applies the root's patcher.ini. Throws PatchError configuration for a bad command line.
LauncherOptions parse_command_line(const std::vector<std::wstring>& arguments);
// The same with the launcher's own path given instead of asked from the system.
LauncherOptions parse_command_line(const std::vector<std::wstring>& arguments,
                                   const std::wstring& launcher_path);

// Applies <root>\Lanternix\patcher.ini; a missing file (or a folder) changes nothing.
// A bad base_url or channel in it throws the command line's messages.
void read_patcher_ini(LauncherOptions& options, const std::wstring& root);

// The address without trailing '/'; only https, or http to localhost, 127.0.0.1 or [::1],
// or a folder holding a publication, which is kept in one spelling: "file:///D:/a/b" for
// a drive (from file:///d:/a/b/ or file://localhost/D:/a/b) and "file://server/share/a"
// for a share (from file://server/share/a/ or \\server\share\a\): scheme in lower case,
// drive letter in upper case, no trailing separator, escapes decoded and every byte but
// letters, digits and -._~!$&'()+;=@ escaped again as %XX in upper case. Refused: any
// other spelling of a folder (relative, ".." or "." parts, a drive without file:///, a
// query or fragment, device paths such as \\?\ and \\.\, the share localhost).
std::wstring normalize_source(std::wstring_view address);

// Splits the value at commas and spaces, normalises each piece and appends those
// not already listed (letter case ignored), in order of first appearance.
void add_sources(std::vector<std::wstring>& list, std::wstring_view value);

// The channel as UTF-8: 1-32 of a-z 0-9 - _, starting with a letter or digit.
std::string validate_channel(std::wstring_view text);

// A non-zero decimal 32-bit process id, digits only.
std::uint32_t parse_process_id(std::wstring_view text);

// The path made absolute by the system and lexically normalised (backslashes,
// "." and ".." resolved). Throws PatchError configuration naming "absolute" and the path.
std::wstring absolute_normal_path(const std::wstring& path);

// True when both paths name the same place: absolute, lexically normalised, equal in
// length and equal ignoring case. Throws as absolute_normal_path.
bool same_folder(const std::wstring& a, const std::wstring& b);

// True when the folder holds an installed game: saved launcher state, the registered
// install folder holding the launcher, or the data folder beside the game executable.
bool is_installation(const std::wstring& folder);

// Full path of the running executable; PatchError internal when the system cannot say.
std::wstring launcher_executable_path();

// The install folder of the current user's uninstall registration, if any. Never throws
// (except on allocation failure).
std::optional<std::wstring> read_registration();

// The arguments a restarted launcher inherits: all but "--after-update" and
// "--wait-pid" with its value.
std::vector<std::wstring> arguments_for_restart(const LauncherOptions& options);

}  // namespace kaldren::patcher
