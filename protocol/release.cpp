#include "protocol/release.h"

#include <algorithm>
#include <utility>

#include <fmt/format.h>

#include "core/error.h"
#include "core/log.h"
#include "protocol/document_reading.h"
#include "protocol/json.h"
#include "protocol/utc_time.h"

namespace kaldren::patcher {
namespace {

using detail::reading_json;
using detail::throw_malformed;

struct EnvelopeSignature {
  std::string key_id;
  std::string signature;
};

struct Envelope {
  std::string payload;
  std::vector<EnvelopeSignature> signatures;
};

EnvelopeSignature read_signature(JsonReader& reader) {
  EnvelopeSignature result;
  JsonMembers members(reader);
  while (members.next()) {
    if (members.take("key_id")) {
      result.key_id = reader.read_string();
    } else if (members.take("signature")) {
      auto bytes = decode_base64(reader.read_string());
      if (!bytes) throw_malformed("a release signature is not base64");
      result.signature = std::move(*bytes);
    }
  }
  return result;
}

Envelope read_envelope(std::string_view document) {
  Envelope envelope;
  JsonReader reader(document);
  JsonMembers members(reader);
  while (members.next()) {
    if (members.take("payload")) {
      auto bytes = decode_base64(reader.read_string());
      if (!bytes) throw_malformed("the release payload is not base64");
      envelope.payload = std::move(*bytes);
    } else if (members.take("signatures")) {
      // A repeated array adds to the signatures already read; the limit counts them all.
      reader.begin_array();
      while (reader.next_element()) {
        EnvelopeSignature signature = read_signature(reader);
        if (envelope.signatures.size() >= kMaxReleaseSignatures) {
          throw_malformed("the release carries too many signatures");
        }
        envelope.signatures.push_back(std::move(signature));
      }
    }
  }
  if (!reader.at_end_ignoring_whitespace()) throw_malformed("trailing data after the release envelope");
  if (!members.has_all({"payload"})) throw_malformed("the release has no payload");
  return envelope;
}

ClientSection read_client(JsonReader& reader) {
  ClientSection client;
  JsonMembers members(reader);
  while (members.next()) {
    if (members.take("version")) {
      client.version = detail::read_version(reader);
    } else if (members.take("executable")) {
      client.executable = reader.read_string();
    } else if (members.take("file_count")) {
      client.file_count = reader.read_unsigned();
    } else if (members.take("install_size")) {
      client.install_size = reader.read_unsigned();
    } else if (members.take("download_size")) {
      client.download_size = reader.read_unsigned();
    } else if (members.take("manifest")) {
      client.manifest = detail::read_object_ref(reader, "The client manifest reference");
    }
  }
  if (!members.has_all({"version", "executable", "file_count", "install_size", "download_size", "manifest"})) {
    throw_malformed("the client section is missing a field");
  }
  return client;
}

LauncherSection read_launcher(JsonReader& reader) {
  LauncherSection launcher;
  JsonMembers members(reader);
  while (members.next()) {
    if (members.take("version")) {
      launcher.version = detail::read_version(reader);
    } else if (members.take("file")) {
      launcher.file = detail::read_object_ref(reader, "The launcher reference");
    }
  }
  if (!members.has_all({"version", "file"})) throw_malformed("the launcher section is missing a field");
  return launcher;
}

Release read_payload(std::string_view payload) {
  Release release;
  JsonReader reader(payload);
  JsonMembers members(reader);
  while (members.next()) {
    if (detail::read_document_header(members, reader, "release", "the signed document is not a release")) {
      continue;
    } else if (members.take("channel")) {
      release.channel = reader.read_string();
    } else if (members.take("sequence")) {
      release.sequence = reader.read_unsigned();
    } else if (members.take("published_at")) {
      release.published_at = reader.read_string();
    } else if (members.take("client")) {
      release.client = read_client(reader);
    } else if (members.take("launcher")) {
      release.launcher = read_launcher(reader);
    } else if (members.take("expires_at")) {
      release.expires_at = parse_utc_time(reader.read_string());
      if (!release.expires_at) throw_malformed("the release expiry is not a UTC time such as 2027-01-31T00:00:00Z");
    }
  }
  if (!reader.at_end_ignoring_whitespace()) throw_malformed("trailing data after the release");
  if (!detail::has_document_header(members) ||
      !members.has_all({"channel", "sequence", "published_at", "client", "launcher"})) {
    throw_malformed("the release is missing a field");
  }
  return release;
}

bool signature_matches(const ReleaseKey& key, const EnvelopeSignature& signature, const Sha256Digest& digest) {
  if (key.key_id != signature.key_id || signature.signature.size() != 64) return false;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(signature.signature.data());
  return verify_p256_signature(key.point, digest, std::span<const std::uint8_t, 64>(bytes, 64));
}

}  // namespace

std::string write_release_payload(const ReleasePayload& payload) {
  JsonWriter writer;
  writer.begin_object();
  writer.key("schema");
  writer.write_unsigned(2);
  writer.key("kind");
  writer.write_string("release");
  writer.key("channel");
  writer.write_string(payload.channel);
  writer.key("sequence");
  writer.write_unsigned(payload.sequence);
  writer.key("published_at");
  writer.write_string(payload.published_at);
  writer.key("client");
  writer.begin_object();
  writer.key("version");
  writer.write_string(payload.client_version);
  writer.key("executable");
  writer.write_string(payload.executable);
  writer.key("file_count");
  writer.write_unsigned(payload.file_count);
  writer.key("install_size");
  writer.write_unsigned(payload.install_size);
  writer.key("download_size");
  writer.write_unsigned(payload.download_size);
  writer.key("manifest");
  writer.begin_object();
  write_object_ref(writer, payload.manifest);
  writer.end_object();
  writer.end_object();
  writer.key("launcher");
  writer.begin_object();
  writer.key("version");
  writer.write_string(payload.launcher_version);
  writer.key("file");
  writer.begin_object();
  write_object_ref(writer, payload.launcher);
  writer.end_object();
  writer.end_object();
  if (!payload.expires_at.empty()) {
    writer.key("expires_at");
    writer.write_string(payload.expires_at);
  }
  writer.end_object();
  return writer.text();
}

std::string release_path(std::string_view channel) {
  std::string path = "v2/channels/";
  path += channel;
  path += "/release.json";
  return path;
}

Release verify_release(std::string_view document, std::span<const ReleaseKey> keys, std::size_t threshold) {
  if (document.size() > kMaxReleaseDocumentBytes) throw_malformed("the release is larger than 64 KiB");
  const Envelope envelope = reading_json([&] { return read_envelope(document); });
  threshold = std::max<std::size_t>(threshold, 1);

  Sha256 hash;
  hash.update(kReleaseSignatureDomain);
  hash.update(envelope.payload);
  const Sha256Digest digest = hash.finish();

  // Nothing in the payload is looked at before enough signatures over it verified. A
  // key counts once however often it signed (or is listed), so one stolen key never
  // stands in for several.
  std::vector<const ReleaseKey*> signers;
  const auto counted = [&](const ReleaseKey& key) {
    return std::any_of(signers.begin(), signers.end(), [&](const ReleaseKey* k) { return k->point == key.point; });
  };
  for (const EnvelopeSignature& signature : envelope.signatures) {
    for (const ReleaseKey& key : keys) {
      if (counted(key) || !signature_matches(key, signature, digest)) continue;
      log(LogLevel::debug, "Release signature verified with key {}", key.key_id);
      signers.push_back(&key);
      if (signers.size() >= threshold) return reading_json([&] { return read_payload(envelope.payload); });
      break;
    }
  }
  if (signers.empty()) {
    throw PatchError(ErrorCategory::security, "The update from the patch server is not signed by a trusted release key");
  }
  throw PatchError(ErrorCategory::security,
                   fmt::format("The update from the patch server is signed by {} of the {} trusted release keys it "
                               "needs",
                               signers.size(), threshold));
}

Release verify_release(std::string_view document) {
  const std::vector<ReleaseKey>& keys = trusted_release_keys();
  if (keys.empty()) throw PatchError(ErrorCategory::configuration, "This launcher was built without a release key");
  return verify_release(document, keys, trusted_release_key_threshold());
}

void check_release_expiry(const Release& release, std::int64_t now) {
  if (!release.expires_at || now <= *release.expires_at) return;
  // A mirror that stopped following the publisher keeps serving a signed release; so
  // does a cache. A wrong clock on the player's side looks the same from here.
  throw PatchError(ErrorCategory::security,
                   fmt::format("The update from the patch server expired on {}: the server may be sending an "
                               "outdated copy, or this computer's clock is wrong",
                               utc_time_text(*release.expires_at)));
}

}  // namespace kaldren::patcher
