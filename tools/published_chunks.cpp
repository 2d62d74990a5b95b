#include "tools/published_chunks.h"

#include <fmt/format.h>

#include "core/error.h"
#include "tools/object_check.h"
#include "tools/signing_key.h"

namespace kaldren::patcher::publish {
namespace {

std::string read_document(const std::filesystem::path& site, const ObjectRef& ref, const std::string& name) {
  std::string bytes;
  if (std::string problem = check_object(site, ref, name, &bytes); !problem.empty()) throw ToolError(problem);
  return bytes;
}

}  // namespace

PublishedList read_chunk_list(const std::filesystem::path& site, const ManifestFile& file) {
  const std::string name = "the chunk list of " + file.path;
  PublishedList list;
  try {
    list.index = parse_chunk_index(read_document(site, *file.chunks, name));
    if (!list.index.supported) return list;
    validate_chunk_index(list.index, file.path, file.object.size);
    for (std::size_t i = 0; i < list.index.pages.size(); ++i) {
      const ChunkPageRef& entry = list.index.pages[i];
      ChunkPage page = parse_chunk_page(read_document(site, entry.page, name));
      validate_chunk_page(page, entry, list.index.params, i + 1 == list.index.pages.size(), file.path);
      list.chunks.insert(list.chunks.end(), page.chunks.begin(), page.chunks.end());
    }
  } catch (const PatchError& e) {
    throw ToolError(fmt::format("{}: {} ({})", name, e.what(), category_name(e.category())));
  }
  return list;
}

std::optional<PublishedList> read_published_list(const std::filesystem::path& site, const ManifestFile& file) {
  if (!file.chunks) return std::nullopt;
  try {
    PublishedList list = read_chunk_list(site, file);
    if (!list.index.supported) return std::nullopt;
    return list;
  } catch (const ToolError&) {
    return std::nullopt;  // a damaged list only means more work for this publication
  }
}

}  // namespace kaldren::patcher::publish
