// The command line and the values patcher.ini feeds through the same rules: arguments
// are the input split at zero bytes (UTF-8, lenient). Only configuration errors may
// leave; what parses has valid sources, channel and process id, and a restart drops
// exactly the restart options.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "config/options.h"
#include "core/error.h"
#include "core/text.h"
#include "fuzz_check.h"

namespace kaldren::patcher {
namespace {

std::vector<std::wstring> arguments_of(std::string_view input) {
  std::vector<std::wstring> arguments;
  for (const std::string_view argument : fuzz::split(input, '\0')) arguments.push_back(to_utf16_lenient(argument));
  return arguments;
}

void check_sources(const std::vector<std::wstring>& sources, std::string_view input) {
  for (std::size_t i = 0; i < sources.size(); ++i) {
    FUZZ_CHECK(normalize_source(sources[i]) == sources[i], input);
    for (std::size_t j = 0; j < i; ++j) FUZZ_CHECK(!equal_ignoring_case(sources[i], sources[j]), input);
  }
}

void check_options(const LauncherOptions& options, const std::vector<std::wstring>& arguments,
                   std::string_view input) {
  check_sources(options.sources, input);
  FUZZ_CHECK(validate_channel(to_utf16(options.channel)) == options.channel, input);
  FUZZ_CHECK(!options.wait_pid || *options.wait_pid != 0, input);
  FUZZ_CHECK(options.arguments == arguments, input);
  const std::vector<std::wstring> kept = arguments_for_restart(options);
  FUZZ_CHECK(kept.size() <= arguments.size(), input);
  for (const std::wstring& argument : kept) FUZZ_CHECK(argument != L"--after-update", input);
}

}  // namespace
}  // namespace kaldren::patcher

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kaldren::patcher;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::wstring> arguments = arguments_of(input);
  try {
    const LauncherOptions options = parse_command_line(arguments, L"/games/Kaldren/Lanternix.exe");
    check_options(options, arguments, input);
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::configuration, input);
  }

  // The whole input as one patcher.ini value: base_url, channel.
  std::vector<std::wstring> sources{L"https://first.example"};
  try {
    add_sources(sources, arguments.front());
    check_sources(sources, input);
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::configuration, input);
  }
  try {
    const std::string channel = validate_channel(arguments.front());
    FUZZ_CHECK(!channel.empty() && channel.size() <= 32, input);
    FUZZ_CHECK(channel.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_") == std::string::npos, input);
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::configuration, input);
  }
  return 0;
}
