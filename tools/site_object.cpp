#include "tools/site_object.h"

#include "protocol/manifest.h"
#include "tools/object_check.h"

namespace kaldren::patcher::publish {

std::optional<std::string> read_site_document(const std::filesystem::path& site, const ObjectRef& ref) {
  if (ref.size > kMaxManifestDocumentBytes) return std::nullopt;
  std::string content;
  if (!check_object(site, ref, "a document", &content).empty()) return std::nullopt;
  return content;
}

}  // namespace kaldren::patcher::publish
