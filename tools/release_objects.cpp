#include "tools/release_objects.h"

#include <map>
#include <tuple>

#include <fmt/format.h>

#include "core/error.h"
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
  content.objects.push_back({release.launcher.file, "the launcher"});
  return content;
}

std::set<std::string> release_objects(const std::filesystem::path& site, const Release& release) {
  std::set<std::string> paths;
  for (const ReachedObject& object : release_content(site, release).objects) paths.insert(object_path(object.ref));
  return paths;
}

}  // namespace kaldren::patcher::publish
