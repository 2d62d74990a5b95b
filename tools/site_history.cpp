#include "tools/site_history.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>

#include <fmt/format.h>

#include "core/error.h"
#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/json_members.h"
#include "tools/signing_key.h"

namespace kaldren::patcher::publish {
namespace {

// The sequence numbers the history folder names ("<sequence>.json"), ascending.
std::vector<std::uint64_t> history_sequences(const std::filesystem::path& site, const std::string& channel) {
  std::vector<std::uint64_t> sequences;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(site / "v2" / "channels" / channel / "history", error)) {
    const std::string name = entry.path().filename().string();
    if (!name.ends_with(".json")) continue;
    const std::string digits = name.substr(0, name.size() - 5);
    if (digits.empty() || digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos ||
        (digits.size() > 1 && digits[0] == '0')) {
      continue;
    }
    sequences.push_back(std::stoull(digits));
  }
  std::sort(sequences.begin(), sequences.end());
  return sequences;
}

// The payload's sequence, signature unchecked; nothing when it cannot be read.
std::optional<std::uint64_t> unverified_sequence(const std::string& document) {
  try {
    JsonReader envelope(document);
    std::optional<std::string> payload;
    for (JsonMembers members(envelope); members.next();) {
      if (members.take("payload")) payload = decode_base64(envelope.read_string());
    }
    if (!payload) return std::nullopt;
    JsonReader reader(*payload);
    std::optional<std::uint64_t> sequence;
    for (JsonMembers members(reader); members.next();) {
      if (members.take("sequence")) sequence = reader.read_unsigned();
    }
    return sequence;
  } catch (const JsonError&) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> read_release_document(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes(kMaxReleaseDocumentBytes + 1, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::string history_path(const std::string& channel, std::uint64_t sequence) {
  return fmt::format("v2/channels/{}/history/{}.json", channel, sequence);
}

std::vector<std::string> site_channels(const std::filesystem::path& site) {
  std::vector<std::string> channels;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(site / "v2" / "channels", error)) {
    if (!entry.is_directory(error)) continue;
    const std::string name = entry.path().filename().string();
    if (std::filesystem::exists(site / release_path(name), error) ||
        std::filesystem::is_directory(entry.path() / "history", error)) {
      channels.push_back(name);
    }
  }
  std::sort(channels.begin(), channels.end());
  return channels;
}

std::vector<PublishedRelease> channel_releases(const std::filesystem::path& site, const std::string& channel,
                                               std::span<const ReleaseKey> keys) {
  std::map<std::uint64_t, PublishedRelease> found;
  const auto read = [&](const std::string& path, std::optional<std::uint64_t> named) {
    auto document = read_release_document(site / path);
    if (!document) throw ToolError(fmt::format("{}: cannot be read", path));
    PublishedRelease published;
    try {
      published.release = verify_release(*document, keys);
      validate_release(published.release, channel);
    } catch (const PatchError& e) {
      throw ToolError(fmt::format("{}: {} ({})", path, e.what(), category_name(e.category())));
    }
    if (named && *named != published.release.sequence) {
      throw ToolError(fmt::format("{}: holds release {}", path, published.release.sequence));
    }
    published.document = std::move(*document);
    return published;
  };
  for (std::uint64_t sequence : history_sequences(site, channel)) {
    found.emplace(sequence, read(history_path(channel, sequence), sequence));
  }
  std::error_code error;
  if (std::filesystem::exists(site / release_path(channel), error)) {
    PublishedRelease current = read(release_path(channel), std::nullopt);
    current.current = true;
    found[current.release.sequence] = std::move(current);
  }
  std::vector<PublishedRelease> releases;
  for (auto& [sequence, published] : found) releases.push_back(std::move(published));
  return releases;
}

std::uint64_t highest_published_sequence(const std::filesystem::path& site, const std::string& channel) {
  std::uint64_t highest = 0;
  const auto consider = [&](const std::string& path) {
    if (auto document = read_release_document(site / path)) highest = std::max(highest, unverified_sequence(*document).value_or(0));
  };
  consider(release_path(channel));
  for (std::uint64_t sequence : history_sequences(site, channel)) consider(history_path(channel, sequence));
  return highest;
}

}  // namespace kaldren::patcher::publish
