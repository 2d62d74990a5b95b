#include "tools/release_objects.h"

#include <map>
#include <tuple>

#include <fmt/format.h>

#include "core/error.h"
#include "tools/published_chunks.h"
#include "tools/object_check.h"
#include "tools/signing_key.h"

namespace kaldren::patcher::publish {
namespace {

struct ObjectRefOrder {
  bool operator()(const ObjectRef& a, const ObjectRef& b) const {
    return std::tie(a.stored_sha256, a.stored_size, a.compressed, a.sha256, a.size) <
           std::tie(b.stored_sha256, b.stored_size, b.compressed, b.sha256, b.size);
  }
};

// The chunk list of `file` (its index, pages and chunks), each object once.
void add_chunk_list(const std::filesystem::path& site, const ManifestFile& file,
                    std::map<ObjectRef, bool, ObjectRefOrder>& seen, std::vector<ReachedObject>& objects) {
  const std::string name = "the chunk list of " + file.path;
  const PublishedList list = read_chunk_list(site, file);
  objects.push_back({*file.chunks, name});
  // A list of a later format is a launcher's to skip; its objects cannot be told here.
  for (const ChunkPageRef& entry : list.index.pages) {
    if (seen.emplace(entry.page, true).second) objects.push_back({entry.page, name});
  }
  for (const ObjectRef& chunk : list.chunks) {
    if (seen.emplace(chunk, true).second) objects.push_back({chunk, "a chunk of " + file.path});
  }
}

}  // namespace

ReleaseContent release_content(const std::filesystem::path& site, const Release& release) {
  ReleaseContent content;
  std::string bytes;
  if (std::string problem = check_object(site, release.client.manifest, "the client manifest", &bytes);
      !problem.empty()) {
    throw ToolError(problem);
  }
  try {
    content.manifest = parse_client_manifest(bytes);
    validate_client_manifest(content.manifest, release);
  } catch (const PatchError& e) {
    throw ToolError(fmt::format("the client manifest: {} ({})", e.what(), category_name(e.category())));
  }
  content.objects.push_back({release.client.manifest, "the client manifest"});
  std::map<ObjectRef, bool, ObjectRefOrder> seen;
  for (const ManifestFile& file : content.manifest.files) {
    if (seen.emplace(file.object, true).second) content.objects.push_back({file.object, file.path});
  }
  for (const ManifestFile& file : content.manifest.files) {
    if (file.chunks && seen.emplace(*file.chunks, true).second) add_chunk_list(site, file, seen, content.objects);
  }
  content.objects.push_back({release.launcher.file, "the launcher"});
  return content;
}

std::set<std::string> release_objects(const std::filesystem::path& site, const Release& release) {
  std::set<std::string> paths;
  for (const ReachedObject& object : release_content(site, release).objects) paths.insert(object_path(object.ref));
  return paths;
}

}  // namespace kaldren::patcher::publish
