// The command line: options, run mode and game folder.
#include <filesystem>
#include <optional>

#include <fmt/format.h>

#include "config/options.h"
#include "core/error.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

PatchError configuration_error(std::string message) {
  return PatchError(ErrorCategory::configuration, message);
}

}  // namespace

LauncherOptions parse_command_line(const std::vector<std::wstring>& arguments) {
  return parse_command_line(arguments, launcher_executable_path());
}

LauncherOptions parse_command_line(const std::vector<std::wstring>& arguments,
                                   const std::wstring& launcher_path) {
  LauncherOptions options;
  options.launcher_path = launcher_path;
  options.arguments = arguments;

  std::optional<std::wstring> root;
  bool uninstall = false;
  bool uninstall_finish = false;
  bool no_launch = false;

  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::wstring& argument = arguments[i];
    // Options with a value take the next argument, whatever it looks like.
    auto value = [&]() -> const std::wstring& {
      if (i + 1 >= arguments.size()) {
        throw configuration_error(fmt::format("Missing value after {} on the command line",
                                              to_utf8_lenient(argument)));
      }
      return arguments[++i];
    };

    if (argument == L"--root") {
      root = absolute_normal_path(value());
    } else if (argument == L"--base-url") {
      if (!options.sources_from_command_line) options.sources.clear();
      options.sources_from_command_line = true;
      add_sources(options.sources, value());
    } else if (argument == L"--channel") {
      options.channel = validate_channel(value());
      options.channel_from_command_line = true;
    } else if (argument == L"--no-launch") {
      no_launch = true;
    } else if (argument == L"--repair") {
      options.repair = true;
    } else if (argument == L"--uninstall") {
      uninstall = true;
    } else if (argument == L"--uninstall-finish") {
      uninstall_finish = true;
    } else if (argument == L"--quiet") {
      options.quiet = true;
    } else if (argument == L"--after-update") {
      options.after_update = true;
    } else if (argument == L"--wait-pid") {
      options.wait_pid = parse_process_id(value());
    } else {
      throw configuration_error(fmt::format(
          "Unknown command-line option {}. Supported: --root <folder>, --base-url <url> "
          "(repeatable), --channel <name>, --no-launch, --repair, --uninstall",
          to_utf8_lenient(argument)));
    }
  }

  const std::wstring own_folder = std::filesystem::path(launcher_path).parent_path().wstring();
  if (uninstall_finish) {
    if (!root) throw configuration_error("--uninstall-finish needs --root");
    options.mode = RunMode::UninstallFinish;
    options.root = *root;
  } else if (uninstall) {
    options.mode = RunMode::Uninstall;
    options.root = root ? *root : own_folder;
  } else if (root) {
    options.mode = RunMode::Patch;
    options.root = *root;
  } else if (is_installation(own_folder)) {
    options.mode = RunMode::Patch;
    options.root = own_folder;
  } else {
    options.mode = RunMode::Setup;
  }

  if (!options.root.empty()) read_patcher_ini(options, options.root);
  // Applied after the settings file so that the command line always wins.
  if (no_launch) options.launch_game = false;
  return options;
}

std::vector<std::wstring> arguments_for_restart(const LauncherOptions& options) {
  std::vector<std::wstring> kept;
  const std::vector<std::wstring>& arguments = options.arguments;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    if (arguments[i] == L"--after-update") continue;
    if (arguments[i] == L"--wait-pid") {
      ++i;  // its process id goes with it
      continue;
    }
    kept.push_back(arguments[i]);
  }
  return kept;
}

}  // namespace kaldren::patcher
