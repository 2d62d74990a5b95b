#include "app/update_job.h"

#include <fmt/format.h>

#include "build_constants.h"
#include "core/log.h"
#include "core/text.h"
#include "protocol/path_rule.h"
#include "system/processes.h"
#include "transport/make_transport.h"

namespace kaldren::patcher {

void log_startup(const LauncherOptions& options, std::string_view mode) {
  log(LogLevel::info, "{} launcher {} starting in {} mode from {}", "Kaldren Morvale", build::kLauncherVersion, mode,
      to_utf8_lenient(options.launcher_path));
  std::string sources;
  for (const auto& source : options.sources) {
    if (!sources.empty()) sources += ", ";
    sources += to_utf8_lenient(source);
  }
  log(LogLevel::info, "Patch sources {} channel {}", sources, options.channel);
  // What a hand-over passed on, for whoever follows a chain of launchers.
  std::string arguments;
  for (const auto& argument : options.arguments) {
    arguments += ' ';
    arguments += to_utf8_lenient(quote_argument(argument));
  }
  log(LogLevel::debug, "Arguments:{}", arguments);
}

std::filesystem::path release_executable(const std::filesystem::path& root, const Release& release) {
  return resolve_path(root, release.client.executable);
}

EngineResult run_update_job(const LauncherOptions& options, FileSystem& fs, const UpdateJobHooks& hooks,
                            std::stop_token stop) {
  const std::unique_ptr<Transport> transport = make_transport(options.sources, fs);
  const std::optional<Version> launcher_version = parse_version(build::kLauncherVersion);
  if (!launcher_version) {
    throw PatchError(ErrorCategory::server,
                     fmt::format("Invalid version \"{}\" (expected major.minor.patch)", build::kLauncherVersion));
  }
  UpdateEngine engine;
  engine.root = options.root;
  engine.channel = options.channel;
  engine.launcher_version = *launcher_version;
  engine.repair = options.repair;
  engine.after_update = options.after_update;
  engine.download_threads = 8;
  engine.check_threads = 4;
  engine.release_attempts = 3;
  engine.release_retry_delay_ms = 2000;
  engine.file_system = &fs;
  engine.transport = transport.get();
  engine.keys = trusted_release_keys();
  engine.key_threshold = trusted_release_key_threshold();
  engine.report = hooks.report;
  engine.game_running = [&](const Release& release) {
    return is_program_running(release_executable(options.root, release));
  };
  engine.hand_over = hooks.hand_over;
  if (hooks.starting) hooks.starting(transport->name());
  return engine.run(std::move(stop));
}

}  // namespace kaldren::patcher
