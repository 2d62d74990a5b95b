// lanternix-publish: makes and checks what the launcher reads from a patch source.
// Exit codes: 0 success, 1 the work failed or the check found problems, 2 bad usage.
#include <cstdio>
#include <cstring>
#include <exception>
#include <iostream>
#include <algorithm>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "core/error.h"
#include "core/text.h"
#include "core/version.h"
#include "core/wall_clock.h"
#include "protocol/utc_time.h"
#include "tools/channel_commands.h"
#include "tools/prune.h"
#include "tools/publication.h"
#include "tools/signing_key.h"
#include "tools/site_check.h"

namespace publish = kaldren::patcher::publish;

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char* kUsage =
    "usage: lanternix-publish <command> [options]\n"
    "\n"
    "commands:\n"
    "  keygen   make a new release signing key\n"
    "  publish  publish a client folder to a channel\n"
    "  promote  release a channel's current build on another channel\n"
    "  resign   sign a channel's current release again, with a new expiry\n"
    "  prune    remove objects that no release worth keeping reaches\n"
    "  verify   check a publication as the launcher would\n"
    "\n"
    "lanternix-publish <command> --help shows the command's options.\n";

const char* kKeygenHelp =
    "usage: lanternix-publish keygen --out KEY.pem\n"
    "\n"
    "Writes a new ECDSA P-256 private key (mode 0600; an existing file is never\n"
    "overwritten) and prints the public key constant to build the launcher with\n"
    "(LANTERNIX_RELEASE_PUBLIC_KEY) and its key id.\n";

const char* kPublishHelp =
    "usage: lanternix-publish publish --site DIR --channel NAME --client DIR --version X.Y.Z\n"
    "         --executable PATH --launcher FILE --launcher-version X.Y.Z --key KEY.pem [--key ...]\n"
    "         [--sequence N] [--level N] [--threads N] [--chunk-average BYTES]\n"
    "         [--expires-in DAYS | --expires-at TIME] [--install-if-missing PATTERN]... [--list-new]\n"
    "\n"
    "  --site DIR            the folder your HTTPS server hosts (created if missing)\n"
    "  --channel NAME        release channel: 1-32 of a-z, 0-9, - and _\n"
    "  --client DIR          the game client as it is to be installed\n"
    "  --version X.Y.Z       the client's version\n"
    "  --executable PATH     the game executable inside the client, with / separators\n"
    "  --launcher FILE       the launcher executable of this release\n"
    "  --launcher-version    the launcher's version (each part at most 65535)\n"
    "  --key KEY.pem         a signing key; repeat for up to 8 keys\n"
    "  --sequence N          the release number (default: the current release's + 1)\n"
    "  --level N             zstd level 1-19, or 0 to store objects uncompressed (default 6)\n"
    "  --threads N           worker threads (default: one per core)\n"
    "  --chunk-average BYTES average chunk of the chunk lists that let launchers fetch only\n"
    "                        what changed inside large files: a power of two from 1024 to\n"
    "                        262144 (default 16384), or 0 to publish whole files only\n"
    "  --expires-in DAYS     launchers refuse the release DAYS days from now (see resign)\n"
    "  --expires-at TIME     ... or from TIME, in UTC: 2027-01-31T00:00:00Z\n"
    "  --install-if-missing PATTERN\n"
    "                        files the game rewrites (settings shipped with defaults):\n"
    "                        installed when missing, never replaced by an update or a\n"
    "                        repair; a path, * standing for any characters but /; repeatable\n"
    "  --list-new            print the files this run wrote, one per line, in the order to\n"
    "                        upload them (the summary goes to standard error then)\n"
    "\n"
    "Nothing is written when the client holds a file the launcher would refuse. Objects\n"
    "already published (their digests checked) are not written again; the release\n"
    "document is replaced last, in one step, so launchers see the old release or the new\n"
    "one, never a part. The signed release is also kept as\n"
    "v2/channels/NAME/history/SEQUENCE.json.\n";

const char* kPromoteHelp =
    "usage: lanternix-publish promote --site DIR --from NAME --to NAME --key KEY.pem [--key ...]\n"
    "         [--sequence N] [--expires-in DAYS | --expires-at TIME]\n"
    "\n"
    "Signs the current release of channel --from (a build tested on beta) as the next\n"
    "release of channel --to, naming the same objects: nothing is copied or rewritten.\n"
    "The release must verify with the keys, and every object it names must be present\n"
    "with its stored size.\n";

const char* kResignHelp =
    "usage: lanternix-publish resign --site DIR --channel NAME --key KEY.pem [--key ...]\n"
    "         (--expires-in DAYS | --expires-at TIME) [--sequence N]\n"
    "\n"
    "Signs the channel's current release again with the next sequence and a new expiry,\n"
    "without touching an object: run it from a scheduled job well before the expiry, so\n"
    "that a mirror that stops following the site is refused once its copy expires.\n";

const char* kPruneHelp =
    "usage: lanternix-publish prune --site DIR --keep N --key-hex HEX [--key-hex ...] [--dry-run]\n"
    "\n"
    "Removes every object that neither the newest N releases of any channel nor any\n"
    "channel's current release reaches, and prints what it removes and the bytes freed.\n"
    "Every release and history document must verify with one of the --key-hex public keys\n"
    "(give every key that ever signed for this site); otherwise nothing is removed.\n"
    "--dry-run only prints. On a copy of the site served elsewhere, delete the same\n"
    "objects there only once the new release is live there.\n";

const char* kVerifyHelp =
    "usage: lanternix-publish verify --site DIR --channel NAME --key-hex HEX [--key-hex ...] [--threads N]\n"
    "\n"
    "Checks the channel's release signature (by any of the keys), limits and expiry, its\n"
    "manifest, and every object:\n"
    "present, of the stored size and digest, unpacking to the content size and digest.\n"
    "Prints one line per problem and exits with 1 when there is any.\n";

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Options of one command: each name maps to its values in order.
struct Options {
  std::map<std::string, std::vector<std::string>> values;
  std::vector<std::string> flags;
  bool help = false;

  bool flag(const std::string& name) const { return std::find(flags.begin(), flags.end(), name) != flags.end(); }
  std::vector<std::string> all(const std::string& name) const {
    auto it = values.find(name);
    return it == values.end() ? std::vector<std::string>{} : it->second;
  }

  const std::string& one(const std::string& name) const {
    auto it = values.find(name);
    if (it == values.end()) throw UsageError(fmt::format("{} is required", name));
    if (it->second.size() > 1) throw UsageError(fmt::format("{} is given more than once", name));
    return it->second.front();
  }
  const std::string* optional(const std::string& name) const {
    auto it = values.find(name);
    if (it == values.end()) return nullptr;
    if (it->second.size() > 1) throw UsageError(fmt::format("{} is given more than once", name));
    return &it->second.front();
  }
};

Options parse_options(int argc, char** argv, const std::vector<std::string>& known,
                      const std::vector<std::string>& known_flags = {}) {
  Options options;
  for (int i = 2; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (std::find(known_flags.begin(), known_flags.end(), arg) != known_flags.end()) {
      options.flags.push_back(arg);
      continue;
    }
    if (std::find(known.begin(), known.end(), arg) == known.end())
      throw UsageError(fmt::format("unknown option {}", arg));
    if (i + 1 >= argc) throw UsageError(fmt::format("{} needs a value", arg));
    options.values[arg].push_back(argv[++i]);
  }
  return options;
}

std::uint64_t parse_number(const std::string& text, const char* option, std::uint64_t max) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos)
    throw UsageError(fmt::format("{} takes a whole number, not \"{}\"", option, text));
  std::uint64_t value = 0;
  for (char c : text) {
    unsigned digit = static_cast<unsigned>(c - '0');
    if (value > (max - digit) / 10) throw UsageError(fmt::format("{} is too large: {}", option, text));
    value = value * 10 + digit;
  }
  return value;
}

unsigned threads_option(const Options& options) {
  const std::string* text = options.optional("--threads");
  if (!text) return std::max(1u, std::thread::hardware_concurrency());
  auto n = parse_number(*text, "--threads", 256);
  if (n == 0) throw UsageError("--threads must be at least 1");
  return static_cast<unsigned>(n);
}

// Chunk sizes around the given average (a quarter to four times it), pages as default.
kaldren::patcher::ChunkParams chunk_params_option(const std::string& text) {
  const std::uint64_t average = parse_number(text, "--chunk-average", 262144);
  kaldren::patcher::ChunkParams params = kaldren::patcher::default_chunk_params();
  if (average == 0) {
    params.average = 0;
    return params;
  }
  if (average < 1024 || (average & (average - 1)) != 0)
    throw UsageError("--chunk-average takes 0 or a power of two from 1024 to 262144");
  params.average = static_cast<std::uint32_t>(average);
  params.min = params.average / 4;
  params.max = params.average * 4;
  return params;
}

void progress(const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); }

// --expires-in DAYS or --expires-at TIME, as seconds since 1970 UTC.
std::optional<std::int64_t> expiry_option(const Options& options) {
  const std::string* days = options.optional("--expires-in");
  const std::string* at = options.optional("--expires-at");
  if (days && at) throw UsageError("give --expires-in or --expires-at, not both");
  if (days) {
    auto n = parse_number(*days, "--expires-in", 36500);
    if (n == 0) throw UsageError("--expires-in must be at least 1 day");
    return kaldren::patcher::system_wall_clock() + static_cast<std::int64_t>(n) * 86400;
  }
  if (at) {
    auto seconds = kaldren::patcher::parse_utc_time(*at);
    if (!seconds) throw UsageError(fmt::format("--expires-at takes a UTC time such as 2027-01-31T00:00:00Z, not \"{}\"", *at));
    return seconds;
  }
  return std::nullopt;
}

std::vector<std::filesystem::path> key_options(const Options& options) {
  std::vector<std::filesystem::path> keys;
  for (const auto& key : options.all("--key")) keys.emplace_back(key);
  if (keys.empty()) throw UsageError("--key is required");
  return keys;
}

void print_lines(const std::vector<std::string>& lines) {
  for (const auto& line : lines) std::printf("%s\n", line.c_str());
}

int keygen(int argc, char** argv) {
  Options options = parse_options(argc, argv, {"--out"});
  if (options.help) return std::fputs(kKeygenHelp, stdout), 0;
  auto key = publish::SigningKey::generate();
  key.save_new(options.one("--out"));
  std::printf("public key: %s\nkey id:     %s\n", key.public_key_hex().c_str(), key.key_id().c_str());
  return 0;
}

int publish_command(int argc, char** argv) {
  Options options = parse_options(argc, argv,
                                  {"--site", "--channel", "--client", "--version", "--executable", "--launcher",
                                   "--launcher-version", "--key", "--sequence", "--level", "--threads",
                                   "--chunk-average", "--expires-in", "--expires-at", "--install-if-missing"},
                                  {"--list-new"});
  if (options.help) return std::fputs(kPublishHelp, stdout), 0;
  publish::PublishRequest request;
  request.site = options.one("--site");
  request.channel = options.one("--channel");
  request.client = options.one("--client");
  request.version = options.one("--version");
  request.executable = options.one("--executable");
  request.launcher = options.one("--launcher");
  request.launcher_version = options.one("--launcher-version");
  request.keys = key_options(options);
  request.expires_at = expiry_option(options);
  request.install_if_missing = options.all("--install-if-missing");
  if (auto* text = options.optional("--sequence")) request.sequence = parse_number(*text, "--sequence", UINT64_MAX);
  if (auto* text = options.optional("--level")) request.level = static_cast<int>(parse_number(*text, "--level", 19));
  request.threads = threads_option(options);
  if (auto* text = options.optional("--chunk-average")) request.chunk_params = chunk_params_option(*text);
  auto summary = publish::publish_client(request, progress);
  const bool list_new = options.flag("--list-new");
  std::fprintf(list_new ? stderr : stdout,
               "published channel %s release %llu: %llu files (%s), objects %llu new and %llu reused (digests "
               "checked)%s, %s stored, a fresh install downloads %s\n",
               request.channel.c_str(), static_cast<unsigned long long>(summary.sequence),
               static_cast<unsigned long long>(summary.files),
               kaldren::patcher::format_size(summary.install_bytes).c_str(),
               static_cast<unsigned long long>(summary.objects_new),
               static_cast<unsigned long long>(summary.objects_reused),
               summary.objects_damaged
                   ? fmt::format(", {} damaged and written again", summary.objects_damaged).c_str()
                   : "",
               kaldren::patcher::format_size(summary.bytes_stored).c_str(),
               kaldren::patcher::format_size(summary.download_bytes).c_str());
  FILE* report = list_new ? stderr : stdout;
  for (const auto& update : summary.updates) {
    std::fprintf(report, "an update from release %llu downloads %s (%llu bytes) in %llu requests\n",
                 static_cast<unsigned long long>(update.sequence),
                 kaldren::patcher::format_size(update.cost.bytes).c_str(),
                 static_cast<unsigned long long>(update.cost.bytes),
                 static_cast<unsigned long long>(update.cost.requests));
  }
  if (summary.chunk_lists.files != 0) {
    std::fprintf(report,
                 "chunk lists: %llu large files (%llu unchanged), chunks %llu new and %llu reused, %llu bytes of "
                 "lists\n",
                 static_cast<unsigned long long>(summary.chunk_lists.files),
                 static_cast<unsigned long long>(summary.chunk_lists.lists_reused),
                 static_cast<unsigned long long>(summary.chunk_lists.chunks_new),
                 static_cast<unsigned long long>(summary.chunk_lists.chunks_reused),
                 static_cast<unsigned long long>(summary.chunk_lists.list_bytes));
  }
  if (list_new) print_lines(summary.new_files);
  return 0;
}

// promote (from != to) and resign (one channel) share everything but their options.
int release_again_command(int argc, char** argv, bool promote) {
  std::vector<std::string> known{"--site", "--key", "--sequence", "--expires-in", "--expires-at"};
  for (const char* name : promote ? std::vector<const char*>{"--from", "--to"} : std::vector<const char*>{"--channel"})
    known.emplace_back(name);
  Options options = parse_options(argc, argv, known, {"--list-new"});
  if (options.help) return std::fputs(promote ? kPromoteHelp : kResignHelp, stdout), 0;
  publish::ChannelRequest request;
  request.site = options.one("--site");
  request.from = options.one(promote ? "--from" : "--channel");
  request.to = promote ? options.one("--to") : request.from;
  if (promote && request.from == request.to) throw UsageError("--from and --to name the same channel");
  request.keys = key_options(options);
  request.expires_at = expiry_option(options);
  if (!promote && !request.expires_at) throw UsageError("resign needs --expires-in or --expires-at");
  if (auto* text = options.optional("--sequence")) request.sequence = parse_number(*text, "--sequence", UINT64_MAX);
  auto summary = publish::release_again(request);
  const bool list_new = options.flag("--list-new");
  std::fprintf(list_new ? stderr : stdout, "%s channel %s release %llu: client %s%s\n",
               promote ? ("promoted channel " + request.from + " to").c_str() : "signed again",
               request.to.c_str(), static_cast<unsigned long long>(summary.release.sequence),
               kaldren::patcher::version_text(summary.release.client.version).c_str(),
               summary.release.expires_at
                   ? (", expires " + kaldren::patcher::utc_time_text(*summary.release.expires_at)).c_str()
                   : "");
  if (list_new) print_lines(summary.new_files);
  return 0;
}

int prune_command(int argc, char** argv) {
  Options options = parse_options(argc, argv, {"--site", "--keep", "--key-hex"}, {"--dry-run"});
  if (options.help) return std::fputs(kPruneHelp, stdout), 0;
  publish::PruneRequest request;
  request.site = options.one("--site");
  request.keep = parse_number(options.one("--keep"), "--keep", UINT64_MAX);
  for (const auto& hex : options.all("--key-hex")) request.keys.push_back(kaldren::patcher::parse_release_key(hex));
  if (request.keys.empty()) throw UsageError("--key-hex is required");
  request.dry_run = options.flag("--dry-run");
  auto summary = publish::prune_site(request, [](const std::string& line) { std::printf("%s\n", line.c_str()); });
  std::printf("%s %zu objects, %s %s; kept %llu releases reaching %llu objects\n",
              request.dry_run ? "would remove" : "removed", summary.removed.size(),
              request.dry_run ? "would free" : "freed", kaldren::patcher::format_size(summary.bytes).c_str(),
              static_cast<unsigned long long>(summary.kept_releases),
              static_cast<unsigned long long>(summary.kept_objects));
  return 0;
}

int verify_command(int argc, char** argv) {
  Options options = parse_options(argc, argv, {"--site", "--channel", "--key-hex", "--threads"});
  if (options.help) return std::fputs(kVerifyHelp, stdout), 0;
  const std::vector<std::string> keys = options.all("--key-hex");
  if (keys.empty()) throw UsageError("--key-hex is required");
  auto problems = publish::check_site(options.one("--site"), options.one("--channel"), keys, threads_option(options),
                                      progress);
  for (const auto& problem : problems) std::printf("problem: %s\n", problem.c_str());
  if (!problems.empty()) {
    std::printf("%zu problem%s found\n", problems.size(), problems.size() == 1 ? "" : "s");
    return kExitFailed;
  }
  std::printf("publication is sound\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
    std::fputs(kUsage, argc < 2 ? stderr : stdout);
    return argc < 2 ? kExitUsage : 0;
  }
  std::string command = argv[1];
  try {
    if (command == "keygen") return keygen(argc, argv);
    if (command == "publish") return publish_command(argc, argv);
    if (command == "promote") return release_again_command(argc, argv, true);
    if (command == "resign") return release_again_command(argc, argv, false);
    if (command == "prune") return prune_command(argc, argv);
    if (command == "verify") return verify_command(argc, argv);
    throw UsageError(fmt::format("unknown command {}", command));
  } catch (const UsageError& e) {
    std::fprintf(stderr, "lanternix-publish: %s\n\n%s", e.what(), kUsage);
    return kExitUsage;
  } catch (const kaldren::patcher::PatchError& e) {
    std::fprintf(stderr, "lanternix-publish: %s\n", e.what());
    return kExitFailed;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lanternix-publish: %s\n", e.what());
    return kExitFailed;
  }
}
