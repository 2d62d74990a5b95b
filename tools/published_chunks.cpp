#include "tools/published_chunks.h"

#include "core/error.h"
#include "tools/site_object.h"

namespace kaldren::patcher::publish {

std::optional<PublishedList> read_published_list(const std::filesystem::path& site, const ManifestFile& file) {
  if (!file.chunks) return std::nullopt;
  try {
    const auto index_bytes = read_site_document(site, *file.chunks);
    if (!index_bytes) return std::nullopt;
    PublishedList list;
    list.index = parse_chunk_index(*index_bytes);
    if (!list.index.supported) return std::nullopt;
    validate_chunk_index(list.index, file.path, file.object.size);
    for (std::size_t i = 0; i < list.index.pages.size(); ++i) {
      const ChunkPageRef& entry = list.index.pages[i];
      const auto page_bytes = read_site_document(site, entry.page);
      if (!page_bytes) return std::nullopt;
      ChunkPage page = parse_chunk_page(*page_bytes);
      validate_chunk_page(page, entry, list.index.params, i + 1 == list.index.pages.size(), file.path);
      list.chunks.insert(list.chunks.end(), page.chunks.begin(), page.chunks.end());
    }
    return list;
  } catch (const PatchError&) {
    return std::nullopt;  // a damaged list only means more work for this publication
  }
}

}  // namespace kaldren::patcher::publish
