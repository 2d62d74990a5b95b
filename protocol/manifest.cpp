#include "protocol/manifest.h"

#include <unordered_map>

#include <fmt/format.h>

#include "core/error.h"
#include "core/text.h"
#include "protocol/document_reading.h"
#include "protocol/json.h"
#include "protocol/path_rule.h"

namespace kaldren::patcher {
namespace {

using detail::throw_malformed;

ManifestFile read_file_entry(JsonReader& reader) {
  ManifestFile file;
  JsonMembers members(reader);
  while (members.next()) {
    if (members.take("path")) {
      file.path = reader.read_string();
    } else if (members.take("chunks")) {
      file.chunks = detail::read_object_ref(reader, "a client file's chunk list reference");
    } else if (members.take("install")) {
      // Other values are left to later launchers: until then the file is an ordinary one.
      file.install_if_missing = reader.read_string() == "if_missing";
    } else {
      detail::read_object_ref_member(members, reader, file.object);
    }
  }
  if (!members.has_all({"path"}) || !detail::has_object_ref(members)) {
    throw_malformed("a client file entry is missing a field");
  }
  return file;
}

ClientManifest read_manifest(std::string_view document) {
  ClientManifest manifest;
  JsonReader reader(document);
  JsonMembers members(reader);
  while (members.next()) {
    if (detail::read_document_header(members, reader, "manifest", "the client manifest has the wrong kind")) {
      continue;
    } else if (members.take("version")) {
      manifest.version = detail::read_version(reader);
    } else if (members.take("files")) {
      // A repeated array adds to the entries already read; the limit counts them all.
      reader.begin_array();
      while (reader.next_element()) {
        if (manifest.files.size() >= kMaxManifestFiles) throw_malformed("the client manifest lists too many files");
        manifest.files.push_back(read_file_entry(reader));
      }
    }
  }
  if (!reader.at_end_ignoring_whitespace()) throw_malformed("trailing data after the client manifest");
  if (!detail::has_document_header(members) || !members.has_all({"version", "files"})) {
    throw_malformed("the client manifest is missing a field");
  }
  return manifest;
}

[[noreturn]] void refuse(const std::string& message) { throw PatchError(ErrorCategory::security, message); }

[[noreturn]] void refuse_nested(const std::string& file, const std::string& inner) {
  refuse(fmt::format("The client manifest lists both \"{}\" and \"{}\": a file cannot also be a folder", file,
                     inner));
}

}  // namespace

ClientManifest parse_client_manifest(std::string_view document) {
  return detail::reading_json([&] { return read_manifest(document); });
}

void validate_client_manifest(const ClientManifest& manifest, const Release& release) {
  if (manifest.version != release.client.version) {
    refuse(fmt::format("The client manifest is for version {} but the release announces {}",
                       version_text(manifest.version), version_text(release.client.version)));
  }
  if (manifest.files.size() > kMaxManifestFiles) refuse("The client manifest lists too many files");

  // Folded paths of the files, and of every folder above one (with a file inside it).
  std::unordered_map<std::wstring, const std::string*> folded_paths;
  std::unordered_map<std::wstring, const std::string*> folded_folders;
  folded_paths.reserve(manifest.files.size());
  bool executable_found = false;
  const std::string* previous = nullptr;
  for (const ManifestFile& file : manifest.files) {
    require_safe_path(file.path);
    check_object_ref(file.object, "A client file");
    if (file.chunks) check_object_ref(*file.chunks, "A chunk list");
    // std::string compares bytes as unsigned values, a proper prefix first.
    if (previous && !(*previous < file.path)) refuse("The client manifest is not sorted by path");
    const std::wstring folded = fold_path_case(to_utf16(file.path));
    if (!folded_paths.try_emplace(folded, &file.path).second) {
      refuse(fmt::format("The client manifest lists \"{}\" twice", file.path));
    }
    // Files are installed in parallel, each clearing its own way: a file standing where
    // another needs its folder would have one worker delete what the other creates.
    if (const auto inside = folded_folders.find(folded); inside != folded_folders.end()) {
      refuse_nested(file.path, *inside->second);
    }
    for (std::size_t slash = folded.find(L'/'); slash != std::wstring::npos; slash = folded.find(L'/', slash + 1)) {
      const std::wstring folder = folded.substr(0, slash);
      if (const auto outer = folded_paths.find(folder); outer != folded_paths.end()) {
        refuse_nested(*outer->second, file.path);
      }
      folded_folders.try_emplace(folder, &file.path);
    }
    if (file.path == release.client.executable) executable_found = true;
    previous = &file.path;
  }
  if (!executable_found) refuse(fmt::format("The client manifest does not contain {}", release.client.executable));
}

std::string object_path(const ObjectRef& ref) {
  const std::string hex = to_hex(ref.stored_sha256);
  return fmt::format("v2/objects/{}/{}", std::string_view(hex).substr(0, 2), hex);
}

std::string write_client_manifest(std::string_view version, std::span<const ManifestFile> files) {
  JsonWriter writer;
  writer.begin_object();
  writer.key("schema");
  writer.write_unsigned(2);
  writer.key("kind");
  writer.write_string("manifest");
  writer.key("version");
  writer.write_string(version);
  writer.key("files");
  writer.begin_array();
  for (const auto& file : files) {
    writer.begin_object();
    writer.key("path");
    writer.write_string(file.path);
    write_object_ref(writer, file.object);
    if (file.chunks) {
      writer.key("chunks");
      writer.begin_object();
      write_object_ref(writer, *file.chunks);
      writer.end_object();
    }
    if (file.install_if_missing) {
      writer.key("install");
      writer.write_string("if_missing");
    }
    writer.end_object();
  }
  writer.end_array();
  writer.end_object();
  return writer.text();
}

}  // namespace kaldren::patcher
